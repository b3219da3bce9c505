#pragma once
// The host's running applications as far as the agent cares: which one is in front, and news
// when another one is activated.
//
// Linux: the window manager's active window (EWMH) with desktop entries for names and
// identifiers (platform/linux/workspace); tests: fake::FakeWorkspace. Any thread.

#include "platform/Observation.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace df {

struct RunningApplication {
    /// The name users know the application by, in the user's language; may be empty.
    std::string localizedName;
    /// A stable identifier (a desktop file ID such as "org.gnome.Nautilus", else the window
    /// class); may be empty.
    std::string bundleIdentifier;
    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    /// The frontmost application; nothing when no application is in front.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    /// `onActivation` is called on the host's thread each time an application becomes the
    /// frontmost one, with that application, or with nothing when the host could not tell
    /// which one it is.
    virtual std::unique_ptr<Observation> observeActivations(
        std::function<void(const std::optional<RunningApplication>&)> onActivation) = 0;
};

}  // namespace df
