#pragma once
// Three process-wide callback slots through which a session asks for the virtual display.
// The application shell fills them at launch; until then (and in a headless agent without
// a virtual display) calling a slot does nothing.
//
// Installing and calling are thread-safe; the callback runs on the caller's thread.

#include <functional>

namespace df::VirtualDisplayControl {

/// The phone turns the virtual display on or off (the `virtualDisplay` message).
void installSetEnabled(std::function<void(bool)> slot);
/// Turn the virtual display on because there is no usable display.
void installEnableAuto(std::function<void()> slot);
/// A session became current (true) or stopped being current (false).
void installSetSessionActive(std::function<void(bool)> slot);
/// Empties all three slots.
void clear();

bool hasSetEnabled();
void setEnabled(bool enabled);
void enableAuto();
void setSessionActive(bool active);

}  // namespace df::VirtualDisplayControl
