#pragma once
// Finds the X keycode that types a keysym on the server's present keymap, and when the
// keymap has none, remaps a spare keycode (one with no symbols) to it. Spare keycodes are
// handed out least recently used first; one that was used moments ago is only reassigned
// after the server has taken its key events, so that a client still reading them does not
// see the new symbol. The spare keycodes are cleared again when the mapper goes away.
//
// Not thread-safe: the owner holds its display lock around every call.

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace df {

class XKeyboardMapper {
public:
    /// Seconds given to clients to take in a keymap change before keys on it are pressed.
    static constexpr double settleTime = 0.1;
    /// A spare keycode used more recently than this may still have key events on their way
    /// to clients; it is reassigned only after that much time.
    static constexpr double reuseGuard = 0.1;

    struct Stroke {
        KeyCode keycode = 0;
        bool shifted = false;  ///< the keysym sits on the shifted level of the key
    };

    explicit XKeyboardMapper(Display* display);
    ~XKeyboardMapper();
    XKeyboardMapper(const XKeyboardMapper&) = delete;
    XKeyboardMapper& operator=(const XKeyboardMapper&) = delete;

    /// Reads the server's keymap again (another client may have changed it).
    void refresh();
    /// The key for `keysym`, remapping a spare keycode when the keymap lacks it; nothing
    /// when there is no spare keycode either. Without `allowShifted` a keysym that sits
    /// only on a shifted level is remapped too: on keypad keys Shift does not reliably
    /// select that level, and a held key must not need Shift held with it.
    std::optional<Stroke> strokeFor(KeySym keysym, bool allowShifted = true);
    /// The key for `keysym` on the present keymap or on a spare keycode already remapped to
    /// it; never remaps.
    std::optional<Stroke> lookup(KeySym keysym, bool allowShifted = true) const;
    /// After remapping, waits until the server has told every client about the new symbols,
    /// before keys on them are pressed. Clients read a keymap change lazily; key events that
    /// arrive between several changes can be read with a stale map and type nothing.
    void settle();
    /// Whether keymap changes wait for settle(); a caller that waits in its own way (without
    /// holding its display lock meanwhile) syncs, marks them settled and sleeps settleTime.
    bool unsettled() const { return unsettled_; }
    void markSettled() { unsettled_ = false; }
    /// The unshifted keysym of a keycode.
    KeySym keysymOf(KeyCode keycode) const;
    size_t spareKeycodes() const { return spare_.size(); }

private:
    std::optional<Stroke> find(KeySym keysym, bool allowShifted) const;

    Display* display_;
    int minKeycode_ = 8;
    int maxKeycode_ = 255;
    int perKeycode_ = 0;
    std::vector<KeySym> map_;  ///< (max − min + 1) × perKeycode_ symbols

    struct Spare {
        KeyCode keycode;
        KeySym mapped = NoSymbol;
        double lastUsed = -1;  ///< monotonic seconds
    };
    std::vector<Spare> spare_;
    bool unsettled_ = false;
};

}  // namespace df
