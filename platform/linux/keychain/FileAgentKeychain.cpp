#include "platform/linux/keychain/FileAgentKeychain.h"

#include "platform/AtomicFile.h"

#include <cstdio>

namespace df {

FileAgentKeychain::FileAgentKeychain(std::filesystem::path directory) : directory_(std::move(directory)) {
    AtomicFile::makeDirectories(directory_, 0700);
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

void FileAgentKeychain::remove(std::string_view key) {
    if (key.empty()) return;
    std::remove(entryPath(key).c_str());
}

}  // namespace df
