#include "platform/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace df::AtomicFile {

void makeDirectories(const std::filesystem::path& dir, mode_t mode) {
    std::filesystem::path partial;
    for (const auto& part : dir) {
        partial /= part;
        if (partial == partial.root_path()) continue;
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return;
    }
}

bool write(const std::filesystem::path& file, std::span<const uint8_t> data, mode_t mode) {
    // The temporary name starts with "." so it never looks like an entry of the store.
    std::string temp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // never inherited by a program we start
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    // Flush before the rename so that a crash leaves the old or the new entry, never an
    // empty file under the entry's name.
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

std::optional<Bytes> read(const std::filesystem::path& file, size_t maxSize, int* error) {
    auto fail = [error](int code) -> std::optional<Bytes> {
        if (error) *error = code;
        return std::nullopt;
    };
    if (error) *error = 0;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    struct stat st{};
    int code = 0;
    if (::fstat(fd, &st) != 0) {
        code = errno;
    } else if (!S_ISREG(st.st_mode)) {
        code = EISDIR;
    } else if (static_cast<uint64_t>(st.st_size) > maxSize) {
        code = EFBIG;
    }
    if (code != 0) {
        ::close(fd);
        return fail(code);
    }
    Bytes out;
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || out.size() + static_cast<size_t>(n) > maxSize) {
            const int code = n < 0 ? errno : EFBIG;
            ::close(fd);
            return fail(code);
        }
        if (n == 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return out;
}

}  // namespace df::AtomicFile
