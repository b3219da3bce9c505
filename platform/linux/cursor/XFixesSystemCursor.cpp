#include "platform/linux/cursor/XFixesSystemCursor.h"

#include "platform/linux/x11/XEventLoop.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/extensions/Xfixes.h>

namespace df {
namespace {

class XFixesSystemCursor final : public SystemCursor {
public:
    XFixesSystemCursor(std::unique_ptr<XEventLoop> loop, int eventBase) : loop_(std::move(loop)), eventBase_(eventBase) {
        Display* d = loop_->display();
        XFixesSelectCursorInput(d, DefaultRootWindow(d), XFixesDisplayCursorNotifyMask);
        XFlush(d);
        loop_->start([this](XEvent& e) {
            if (e.type == eventBase_ + XFixesCursorNotify) observers_.notify();
        });
    }
    ~XFixesSystemCursor() override { loop_.reset(); }

    std::optional<CursorImage> currentCursor() override {
        std::optional<CursorImage> out;
        loop_->call([&](Display* d) {
            XFixesCursorImage* image = XFixesGetCursorImage(d);
            if (!image) return;
            CursorImage c;
            c.name = image->name ? image->name : "";
            c.width = image->width;
            c.height = image->height;
            c.xhot = image->xhot;
            c.yhot = image->yhot;
            const size_t n = static_cast<size_t>(image->width) * image->height;
            c.argb.resize(n);
            // Xlib hands the 32-bit pixels over in longs.
            for (size_t i = 0; i < n; ++i) c.argb[i] = static_cast<uint32_t>(image->pixels[i]);
            XFree(image);
            out = std::move(c);
        });
        return out;
    }

    std::vector<CursorImage> standardImages(const std::string& name) override {
        std::vector<CursorImage> out;
        loop_->call([&](Display* d) {
            XcursorImages* images = XcursorLibraryLoadImages(name.c_str(), XcursorGetTheme(d), XcursorGetDefaultSize(d));
            if (!images) return;
            for (int i = 0; i < images->nimage; ++i) {
                const XcursorImage* image = images->images[i];
                CursorImage c;
                c.width = static_cast<int>(image->width);
                c.height = static_cast<int>(image->height);
                c.xhot = static_cast<int>(image->xhot);
                c.yhot = static_cast<int>(image->yhot);
                c.argb.assign(image->pixels, image->pixels + static_cast<size_t>(image->width) * image->height);
                out.push_back(std::move(c));
            }
            XcursorImagesDestroy(images);
        });
        return out;
    }

    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

private:
    std::unique_ptr<XEventLoop> loop_;
    int eventBase_;
    ObserverList<> observers_;
};

}  // namespace

std::shared_ptr<SystemCursor> createXFixesSystemCursor(const std::string& displayName) {
    int eventBase = 0;
    int errorBase = 0;
    auto loop = XEventLoop::open(displayName, "df.cursor", [&](Display* d) {
        int major = 2;
        int minor = 0;
        return XFixesQueryExtension(d, &eventBase, &errorBase) && XFixesQueryVersion(d, &major, &minor);
    });
    if (!loop) return nullptr;
    return std::make_shared<XFixesSystemCursor>(std::move(loop), eventBase);
}

}  // namespace df
