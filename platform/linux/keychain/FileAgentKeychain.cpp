#include "platform/linux/keychain/FileAgentKeychain.h"

#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace df {

namespace {
// A store directory made earlier with looser permissions (by hand, or by an older build
// under another umask) is tightened: the private key lives in it. Only the directory
// itself, opened without following a symbolic link; one the user does not own is left.
void tighten(const std::filesystem::path& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0700) ::fchmod(fd, 0700);
    ::close(fd);
}
}  // namespace

FileAgentKeychain::FileAgentKeychain(std::filesystem::path directory) : directory_(std::move(directory)) {
    AtomicFile::makeDirectories(directory_, 0700);
    tighten(directory_);
}

std::filesystem::path FileAgentKeychain::entryPath(std::string_view key) const {
    return directory_ / fileName(key);
}

void FileAgentKeychain::set(const Bytes& data, std::string_view key) {
    if (key.empty()) return;  // would name the directory itself
    auto path = entryPath(key);
    if (AtomicFile::write(path, data, 0600)) return;
    // The directory was removed behind our back (the user cleared their data): make it
    // again rather than lose the entry. Only here, so an ordinary access costs no mkdir.
    AtomicFile::makeDirectories(directory_, 0700);
    AtomicFile::write(path, data, 0600);
}

std::optional<Bytes> FileAgentKeychain::read(std::string_view key) const {
    if (key.empty()) return std::nullopt;
    return AtomicFile::read(entryPath(key));
}

AgentKeychain::Lookup FileAgentKeychain::lookup(std::string_view key, Bytes& data) const {
    if (key.empty()) return Lookup::missing;
    int error = 0;
    auto bytes = AtomicFile::read(entryPath(key), 1 << 20, &error);
    if (bytes) {
        data = std::move(*bytes);
        return Lookup::found;
    }
    return error == ENOENT ? Lookup::missing : Lookup::unreadable;
}

void FileAgentKeychain::remove(std::string_view key) {
    if (key.empty()) return;
    std::remove(entryPath(key).c_str());
}

}  // namespace df
