#pragma once
// duskferry-phone's viewer window (--view): shows the decoded stream live and turns the
// window's mouse, wheel and keyboard into the phone's messages (the mapping is ViewInput's).
// A Qt 6 Widgets window behind a toolkit-free face, so that only this library sees Qt.
//
// Threads: the window belongs to the thread that opens it (the program's main thread),
// which run() turns into the toolkit's event loop; input is handed out there. showPicture()
// is called from one other thread at a time (the session queue), quit() from any thread.
// Pictures cross to the window one at a time: a picture that arrives while the window has
// not yet taken the previous one replaces it, so a slow window skips pictures instead of
// falling behind.

#include "protocol/ControlMessage.h"
#include "tools/phone/HevcDecoder.h"

#include <functional>
#include <memory>
#include <string>

namespace df::phone {

class PhoneView {
public:
    struct Hooks {
        std::function<void(ControlMessage)> send;  ///< input from the window
        std::function<void()> closed;              ///< the person closed the window
        std::function<void()> tick;                ///< every 100 ms while run() runs
    };

    /// Starts the toolkit on the calling thread and makes the (still hidden) window; `out`
    /// gets a line when the first picture has been drawn. Needs a display to connect to.
    static std::unique_ptr<PhoneView> open(const std::string& title,
                                           std::function<void(const std::string&)> out);
    virtual ~PhoneView() = default;

    /// The newest decoded picture; one thread at a time.
    virtual void showPicture(const RgbImage& picture) = 0;
    /// Any thread: makes run() return (also when called before run() started).
    virtual void quit() = 0;
    /// The opening thread: shows the window and runs until quit(). Closing the window only
    /// tells `closed`; the caller ends the session, and with it run().
    virtual void run(Hooks hooks) = 0;
};

}  // namespace df::phone
