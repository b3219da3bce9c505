#include "platform/linux/clipboard/X11Pasteboard.h"

#include "platform/linux/x11/XEventLoop.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <vector>

namespace df {
namespace {

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// UTF-8 → Latin-1 for STRING requestors: characters outside Latin-1 become '?'.
std::string toLatin1(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            const unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            out += cp < 0x100 ? static_cast<char>(cp) : '?';
            i += 2;
        } else {
            out += '?';
            ++i;
            while (i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++i;
        }
    }
    return out;
}

std::string fromLatin1(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (char ch : latin1) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

class X11Pasteboard final : public Pasteboard {
public:
    /// Pieces of an incremental transfer, and the size above which a text goes in pieces.
    static constexpr size_t chunkBytes = 65536;
    /// How long a reply of the owner, or the next piece of either side, may take.
    static constexpr double replyTimeout = 2.0;

    X11Pasteboard(std::unique_ptr<XEventLoop> loop, int fixesEventBase)
        : loop_(std::move(loop)), fixesEventBase_(fixesEventBase) {
        Display* d = loop_->display();
        clipboard_ = XInternAtom(d, "CLIPBOARD", False);
        utf8_ = XInternAtom(d, "UTF8_STRING", False);
        text_ = XInternAtom(d, "TEXT", False);
        targets_ = XInternAtom(d, "TARGETS", False);
        incr_ = XInternAtom(d, "INCR", False);
        timestampAtom_ = XInternAtom(d, "TIMESTAMP", False);
        transferProperty_ = XInternAtom(d, "DUSKFERRY_CLIPBOARD", False);
        timeProperty_ = XInternAtom(d, "DUSKFERRY_TIME", False);
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
        XFixesSelectSelectionInput(d, DefaultRootWindow(d), clipboard_,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        XFlush(d);
        loop_->start([this](XEvent& e) { handle(e); }, [this] { return nextWake(); }, [this] { expireTransfers(); });
    }

    ~X11Pasteboard() override { loop_->stop(); }

    int64_t changeCount() override { return changeCount_.load(); }

    std::optional<std::string> plainText() override {
        std::optional<std::string> result;
        loop_->call([&](Display* d) {
            if (owned_) {
                result = *owned_;
                return;
            }
            result = convert(d, utf8_);
            if (!result) {
                if (auto latin1 = convert(d, XA_STRING)) result = fromLatin1(*latin1);
            }
        });
        return result;
    }

    void clearContents() override {
        loop_->call([&](Display* d) {
            owned_.reset();
            XSetSelectionOwner(d, clipboard_, None, serverTime(d));
            ++changeCount_;
        });
    }

    bool setPlainText(const std::string& text) override {
        bool ok = false;
        loop_->call([&](Display* d) {
            const Time time = serverTime(d);
            XSetSelectionOwner(d, clipboard_, window_, time);
            if (XGetSelectionOwner(d, clipboard_) != window_) return;
            owned_ = std::make_shared<const std::string>(text);
            ownedSince_ = time;
            ++changeCount_;
            ok = true;
        });
        return ok;
    }

    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }

private:
    struct Outgoing {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;
        size_t offset = 0;
        bool finished = false;  // the closing empty piece was written
        double lastActivity = 0;
    };

    // ---- Loop thread ----

    /// A server timestamp: the time of a zero-length append to a property of our window.
    Time serverTime(Display* d) {
        XChangeProperty(d, window_, timeProperty_, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XEvent event{};
        const bool got = loop_->waitFor(
            [&](const XEvent& e) {
                if (e.type != PropertyNotify || e.xproperty.window != window_ || e.xproperty.atom != timeProperty_)
                    return false;
                event = e;
                return true;
            },
            replyTimeout);
        return got ? event.xproperty.time : CurrentTime;
    }

    /// Asks the owner for the clipboard as `target` and reads the answer, in pieces when the
    /// owner sends it incrementally.
    std::optional<std::string> convert(Display* d, Atom target) {
        XDeleteProperty(d, window_, transferProperty_);
        XConvertSelection(d, clipboard_, target, transferProperty_, window_, CurrentTime);
        Atom answered = None;
        const bool replied = loop_->waitFor(
            [&](const XEvent& e) {
                if (e.type != SelectionNotify || e.xselection.requestor != window_ ||
                    e.xselection.selection != clipboard_)
                    return false;
                answered = e.xselection.property;
                return true;
            },
            replyTimeout);
        if (!replied || answered == None) return std::nullopt;
        Atom type = None;
        std::string data;
        if (!readProperty(d, type, data)) return std::nullopt;
        if (type != incr_) return data;
        // Incremental: each piece is a new value of the property; deleting it asks for the
        // next; an empty piece ends the transfer.
        std::string whole;
        for (;;) {
            const bool more = loop_->waitFor(
                [&](const XEvent& e) {
                    return e.type == PropertyNotify && e.xproperty.window == window_ &&
                           e.xproperty.atom == transferProperty_ && e.xproperty.state == PropertyNewValue;
                },
                replyTimeout);
            if (!more) return std::nullopt;
            std::string piece;
            if (!readProperty(d, type, piece)) return std::nullopt;
            if (piece.empty()) return whole;
            whole += piece;
        }
    }

    /// Reads and deletes our transfer property.
    bool readProperty(Display* d, Atom& type, std::string& out) {
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* value = nullptr;
        if (XGetWindowProperty(d, window_, transferProperty_, 0, LONG_MAX / 4, True, AnyPropertyType, &type,
                               &format, &count, &after, &value) != Success) {
            return false;
        }
        if (value && format == 8) out.assign(reinterpret_cast<const char*>(value), count);
        if (value) XFree(value);
        return true;
    }

    void handle(XEvent& e) {
        Display* d = loop_->display();
        if (e.type == fixesEventBase_ + XFixesSelectionNotify) {
            const auto& n = reinterpret_cast<const XFixesSelectionNotifyEvent&>(e);
            if (n.selection != clipboard_ || n.owner == window_) return;
            // Our own clearing (owner None) was counted when it was done.
            if (n.subtype == XFixesSetSelectionOwnerNotify && n.owner == None) return;
            ++changeCount_;
            observers_.notify();
        } else if (e.type == SelectionClear) {
            if (e.xselectionclear.selection == clipboard_ && e.xselectionclear.time >= ownedSince_) owned_.reset();
        } else if (e.type == SelectionRequest) {
            serve(d, e.xselectionrequest);
        } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
            continueTransfer(d, e.xproperty.window, e.xproperty.atom);
        }
    }

    void serve(Display* d, const XSelectionRequestEvent& request) {
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.display = d;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.time = request.time;
        // Obsolete clients name no property: the target's name is used instead.
        const Atom property = request.property == None ? request.target : request.property;
        reply.xselection.property = None;
        const auto text = owned_;
        if (request.selection == clipboard_ && text && request.owner == window_) {
            if (request.target == targets_) {
                const Atom list[] = {targets_, timestampAtom_, utf8_, XA_STRING, text_};
                XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(list), 5);
                reply.xselection.property = property;
            } else if (request.target == timestampAtom_) {
                const long time = static_cast<long>(ownedSince_);
                XChangeProperty(d, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&time), 1);
                reply.xselection.property = property;
            } else if (request.target == utf8_ || request.target == text_ || request.target == XA_STRING) {
                const Atom type = request.target == XA_STRING ? XA_STRING : utf8_;
                auto data = type == XA_STRING ? std::make_shared<const std::string>(toLatin1(*text)) : text;
                if (data->size() <= chunkBytes) {
                    XChangeProperty(d, request.requestor, property, type, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(data->data()),
                                    static_cast<int>(data->size()));
                } else {
                    // Incremental: announce the size; each deletion of the property by the
                    // requestor asks for the next piece.
                    XSelectInput(d, request.requestor, PropertyChangeMask);
                    const long size = static_cast<long>(data->size());
                    XChangeProperty(d, request.requestor, property, incr_, 32, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(&size), 1);
                    outgoing_.push_back(Outgoing{request.requestor, property, type, data, 0, false, monotonic()});
                }
                reply.xselection.property = property;
            }
        }
        XSendEvent(d, request.requestor, False, NoEventMask, &reply);
        XFlush(d);
    }

    void continueTransfer(Display* d, Window requestor, Atom property) {
        auto it = std::ranges::find_if(outgoing_, [&](const Outgoing& o) {
            return o.requestor == requestor && o.property == property;
        });
        if (it == outgoing_.end()) return;
        if (it->finished) {
            finishTransfer(d, it);
            return;
        }
        const size_t n = std::min(chunkBytes, it->data->size() - it->offset);
        XChangeProperty(d, requestor, property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->data->data() + it->offset), static_cast<int>(n));
        it->offset += n;
        it->finished = n == 0;
        it->lastActivity = monotonic();
        XFlush(d);
    }

    void finishTransfer(Display* d, std::vector<Outgoing>::iterator it) {
        const Window requestor = it->requestor;
        outgoing_.erase(it);
        if (std::ranges::none_of(outgoing_, [&](const Outgoing& o) { return o.requestor == requestor; })) {
            XSelectInput(d, requestor, NoEventMask);
        }
    }

    /// A requestor that stopped taking pieces (it quit, say) is given up on.
    void expireTransfers() {
        const double now = monotonic();
        for (auto it = outgoing_.begin(); it != outgoing_.end();) {
            if (now - it->lastActivity > replyTimeout) {
                finishTransfer(loop_->display(), it);
                it = outgoing_.begin();
            } else {
                ++it;
            }
        }
    }

    std::optional<double> nextWake() const {
        if (outgoing_.empty()) return std::nullopt;
        double oldest = outgoing_.front().lastActivity;
        for (const auto& o : outgoing_) oldest = std::min(oldest, o.lastActivity);
        return std::max(0.0, oldest + replyTimeout - monotonic()) + 0.01;
    }

    std::unique_ptr<XEventLoop> loop_;
    int fixesEventBase_;
    Atom clipboard_, utf8_, text_, targets_, incr_, timestampAtom_, transferProperty_, timeProperty_;
    Window window_ = None;
    std::shared_ptr<const std::string> owned_;
    Time ownedSince_ = CurrentTime;
    std::vector<Outgoing> outgoing_;
    std::atomic<int64_t> changeCount_{0};
    ObserverList<> observers_;
};

}  // namespace

std::shared_ptr<Pasteboard> createX11Pasteboard(const std::string& displayName) {
    int eventBase = 0;
    int errorBase = 0;
    auto loop = XEventLoop::open(displayName, "df.clipboard", [&](Display* d) {
        int major = 2;
        int minor = 0;
        return XFixesQueryExtension(d, &eventBase, &errorBase) && XFixesQueryVersion(d, &major, &minor);
    });
    if (!loop) return nullptr;
    return std::make_shared<X11Pasteboard>(std::move(loop), eventBase);
}

}  // namespace df
