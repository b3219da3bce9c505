#pragma once
// The cursor the host shows now: its name where the toolkit gave it one, and its image;
// news when it changes; and the images the host draws for its standard cursors, so that a
// cursor without a name can be recognised by its picture.
//
// Linux: XFixes cursor notifications and the Xcursor theme (platform/linux/cursor); tests:
// fake::FakeSystemCursor. Any thread.

#include "platform/Observation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

struct CursorImage {
    /// The name the cursor was created under ("left_ptr", "text", …); empty when it has none.
    std::string name;
    int width = 0;
    int height = 0;
    int xhot = 0;
    int yhot = 0;
    /// width × height pixels, premultiplied ARGB, row by row.
    std::vector<uint32_t> argb;
    bool operator==(const CursorImage&) const = default;
};

class SystemCursor {
public:
    virtual ~SystemCursor() = default;
    /// The cursor shown now; nothing when the host cannot tell.
    virtual std::optional<CursorImage> currentCursor() = 0;
    /// Every image the host may draw for the standard cursor `name` (each size it has);
    /// empty when it has none. Names are the host's (for X11 the cursor theme's).
    virtual std::vector<CursorImage> standardImages(const std::string& name) = 0;
    /// `onChange` is called on the host's thread whenever the shown cursor changes.
    virtual std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) = 0;
};

}  // namespace df
