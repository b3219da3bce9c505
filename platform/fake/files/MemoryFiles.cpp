#include "platform/fake/files/MemoryFiles.h"

namespace df::fake {

class MemoryDownload final : public IncomingDownload {
public:
    MemoryDownload(std::shared_ptr<MemoryDownloadsFolder> folder, int id) : folder_(std::move(folder)), id_(id) {}
    ~MemoryDownload() override { discard(); }

    std::optional<std::string> write(std::span<const uint8_t> bytes) override {
        auto it = folder_->temporary.find(id_);
        if (it == folder_->temporary.end()) return "the file is closed";
        if (folder_->capacity) {
            size_t used = 0;
            for (const auto& [name, data] : folder_->files) used += data.size();
            for (const auto& [id, data] : folder_->temporary) used += data.size();
            if (used + bytes.size() > *folder_->capacity) return "write: No space left on device";
        }
        it->second.insert(it->second.end(), bytes.begin(), bytes.end());
        return std::nullopt;
    }

    Result<std::filesystem::path> complete(const std::function<std::string(int n)>& nameFor) override {
        auto it = folder_->temporary.find(id_);
        if (it == folder_->temporary.end()) return Failure{"the file is closed"};
        for (int n = 1;; ++n) {
            std::string name = nameFor(n);
            if (name.empty()) break;
            if (folder_->files.contains(name)) continue;
            folder_->files[name] = std::move(it->second);
            folder_->temporary.erase(it);
            return folder_->location() / name;
        }
        discard();
        return Failure{"no free name"};
    }

    void discard() override {
        if (folder_->temporary.erase(id_) > 0) ++folder_->discarded;
    }

private:
    std::shared_ptr<MemoryDownloadsFolder> folder_;
    int id_;
};

Result<std::unique_ptr<IncomingDownload>> MemoryDownloadsFolder::create() {
    if (failCreate) return Failure{"open: Permission denied"};
    const int id = ++next_;
    temporary[id] = {};
    ++created;
    return std::unique_ptr<IncomingDownload>(new MemoryDownload(shared_from_this(), id));
}

namespace {
class MemoryReadable final : public ReadableFile {
public:
    MemoryReadable(MemoryFileReader& reader, std::filesystem::path path, Bytes data, int64_t size, bool failing)
        : reader_(reader), path_(std::move(path)), data_(std::move(data)), size_(size), failing_(failing) {}
    std::optional<int64_t> size() const override { return size_; }
    Result<Bytes> read(size_t maximum) override {
        reader_.reads.emplace_back(path_, maximum);
        if (failing_ && reader_.reads.size() > 1 && position_ > 0) return Failure{"read: Input/output error"};
        const size_t n = std::min(maximum, data_.size() - position_);
        Bytes out(data_.begin() + static_cast<std::ptrdiff_t>(position_),
                  data_.begin() + static_cast<std::ptrdiff_t>(position_ + n));
        position_ += n;
        return out;
    }

private:
    MemoryFileReader& reader_;
    std::filesystem::path path_;
    Bytes data_;
    int64_t size_;
    bool failing_;
    size_t position_ = 0;
};
}  // namespace

Result<std::unique_ptr<ReadableFile>> MemoryFileReader::open(const std::filesystem::path& path) {
    auto it = files.find(path);
    if (it == files.end()) return Failure{"No such file or directory"};
    auto size = reportedSize.contains(path) ? reportedSize[path] : static_cast<int64_t>(it->second.size());
    return std::unique_ptr<ReadableFile>(new MemoryReadable(*this, path, it->second, size, failingReads == path));
}

}  // namespace df::fake
