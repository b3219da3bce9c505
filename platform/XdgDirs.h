#pragma once
// The user's base directories after the XDG Base Directory rules, looked up from the
// environment. Only the programs' main calls these, once, to place the file-backed stores;
// everything else is handed its paths. Any thread.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace df::XdgDirs {

/// $HOME, else the password database's home directory, else "/".
std::filesystem::path home();
/// $XDG_DATA_HOME when set to an absolute path, else ~/.local/share.
std::filesystem::path dataHome();
/// $XDG_DATA_DIRS' absolute entries in order, else /usr/local/share and /usr/share.
std::vector<std::filesystem::path> dataDirs();
/// $XDG_CONFIG_HOME when set to an absolute path, else ~/.config.
std::filesystem::path configHome();
/// $XDG_RUNTIME_DIR when set to an absolute path.
std::optional<std::filesystem::path> runtimeDir();
/// The user's download folder: $XDG_DOWNLOAD_DIR, else XDG_DOWNLOAD_DIR of
/// $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Downloads. The home folder itself is never
/// taken (that is what xdg-user-dirs writes for a folder it disabled).
std::filesystem::path downloadDir();
/// XDG_DOWNLOAD_DIR in the text of a user-dirs.dirs file ("$HOME/..." or an absolute path
/// in double quotes, with backslash escapes); nothing when absent or unusable. Pure.
std::optional<std::filesystem::path> downloadDirFromUserDirs(std::string_view text, const std::filesystem::path& home);

}  // namespace df::XdgDirs
