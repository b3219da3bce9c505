#include "platform/linux/workspace/EwmhWorkspace.h"

#include "platform/linux/workspace/DesktopEntries.h"
#include "platform/linux/x11/XEventLoop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <climits>

namespace df {
namespace {

class EwmhWorkspace final : public Workspace {
public:
    EwmhWorkspace(std::unique_ptr<XEventLoop> loop, DesktopEntries entries)
        : loop_(std::move(loop)), entries_(std::move(entries)) {
        Display* d = loop_->display();
        activeWindow_ = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
        wmPid_ = XInternAtom(d, "_NET_WM_PID", False);
        XSelectInput(d, DefaultRootWindow(d), PropertyChangeMask);
        XFlush(d);
        last_ = resolve(d);
        loop_->start([this](XEvent& e) { handle(e); });
    }
    ~EwmhWorkspace() override { loop_->stop(); }

    std::optional<RunningApplication> frontmostApplication() override {
        std::optional<RunningApplication> app;
        loop_->call([&](Display* d) { app = resolve(d); });
        return app;
    }

    std::unique_ptr<Observation> observeActivations(
        std::function<void(const std::optional<RunningApplication>&)> onActivation) override {
        return observers_.add(std::move(onActivation));
    }

private:
    // ---- Loop thread ----

    void handle(XEvent& e) {
        if (e.type != PropertyNotify || e.xproperty.atom != activeWindow_) return;
        Display* d = loop_->display();
        if (e.xproperty.window != DefaultRootWindow(d)) return;
        auto app = resolve(d);
        if (app == last_) return;
        last_ = app;
        if (app) observers_.notify(app);
    }

    std::optional<unsigned long> cardinal(Display* d, Window w, Atom property, Atom type) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* value = nullptr;
        std::optional<unsigned long> out;
        if (XGetWindowProperty(d, w, property, 0, 1, False, type, &actual, &format, &count, &after, &value) ==
                Success &&
            value && count == 1 && format == 32) {
            out = *reinterpret_cast<unsigned long*>(value);
        }
        if (value) XFree(value);
        return out;
    }

    std::optional<RunningApplication> resolve(Display* d) {
        auto window = cardinal(d, DefaultRootWindow(d), activeWindow_, XA_WINDOW);
        if (!window || *window == None) return std::nullopt;
        XClassHint hint{};
        if (!XGetClassHint(d, static_cast<Window>(*window), &hint)) return std::nullopt;
        const std::string instance = hint.res_name ? hint.res_name : "";
        const std::string cls = hint.res_class ? hint.res_class : "";
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        std::string executable;
        if (auto pid = cardinal(d, static_cast<Window>(*window), wmPid_, XA_CARDINAL)) {
            char target[PATH_MAX];
            const std::string link = "/proc/" + std::to_string(*pid) + "/exe";
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) executable = std::filesystem::path(std::string(target, static_cast<size_t>(n))).filename().string();
        }
        if (auto entry = entries_.match(cls, instance, executable)) {
            return RunningApplication{entry->name.empty() ? cls : entry->name, entry->id};
        }
        if (cls.empty() && instance.empty()) return std::nullopt;
        const std::string name = cls.empty() ? instance : cls;
        return RunningApplication{name, name};
    }

    std::unique_ptr<XEventLoop> loop_;
    DesktopEntries entries_;
    Atom activeWindow_ = None;
    Atom wmPid_ = None;
    std::optional<RunningApplication> last_;
    ObserverList<const std::optional<RunningApplication>&> observers_;
};

}  // namespace

std::shared_ptr<Workspace> createEwmhWorkspace(std::vector<std::filesystem::path> dataDirs,
                                               std::vector<std::string> languages, const std::string& displayName) {
    auto loop = XEventLoop::open(displayName, "df.workspace");
    if (!loop) return nullptr;
    return std::make_shared<EwmhWorkspace>(std::move(loop), DesktopEntries(std::move(dataDirs), std::move(languages)));
}

}  // namespace df
