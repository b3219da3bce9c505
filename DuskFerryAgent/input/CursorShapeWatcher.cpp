#include "DuskFerryAgent/input/CursorShapeWatcher.h"

#include <algorithm>
#include <cctype>

namespace df {
namespace {

struct StandardCursor {
    std::string_view shape;
    std::vector<std::string_view> names;
};

// In the order in which a picture's name is decided when a theme draws two cursors alike:
// a later row wins. The names are those of the cursor themes: CSS names, the classic X
// cursor-font names and the hashes some toolkits ask themes for.
const std::vector<StandardCursor>& standardCursors() {
    static const std::vector<StandardCursor> table{
        {"arrow", {"left_ptr", "default", "arrow", "top_left_arrow"}},
        {"iBeam", {"xterm", "text", "ibeam", "vertical-text"}},
        {"pointingHand",
         {"hand2", "pointer", "pointing_hand", "hand", "9d800788f1b08800ae810202380a0822",
          "e29285e634086352946a0e7090d73106"}},
        {"openHand", {"grab", "openhand", "hand1", "grabbing", "closedhand", "dnd-none"}},
        {"resizeLeftRight",
         {"sb_h_double_arrow", "col-resize", "ew-resize", "e-resize", "w-resize", "left_side", "right_side",
          "h_double_arrow", "split_h", "size_hor", "14fef782d02440884392942c11205230",
          "028006030e0e7ebffc7f7070c0600140"}},
        {"resizeUpDown",
         {"sb_v_double_arrow", "row-resize", "ns-resize", "n-resize", "s-resize", "top_side", "bottom_side",
          "v_double_arrow", "split_v", "size_ver", "2870a09082c103050810ffdffffe0204",
          "00008160000006810000408080010102"}},
        {"crosshair", {"crosshair", "cross", "tcross", "cross_reverse", "diamond_cross"}},
    };
    return table;
}

std::vector<uint32_t> key(const CursorImage& image) {
    std::vector<uint32_t> k{static_cast<uint32_t>(image.width), static_cast<uint32_t>(image.height),
                            static_cast<uint32_t>(image.xhot), static_cast<uint32_t>(image.yhot)};
    k.insert(k.end(), image.argb.begin(), image.argb.end());
    return k;
}

}  // namespace

std::optional<std::string> CursorShapeWatcher::shapeForName(std::string_view name) {
    std::string lower(name);
    std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& row : standardCursors()) {
        if (std::ranges::find(row.names, std::string_view(lower)) != row.names.end()) return std::string(row.shape);
    }
    return std::nullopt;
}

std::shared_ptr<CursorShapeWatcher> CursorShapeWatcher::create(std::shared_ptr<SystemCursor> cursor,
                                                               std::shared_ptr<DispatchQueue> mainQueue,
                                                               OnChange onChange) {
    std::shared_ptr<CursorShapeWatcher> self(new CursorShapeWatcher(std::move(cursor), std::move(onChange)));
    std::weak_ptr<CursorShapeWatcher> weak = self;
    // The host's thread: only hop to the main queue.
    self->observation_ = self->cursor_->observeChanges([weak, mainQueue] {
        mainQueue->post([weak] {
            if (auto watcher = weak.lock()) watcher->tick();
        });
    });
    return self;
}

void CursorShapeWatcher::stop() {
    stopped_ = true;
    observation_.reset();
}

void CursorShapeWatcher::buildKnown() {
    known_.emplace();
    for (const auto& row : standardCursors()) {
        for (auto name : row.names) {
            for (const auto& image : cursor_->standardImages(std::string(name))) (*known_)[key(image)] = row.shape;
        }
    }
}

std::string CursorShapeWatcher::recognise(const CursorImage& image) {
    if (!image.name.empty()) {
        if (auto shape = shapeForName(image.name)) return *shape;
    }
    if (!known_) buildKnown();
    auto it = known_->find(key(image));
    return it == known_->end() ? "arrow" : it->second;
}

void CursorShapeWatcher::tick() {
    if (stopped_) return;
    auto image = cursor_->currentCursor();
    if (!image) return;
    std::string shape = recognise(*image);
    if (shape == lastShape_) return;
    lastShape_ = shape;
    onChange_(shape);
}

}  // namespace df
