#pragma once
// Keeps X protocol errors on the input connections from ending the process. Xlib's
// default handler exits on any error, and a window that closes between listing and
// reading its properties gives BadWindow as a matter of course. Errors on the displays
// registered here are ignored; errors on any other display go to the handler that was
// installed before.

#include <X11/Xlib.h>

namespace df::XErrorGuard {

void watch(Display* display);
void unwatch(Display* display);

}  // namespace df::XErrorGuard
