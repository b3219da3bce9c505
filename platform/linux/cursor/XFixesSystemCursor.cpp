#include "platform/linux/cursor/XFixesSystemCursor.h"

#include "platform/linux/x11/XEventLoop.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/Xutil.h>
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
    ~XFixesSystemCursor() override {
        if (cursorFont_) loop_->call([this](Display* d) { XFreeFont(d, cursorFont_); });
        loop_->stop();
    }

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
        // The classic names also have a glyph in the core cursor font, which is what a client
        // gets when no theme has the cursor; the server draws it black on white.
        loop_->call([&](Display* d) {
            const int shape = XcursorLibraryShape(name.c_str());
            if (shape < 0) return;
            if (auto glyph = coreGlyph(d, static_cast<unsigned>(shape))) out.push_back(std::move(*glyph));
        });
        return out;
    }

    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

private:
    /// The picture the server makes of core cursor-font glyph `shape` (its mask is the next
    /// glyph): the mask glyph's box, the hot spot at the glyph origin, source pixels black
    /// and the rest of the mask white, opaque.
    std::optional<CursorImage> coreGlyph(Display* d, unsigned shape) {
        if (!cursorFont_) cursorFont_ = XLoadQueryFont(d, "cursor");
        XFontStruct* font = cursorFont_;
        if (!font || !font->per_char || shape + 1 > font->max_char_or_byte2 || shape < font->min_char_or_byte2)
            return std::nullopt;
        const XCharStruct& mask = font->per_char[shape + 1 - font->min_char_or_byte2];
        CursorImage c;
        c.width = mask.rbearing - mask.lbearing;
        c.height = mask.ascent + mask.descent;
        c.xhot = -mask.lbearing;
        c.yhot = mask.ascent;
        if (c.width <= 0 || c.height <= 0) return std::nullopt;
        const auto bits = [&](unsigned glyph) {
            Pixmap pixmap = XCreatePixmap(d, DefaultRootWindow(d), static_cast<unsigned>(c.width),
                                          static_cast<unsigned>(c.height), 1);
            XGCValues values{};
            values.font = font->fid;
            values.foreground = 0;
            GC gc = XCreateGC(d, pixmap, GCFont | GCForeground, &values);
            XFillRectangle(d, pixmap, gc, 0, 0, static_cast<unsigned>(c.width), static_cast<unsigned>(c.height));
            XSetForeground(d, gc, 1);
            const char ch = static_cast<char>(glyph);
            XDrawString(d, pixmap, gc, c.xhot, c.yhot, &ch, 1);
            XImage* image = XGetImage(d, pixmap, 0, 0, static_cast<unsigned>(c.width), static_cast<unsigned>(c.height),
                                      1, XYPixmap);
            std::vector<bool> out(static_cast<size_t>(c.width) * static_cast<size_t>(c.height));
            if (image) {
                for (int y = 0; y < c.height; ++y)
                    for (int x = 0; x < c.width; ++x) out[static_cast<size_t>(y * c.width + x)] = XGetPixel(image, x, y) != 0;
                XDestroyImage(image);
            }
            XFreeGC(d, gc);
            XFreePixmap(d, pixmap);
            return out;
        };
        const auto source = bits(shape);
        const auto maskBits = bits(shape + 1);
        c.argb.resize(source.size());
        for (size_t i = 0; i < source.size(); ++i)
            c.argb[i] = maskBits[i] ? (source[i] ? 0xff000000u : 0xffffffffu) : 0u;
        return c;
    }

    std::unique_ptr<XEventLoop> loop_;
    XFontStruct* cursorFont_ = nullptr;
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
