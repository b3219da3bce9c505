#pragma once
// The user's base directories after the XDG Base Directory rules, looked up from the
// environment. Only the programs' main calls these, once, to place the file-backed stores;
// everything else is handed its paths. Any thread.

#include <filesystem>
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

}  // namespace df::XdgDirs
