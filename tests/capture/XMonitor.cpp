// Test helper kept apart from the GoogleTest sources: Xlib's macros (None, Bool, ...)
// collide with GoogleTest's names.

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace df::testsupport {

bool setMonitor(const char* name, int x, int width) {
    ::Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    Atom atom = XInternAtom(dpy, name, False);
    if (width == 0) {
        XRRDeleteMonitor(dpy, DefaultRootWindow(dpy), atom);
    } else {
        XRRMonitorInfo* m = XRRAllocateMonitor(dpy, 0);
        m->name = atom;
        m->x = x;
        m->y = 0;
        m->width = width;
        m->height = 1080;
        m->mwidth = 254;
        m->mheight = 286;
        XRRSetMonitor(dpy, DefaultRootWindow(dpy), m);
        XRRFreeMonitors(m);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return true;
}

}  // namespace df::testsupport
