#include "platform/linux/screens/RandrScreenParameters.h"

#include "platform/linux/x11/XEventLoop.h"

#include <X11/extensions/Xrandr.h>

namespace df {
namespace {

class RandrScreenParameters final : public ScreenParameters {
public:
    RandrScreenParameters(std::unique_ptr<XEventLoop> loop, int eventBase) : loop_(std::move(loop)), eventBase_(eventBase) {
        Display* d = loop_->display();
        XRRSelectInput(d, DefaultRootWindow(d),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XFlush(d);
        loop_->start([this](XEvent& e) {
            if (e.type == eventBase_ + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&e);
                observers_.notify();
            } else if (e.type == eventBase_ + RRNotify) {
                observers_.notify();
            }
        });
    }
    ~RandrScreenParameters() override { loop_->stop(); }

    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

private:
    std::unique_ptr<XEventLoop> loop_;
    int eventBase_;
    ObserverList<> observers_;
};

}  // namespace

std::shared_ptr<ScreenParameters> createRandrScreenParameters(const std::string& displayName) {
    int eventBase = 0;
    int errorBase = 0;
    auto loop = XEventLoop::open(displayName, "df.screens",
                                 [&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase) != 0; });
    if (!loop) return nullptr;
    return std::make_shared<RandrScreenParameters>(std::move(loop), eventBase);
}

}  // namespace df
