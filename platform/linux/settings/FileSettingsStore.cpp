#include "platform/linux/settings/FileSettingsStore.h"

#include "platform/AtomicFile.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace df {

namespace {
using Json = nlohmann::json;

// What identifies one version of the file on disk: an atomic replace gives a new inode.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileStamp stampOf(const std::filesystem::path& file) {
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) return {};
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}
}  // namespace

struct FileSettingsStore::Snapshot {
    std::filesystem::path path;
    FileStamp stamp;
    Json values = Json::object();
    bool damaged = false;  // the file exists but does not hold a JSON object
};

FileSettingsStore::FileSettingsStore(std::filesystem::path file) : path_(std::move(file)) {}
FileSettingsStore::~FileSettingsStore() = default;

FileSettingsStore::Snapshot& FileSettingsStore::refreshLocked() const {
    const auto& file = path_;
    auto stamp = stampOf(file);
    if (cache_ && cache_->path == file && cache_->stamp == stamp) return *cache_;

    auto fresh = std::make_unique<Snapshot>();
    fresh->path = file;
    fresh->stamp = stamp;
    if (stamp.exists) {
        auto bytes = AtomicFile::read(file);
        Json parsed = bytes ? Json::parse(bytes->begin(), bytes->end(), nullptr, false) : Json();
        if (parsed.is_object()) fresh->values = std::move(parsed);
        else fresh->damaged = true;
    }
    cache_ = std::move(fresh);
    return *cache_;
}

void FileSettingsStore::storeLocked(Snapshot& snapshot) {
    AtomicFile::makeDirectories(snapshot.path.parent_path(), 0700);
    if (snapshot.damaged) {
        // Keep what we could not read for the user rather than overwrite it silently.
        std::error_code ignored;
        std::filesystem::rename(snapshot.path, snapshot.path.string() + ".damaged", ignored);
        snapshot.damaged = false;
    }
    std::string text = snapshot.values.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    AtomicFile::write(snapshot.path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                      0600);
    // Whatever happened, the next read looks at the disk again.
    cache_.reset();
}

std::optional<std::string> FileSettingsStore::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto& values = refreshLocked().values;
    auto it = values.find(key);
    if (it == values.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<bool> FileSettingsStore::boolean(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto& values = refreshLocked().values;
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    // A number written by hand reads as a flag the way the defaults store reads it.
    if (it->is_number_integer()) return it->get<long long>() != 0;
    return std::nullopt;
}

void FileSettingsStore::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    auto& snapshot = refreshLocked();
    snapshot.values[std::string(key)] = std::string(value);
    storeLocked(snapshot);
}

void FileSettingsStore::setBoolean(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    auto& snapshot = refreshLocked();
    snapshot.values[std::string(key)] = value;
    storeLocked(snapshot);
}

void FileSettingsStore::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto& snapshot = refreshLocked();
    if (!snapshot.values.contains(key) && !snapshot.damaged) return;
    snapshot.values.erase(std::string(key));
    storeLocked(snapshot);
}

}  // namespace df
