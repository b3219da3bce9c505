#pragma once
// The host's files as file transfer uses them: the user's Downloads folder, where files
// from the phone are written under a hidden temporary name and given their final name only
// once complete; files read for sending to the phone; and revealing a received file in the
// desktop's file browser.
//
// What callers rely on:
//  1. create() makes a new file that did not exist before (an existing file, directory or
//     symbolic link of the same name is never opened, followed or replaced).
//  2. complete() gives the file the first name of `nameFor(1)`, `nameFor(2)`, ... that is
//     free at that moment, in one step per name: a name taken in between is never replaced.
//  3. A file that is discarded, or let go without complete(), is removed.
//  4. Error texts describe the system's failure (strerror) and are fit for a log line.
// An IncomingDownload is used from one thread at a time (the session's "duskferry.agent.fileio").

#include "protocol/Bytes.h"
#include "protocol/Result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace df {

class IncomingDownload {
public:
    virtual ~IncomingDownload() = default;
    /// Appends `bytes`; the system's failure text when not all of them were written.
    virtual std::optional<std::string> write(std::span<const uint8_t> bytes) = 0;
    /// Closes the file and moves it to the first free name `nameFor(n)` gives (n = 1, 2, ...;
    /// an empty name ends the search). The final location, or why it failed (the temporary
    /// file is then removed).
    virtual Result<std::filesystem::path> complete(const std::function<std::string(int n)>& nameFor) = 0;
    /// Closes and removes the temporary file. Idempotent.
    virtual void discard() = 0;
};

class DownloadsFolder {
public:
    virtual ~DownloadsFolder() = default;
    /// Where received files land.
    virtual std::filesystem::path location() const = 0;
    /// The longest file name the folder's file system takes, in bytes.
    virtual size_t maxNameBytes() const = 0;
    /// A new, empty temporary file in the folder (made if missing).
    virtual Result<std::unique_ptr<IncomingDownload>> create() = 0;
};

/// A file opened for sending.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    /// The size attribute when the file was opened, if it could be read.
    virtual std::optional<int64_t> size() const = 0;
    /// Up to `maximum` of the next bytes; empty at the end; the failure text on error.
    virtual Result<Bytes> read(size_t maximum) = 0;
};

class FileReader {
public:
    virtual ~FileReader() = default;
    /// Opens a regular file for reading; why not, when it cannot be.
    virtual Result<std::unique_ptr<ReadableFile>> open(const std::filesystem::path& path) = 0;
};

class FileRevealer {
public:
    virtual ~FileRevealer() = default;
    /// Shows `file` selected in the desktop's file browser, or its folder; nothing when the
    /// desktop offers neither. Called on the main queue.
    virtual void reveal(const std::filesystem::path& file) = 0;
};

}  // namespace df
