#include "platform/linux/files/PosixFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sys/random.h>

#include <cstdio>

namespace df {
namespace {

std::string systemError(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

class PosixIncomingDownload final : public IncomingDownload {
public:
    PosixIncomingDownload(std::filesystem::path folder, int dirFd, int fd, std::string tempName)
        : folder_(std::move(folder)), dirFd_(dirFd), fd_(fd), tempName_(std::move(tempName)) {}
    ~PosixIncomingDownload() override {
        discard();
        ::close(dirFd_);
    }

    std::optional<std::string> write(std::span<const uint8_t> bytes) override {
        if (fd_ < 0) return "the file is closed";
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return systemError("write", errno);
            }
            bytes = bytes.subspan(static_cast<size_t>(n));
        }
        return std::nullopt;
    }

    Result<std::filesystem::path> complete(const std::function<std::string(int n)>& nameFor) override {
        if (fd_ < 0) return Failure{"the file is closed"};
        int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0 && errno != EINTR) {
            int error = errno;
            discard();
            return Failure{systemError("close", error)};
        }
        for (int n = 1;; ++n) {
            const std::string name = nameFor(n);
            if (name.empty()) break;
            // One step per name: the move fails when anything of that name exists (a file,
            // a directory, a symbolic link), and then the next name is tried.
            if (::syscall(SYS_renameat2, dirFd_, tempName_.c_str(), dirFd_, name.c_str(), RENAME_NOREPLACE) == 0) {
                tempName_.clear();
                return folder_ / name;
            }
            int error = errno;
            if (error == EINVAL || error == ENOSYS) {
                // A file system without no-replace renames: a hard link fails the same way
                // on an existing name.
                if (::linkat(dirFd_, tempName_.c_str(), dirFd_, name.c_str(), 0) == 0) {
                    ::unlinkat(dirFd_, tempName_.c_str(), 0);
                    tempName_.clear();
                    return folder_ / name;
                }
                error = errno;
            }
            if (error != EEXIST && error != ENOTEMPTY && error != EISDIR) {
                discard();
                return Failure{systemError("rename", error)};
            }
        }
        discard();
        return Failure{"no free name"};
    }

    void discard() override {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
        if (!tempName_.empty()) ::unlinkat(dirFd_, std::exchange(tempName_, std::string()).c_str(), 0);
    }

private:
    std::filesystem::path folder_;
    int dirFd_;
    int fd_;
    std::string tempName_;
};

class PosixDownloadsFolder final : public DownloadsFolder {
public:
    explicit PosixDownloadsFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    std::filesystem::path location() const override { return folder_; }

    size_t maxNameBytes() const override {
        long max = ::pathconf(folder_.c_str(), _PC_NAME_MAX);
        return max > 0 && max < 4096 ? static_cast<size_t>(max) : 255;
    }

    Result<std::unique_ptr<IncomingDownload>> create() override {
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
        int dirFd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return Failure{systemError(("open " + folder_.string()).c_str(), errno)};
        for (int attempt = 0; attempt < 16; ++attempt) {
            uint8_t random[8];
            if (::getrandom(random, sizeof random, 0) != sizeof random) break;
            char name[64];
            std::snprintf(name, sizeof name, ".duskferry-%02x%02x%02x%02x%02x%02x%02x%02x.part", random[0], random[1],
                          random[2], random[3], random[4], random[5], random[6], random[7]);
            int fd = ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0) return std::unique_ptr<IncomingDownload>(new PosixIncomingDownload(folder_, dirFd, fd, name));
            if (errno != EEXIST) {
                int error = errno;
                ::close(dirFd);
                return Failure{systemError("create", error)};
            }
        }
        ::close(dirFd);
        return Failure{"no free temporary name"};
    }

private:
    std::filesystem::path folder_;
};

class PosixReadableFile final : public ReadableFile {
public:
    PosixReadableFile(int fd, std::optional<int64_t> size) : fd_(fd), size_(size) {}
    ~PosixReadableFile() override { ::close(fd_); }
    std::optional<int64_t> size() const override { return size_; }
    Result<Bytes> read(size_t maximum) override {
        Bytes out(maximum);
        size_t filled = 0;
        while (filled < maximum) {
            ssize_t n = ::read(fd_, out.data() + filled, maximum - filled);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Failure{systemError("read", errno)};
            }
            if (n == 0) break;
            filled += static_cast<size_t>(n);
        }
        out.resize(filled);
        return out;
    }

private:
    int fd_;
    std::optional<int64_t> size_;
};

class PosixFileReader final : public FileReader {
public:
    Result<std::unique_ptr<ReadableFile>> open(const std::filesystem::path& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return Failure{std::strerror(errno)};
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            int error = errno;
            ::close(fd);
            return Failure{std::strerror(error)};
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            return Failure{S_ISDIR(st.st_mode) ? "it is a folder" : "not a regular file"};
        }
        // Opened without blocking (a FIFO would have hung the open); reads of a regular file
        // block as usual.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::unique_ptr<ReadableFile>(new PosixReadableFile(fd, static_cast<int64_t>(st.st_size)));
    }
};

}  // namespace

std::shared_ptr<DownloadsFolder> createPosixDownloadsFolder(std::filesystem::path folder) {
    return std::make_shared<PosixDownloadsFolder>(std::move(folder));
}

std::shared_ptr<FileReader> createPosixFileReader() { return std::make_shared<PosixFileReader>(); }

}  // namespace df
