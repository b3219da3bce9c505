#pragma once
// What a session asks of the input injector. The injector (DuskFerryAgent/input) is wired
// in through SessionServices::makeInput; a session without one drops input messages and
// reports no pointer position.
//
// Called on the session queue; implementations post events on their own queues and never
// make the session wait.

#include "protocol/ControlMessage.h"

#include <optional>
#include <utility>

namespace df {

class SessionInput {
public:
    virtual ~SessionInput() = default;
    virtual void handlePointer(const PointerEvent& event) = 0;
    virtual void handleScroll(const ScrollEvent& event) = 0;
    /// Posts one keyboard event for the host virtual key code with exactly the flags of
    /// the modifiers present; skipped when the host cannot create it.
    virtual void handleKey(const KeyEvent& event) = 0;
    virtual void handleText(const TextInput& event) = 0;
    /// The desktop's action for the gesture (Show Desktop, switching desktops, the overview
    /// chord).
    virtual void handleGesture(SystemGesture gesture) = 0;
    /// The pointer position normalised to the current display (0..1), when known.
    virtual std::optional<std::pair<double, double>> currentNormalizedPosition() = 0;
    /// The session is over: releases every key and button the phone left pressed, stops
    /// scroll momentum and drops input not yet posted. Nothing is posted afterwards.
    virtual void close() = 0;
};

}  // namespace df
