#pragma once
// The frontmost application on X11: the window manager's active window (_NET_ACTIVE_WINDOW
// on the root window, watched through PropertyNotify on a connection and thread of its own),
// named by its desktop entry, matched by WM_CLASS or by the executable of its _NET_WM_PID;
// without an entry the WM_CLASS class is both name and identifier. An activation is
// reported when the active window belongs to another application than before (another
// window of the same application is no activation).

#include "platform/Workspace.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace df {

/// `dataDirs` and `languages` as DesktopEntries takes them. Nothing when the display cannot
/// be opened.
std::shared_ptr<Workspace> createEwmhWorkspace(std::vector<std::filesystem::path> dataDirs,
                                               std::vector<std::string> languages,
                                               const std::string& displayName = {});

}  // namespace df
