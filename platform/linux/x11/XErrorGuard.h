#pragma once
// Keeps X errors on the agent's own display connections from ending the process. Xlib's
// default handlers exit on any error: on a protocol error (a window that closes between
// listing and reading its properties gives BadWindow as a matter of course) and on a broken
// connection (the X server went away or restarted). On the displays registered here
// protocol errors are ignored and a broken connection is left to its owner, which closes
// it and opens a new one (XConnection); errors on any other display go to the handlers that
// were installed before.

#include <X11/Xlib.h>

#include <cstdint>

namespace df::XErrorGuard {

void watch(Display* display);
void unwatch(Display* display);
/// Protocol errors ignored on a watched display so far. A caller that needs to know whether
/// requests without a reply succeeded compares the count around them (after XSync).
uint64_t errorCount(Display* display);

}  // namespace df::XErrorGuard
