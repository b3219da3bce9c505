#pragma once
// The Downloads folder and file reading on the POSIX file system, and revealing a file
// through the desktop's file manager on the session bus.

#include "platform/Files.h"

#include <filesystem>
#include <memory>
#include <string>

namespace df {

/// Files from the phone in `folder` (made with its parents when missing).
std::shared_ptr<DownloadsFolder> createPosixDownloadsFolder(std::filesystem::path folder);

std::shared_ptr<FileReader> createPosixFileReader();

/// org.freedesktop.FileManager1.ShowItems on the session bus at `busAddress` (empty: no
/// bus), else `xdg-open` of the file's folder when `xdgOpen` is true, else nothing.
std::shared_ptr<FileRevealer> createDesktopFileRevealer(std::string busAddress, bool xdgOpen);

}  // namespace df
