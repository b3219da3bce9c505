#pragma once
// Launch at login the freedesktop way: an autostart entry "duskferry-agent.desktop" in
// $XDG_CONFIG_HOME/autostart that runs the agent with --login-item (so the agent knows it
// was started by the login and stays in the tray). Enabled = the entry exists and is not
// hidden. Main thread.

#include "platform/LoginItem.h"

#include <filesystem>
#include <string>

namespace df {

class XdgAutostartLoginItem final : public LoginItem {
public:
    /// `autostartDir`: $XDG_CONFIG_HOME/autostart; `program`: the agent's path.
    XdgAutostartLoginItem(std::filesystem::path autostartDir, std::string program);

    bool enabled() const override;
    bool setEnabled(bool enabled) override;

    std::filesystem::path entryPath() const { return dir_ / "duskferry-agent.desktop"; }
    /// The argument the entry adds to the command line.
    static constexpr const char* kFlag = "--login-item";

private:
    std::filesystem::path dir_;
    std::string program_;
};

}  // namespace df
