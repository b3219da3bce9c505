#pragma once
// Tells the phone what shape the cursor has. Each time the host reports that the shown
// cursor changed, the cursor is recognised as one of seven shapes ("arrow", "iBeam",
// "pointingHand", "openHand", "resizeLeftRight", "resizeUpDown", "crosshair") and a change
// of shape is reported; the same shape again reports nothing. A cursor is recognised by its
// name (the names cursor themes and toolkits use, CSS and classic X alike), else, for a
// cursor without a name, by its picture compared with the pictures the host draws for the
// standard cursors; anything else (an application's own cursor) is the arrow. A closed hand
// counts as the open hand, a one-way resize cursor as its two-way shape. The first report is
// the first shape other than the arrow.
//
// Main queue: creation, the host's news (hopping there), recognition and onChange. The owner
// ends the watcher with stop() or by letting it go.

#include "platform/DispatchQueue.h"
#include "platform/SystemCursor.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace df {

class CursorShapeWatcher : public std::enable_shared_from_this<CursorShapeWatcher> {
public:
    using OnChange = std::function<void(const std::string& shape)>;

    /// Starts watching `cursor`; `onChange` runs on `mainQueue`.
    static std::shared_ptr<CursorShapeWatcher> create(std::shared_ptr<SystemCursor> cursor,
                                                      std::shared_ptr<DispatchQueue> mainQueue, OnChange onChange);
    void stop();

    /// The shape a cursor name stands for; nothing for a name that is no standard shape.
    static std::optional<std::string> shapeForName(std::string_view name);
    const std::string& lastShape() const { return lastShape_; }

private:
    CursorShapeWatcher(std::shared_ptr<SystemCursor> cursor, OnChange onChange)
        : cursor_(std::move(cursor)), onChange_(std::move(onChange)) {}
    void tick();
    std::string recognise(const CursorImage& image);
    void buildKnown();

    std::shared_ptr<SystemCursor> cursor_;
    /// The standard cursors' pictures (size, hot spot and pixels) → shape; built on the first
    /// cursor that has no name, as most never need it.
    std::optional<std::map<std::vector<uint32_t>, std::string>> known_;
    std::string lastShape_ = "arrow";
    OnChange onChange_;
    std::unique_ptr<Observation> observation_;
    bool stopped_ = false;
};

}  // namespace df
