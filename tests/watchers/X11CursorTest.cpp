// The shown cursor on a private Xvfb, set by a test window of its own: its name when the
// client named it, and, for cursors without a name, pictures that equal one of the standard
// images the service draws (the theme's, and the core cursor font's when a client uses the
// font directly).

#include <gtest/gtest.h>

#include "platform/linux/cursor/XFixesSystemCursor.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;

class X11CursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        DF_REQUIRE_TOOL("Xvfb");
        xvfb = std::make_unique<testsupport::Xvfb>(testsupport::Size{320, 240});
        ASSERT_FALSE(xvfb->name().empty());
        cursor = createXFixesSystemCursor(xvfb->name());
        ASSERT_TRUE(cursor);
        observation = cursor->observeChanges([this] { ++news; });
        d = XOpenDisplay(xvfb->name().c_str());
        ASSERT_NE(d, nullptr);
        // The pointer rests in the middle of the screen, over the root window.
        root = DefaultRootWindow(d);
    }
    void TearDown() override {
        observation.reset();
        if (d) XCloseDisplay(d);
    }
    /// Shows `c` (on the root window, under the pointer) and waits for the news.
    std::optional<CursorImage> show(Cursor c) {
        const int before = news;
        XDefineCursor(d, root, c);
        XFlush(d);
        for (int i = 0; i < 300 && news == before; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_GT(news, before);
        return cursor->currentCursor();
    }
    bool isStandard(const CursorImage& shown, const std::string& name) {
        CursorImage unnamed = shown;
        unnamed.name.clear();
        for (const auto& image : cursor->standardImages(name))
            if (image == unnamed) return true;
        return false;
    }

    std::unique_ptr<testsupport::Xvfb> xvfb;
    std::shared_ptr<SystemCursor> cursor;
    std::unique_ptr<Observation> observation;
    std::atomic<int> news{0};
    Display* d = nullptr;
    Window root = None;
};

TEST_F(X11CursorTest, NamedCursorsAreReadByName) {
    Cursor c = XCreateFontCursor(d, XC_hand2);
    XFixesSetCursorName(d, c, "pointer");
    auto shown = show(c);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->name, "pointer");
    EXPECT_GT(shown->width, 0);
    EXPECT_EQ(shown->argb.size(), static_cast<size_t>(shown->width * shown->height));
}

TEST_F(X11CursorTest, UnnamedCursorsLookLikeTheStandardImages) {
    // A theme picture made into a cursor without a name, as toolkits that load images do.
    XcursorImage* image = XcursorLibraryLoadImage("xterm", XcursorGetTheme(d), XcursorGetDefaultSize(d));
    if (image) {
        auto shown = show(XcursorImageLoadCursor(d, image));
        XcursorImageDestroy(image);
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->name, "");
        EXPECT_TRUE(isStandard(*shown, "xterm"));
        EXPECT_FALSE(isStandard(*shown, "hand2"));
    } else {
        ADD_FAILURE() << "no cursor theme has the I-beam";
    }
    // The core cursor font's glyphs as the server draws them, asked for through XCB (Xlib
    // would hand a themed cursor instead).
    xcb_connection_t* xcb = xcb_connect(xvfb->name().c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(xcb));
    const xcb_window_t xcbRoot = xcb_setup_roots_iterator(xcb_get_setup(xcb)).data->root;
    const xcb_font_t font = xcb_generate_id(xcb);
    xcb_open_font(xcb, font, 6, "cursor");
    for (const auto& [glyph, name] : std::vector<std::pair<uint16_t, std::string>>{
             {XC_hand2, "hand2"}, {XC_sb_v_double_arrow, "sb_v_double_arrow"}, {XC_crosshair, "crosshair"}}) {
        const xcb_cursor_t c = xcb_generate_id(xcb);
        xcb_create_glyph_cursor(xcb, c, font, font, glyph, static_cast<uint16_t>(glyph + 1), 0, 0, 0, 0xffff, 0xffff,
                                0xffff);
        const int before = news;
        xcb_change_window_attributes(xcb, xcbRoot, XCB_CW_CURSOR, &c);
        xcb_flush(xcb);
        for (int i = 0; i < 300 && news == before; ++i) std::this_thread::sleep_for(10ms);
        auto shown = cursor->currentCursor();
        ASSERT_TRUE(shown) << name;
        EXPECT_EQ(shown->name, "") << name;
        EXPECT_TRUE(isStandard(*shown, name)) << name;
    }
    xcb_disconnect(xcb);
}

}  // namespace
}  // namespace df
