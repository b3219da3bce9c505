#include "platform/linux/desktop/LinuxHostPermissions.h"

#include <X11/Xlib.h>
#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <pulse/context.h>
#include <pulse/mainloop.h>

namespace df {

namespace {

bool hasExtension(Display* display, const char* name) {
    int opcode = 0, event = 0, error = 0;
    return XQueryExtension(display, name, &opcode, &event, &error) != 0;
}

// A sound server answers when a context reaches READY; gives up after ~1 s.
bool soundServerAnswers() {
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return false;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Brevox check");
    bool ready = false;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        for (int i = 0; i < 100; ++i) {
            pa_mainloop_iterate(loop, 0, nullptr);
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            pa_mainloop_iterate(loop, 1, nullptr);
        }
        pa_context_disconnect(context);
    }
    if (context) pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
}

// The Avahi client library reports at once whether the daemon runs (without waiting for it).
bool avahiRuns() {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll) return false;
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr, &error);
    bool runs = false;
    if (client) {
        const AvahiClientState state = avahi_client_get_state(client);
        runs = state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING ||
               state == AVAHI_CLIENT_S_COLLISION;
        avahi_client_free(client);
    }
    avahi_simple_poll_free(poll);
    return runs;
}

class LinuxHostPermissions final : public HostPermissions {
public:
    explicit LinuxHostPermissions(std::string displayName) : displayName_(std::move(displayName)) {}

    bool check(Kind kind) const override {
        switch (kind) {
            case Kind::displayInput: return withDisplay([](Display* d) { return hasExtension(d, "XTEST"); });
            case Kind::screenCapture:
                return withDisplay([](Display* d) { return hasExtension(d, "MIT-SHM") && hasExtension(d, "DAMAGE"); });
            case Kind::soundServer: return soundServerAnswers();
            case Kind::dnsSd: return avahiRuns();
        }
        return false;
    }

private:
    template <typename F>
    bool withDisplay(F f) const {
        Display* display = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
        if (!display) return false;
        const bool ok = f(display);
        XCloseDisplay(display);
        return ok;
    }

    std::string displayName_;
};

}  // namespace

bool xDisplayOpens(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.c_str());
    if (display) XCloseDisplay(display);
    return display != nullptr;
}

std::unique_ptr<HostPermissions> createLinuxHostPermissions(std::string displayName) {
    return std::make_unique<LinuxHostPermissions>(std::move(displayName));
}

}  // namespace df
