#pragma once
// Input events on an X11 server through the XTest extension, and the window list, raising
// and activation through EWMH (the window manager's published state).
//
// Mac events become X input as follows:
// - mouse events: pointer motion to the event's position, then button 1 (left) or 3
//   (right); the click state is not sent, X toolkits count clicks by their own timing;
// - scroll-wheel events: pixel deltas gathered into notches of the wheel buttons 4/5
//   (vertical) and 6/7 (horizontal);
// - key events: Mac virtual key codes to keysyms (MacKeyCodes.h), pressed on the keycode
//   the keymap has for them, or on a spare keycode remapped to them;
// - key events carrying text: each character typed by its keysym (surrogate pairs joined),
//   on key-down; the matching key-up types nothing;
// - event flags: the host modifier keys pressed and released around the event so that
//   exactly the flags' modifiers are held while it happens (Command as set in the options,
//   Option as Alt, Control as Control, Shift as Shift), then put back as they were;
// - Control+Command+Q, the Mac's lock chord: the session lock (SessionLocker);
// - key chords of host key names (the gesture chords): pressed in order, released in reverse.
//
// Each object keeps its own display connection for its whole life (opened again only after
// it broke, see XConnection), guarded by a mutex: the event side is used from the session
// queue and the momentum queue at once, the window side from "duskferry.input.ax". Made
// once by the agent's main and shared by every session.

#include "platform/InputEvents.h"
#include "platform/linux/input/MacKeyCodes.h"
#include "platform/linux/input/SessionLocker.h"

#include <memory>
#include <string>

namespace df {

struct XTestInputOptions {
    /// The X display to open; empty: $DISPLAY.
    std::string displayName;
    /// The host key the Mac's Command key acts as.
    CommandKey command = CommandKey::control;
    /// Pixels of scrolling per wheel notch (a notch scrolls about three lines in most
    /// toolkits).
    double pixelsPerNotch = 50;
    /// At most this many notches per axis for one scroll event.
    int maxNotchesPerEvent = 40;
    /// What the lock chord runs.
    std::vector<SessionLocker::Command> lockCommands = SessionLocker::defaultCommands();
};

/// Nothing when the display cannot be opened or lacks XTest.
std::shared_ptr<InputEvents> createXTestInputEvents(const XTestInputOptions& options = {});

/// Nothing when the display cannot be opened. Without an EWMH window manager the window
/// list is empty, nothing is raised and the desktop requests report false.
std::shared_ptr<WindowServices> createEwmhWindowServices(const std::string& displayName = {});

}  // namespace df
