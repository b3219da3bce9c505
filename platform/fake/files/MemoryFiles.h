#pragma once
// In-memory files for unit tests: a Downloads folder whose files are a map of names to
// bytes (with the temporary files kept apart), and readable files the test puts in place.
// The test can make writes fail after a number of bytes (a full disk) and reads fail.
// Single-threaded: the test thread plays every queue.

#include "platform/Files.h"

#include <map>
#include <optional>
#include <vector>

namespace df::fake {

class MemoryDownloadsFolder final : public DownloadsFolder, public std::enable_shared_from_this<MemoryDownloadsFolder> {
public:
    std::filesystem::path location() const override { return "/home/user/Downloads"; }
    size_t maxNameBytes() const override { return 255; }
    Result<std::unique_ptr<IncomingDownload>> create() override;

    /// Complete files by name.
    std::map<std::string, Bytes> files;
    /// Temporary files still present (created, neither completed nor discarded).
    std::map<int, Bytes> temporary;
    /// Writes fail once this many bytes are in the folder in all.
    std::optional<size_t> capacity;
    /// create() fails while set.
    bool failCreate = false;
    int created = 0;
    int discarded = 0;

private:
    friend class MemoryDownload;
    int next_ = 0;
};

class MemoryFileReader final : public FileReader {
public:
    Result<std::unique_ptr<ReadableFile>> open(const std::filesystem::path& path) override;

    std::map<std::filesystem::path, Bytes> files;
    /// Reads of this file fail after the first one.
    std::optional<std::filesystem::path> failingReads;
    /// Sizes reported instead of the real length.
    std::map<std::filesystem::path, int64_t> reportedSize;
    std::vector<std::pair<std::filesystem::path, size_t>> reads;  ///< (file, maximum asked)
};

class RecordingRevealer final : public FileRevealer {
public:
    void reveal(const std::filesystem::path& file) override { revealed.push_back(file); }
    std::vector<std::filesystem::path> revealed;
};

}  // namespace df::fake
