// The session's watchers: the frontmost application, display changes, the clipboard both
// ways and the cursor's shape. They start in begin() and end in close(); the host's news
// hops to the session queue (the cursor's to the main queue first) and finds the watcher
// stopped once the session closed.

#include "DuskFerryAgent/input/CursorShapeWatcher.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/session/ClipboardWatcher.h"
#include "DuskFerryAgent/session/FrontAppWatcher.h"
#include "DuskFerryAgent/session/ScreenWatcher.h"
#include "DuskFerryAgent/shell/L10n.h"

namespace df {

void AgentSession::startWatchers() {
    stopWatchers();  // a repeated begin() replaces them
    std::weak_ptr<AgentSession> weak = weak_from_this();
    if (services_.workspace) {
        frontAppWatcher_ = FrontAppWatcher::start(services_.workspace, queue_, [weak](const RunningApplication& app) {
            if (auto self = weak.lock(); self && !self->closed_)
                self->sendControl(FrontApp(app.localizedName, app.bundleIdentifier));
        });
    }
    if (services_.screenParameters) {
        screenWatcher_ = ScreenWatcher::start(services_.screenParameters, queue_, [weak] {
            if (auto self = weak.lock(); self && !self->closed_) self->scheduleScreenResync(1.0, false);
        });
    }
    startHeartbeatWatchdog();
    if (services_.pasteboard) {
        clipboardWatcher_ = ClipboardWatcher::start(services_.pasteboard, queue_, [weak](const std::string& text) {
            if (auto self = weak.lock(); self && !self->closed_) self->sendControl(ClipboardSync(text));
        });
    }
    if (auto cursor = services_.cursor) {
        auto main = services_.mainQueue ? services_.mainQueue : queue_;
        auto queue = queue_;
        onMain([weak, cursor, main, queue] {
            auto self = weak.lock();
            if (!self || self->closeRequested_) return;
            if (self->cursorWatcher_) self->cursorWatcher_->stop();
            self->cursorWatcher_ = CursorShapeWatcher::create(cursor, main, [weak, queue](const std::string& shape) {
                queue->post([weak, shape] {
                    if (auto s = weak.lock(); s && !s->closed_) s->sendControl(CursorShapeMsg(shape));
                });
            });
        });
    }
}

void AgentSession::stopWatchers() {
    if (clipboardWatcher_) {
        clipboardWatcher_->stop();
        clipboardWatcher_.reset();
    }
    if (frontAppWatcher_) {
        frontAppWatcher_->stop();
        frontAppWatcher_.reset();
    }
    if (screenWatcher_) {
        screenWatcher_->stop();
        screenWatcher_.reset();
    }
    if (services_.cursor) {
        // The watcher was made on the main queue and ends there; this runs after its creation.
        std::weak_ptr<AgentSession> weak = weak_from_this();
        onMain([weak] {
            auto self = weak.lock();
            if (!self || !self->cursorWatcher_) return;
            self->cursorWatcher_->stop();
            self->cursorWatcher_.reset();
        });
    }
}

void AgentSession::receiveClipboard(const std::string& text) {
    // Only a text that is really on the clipboard is reported as received.
    if (clipboardWatcher_ && clipboardWatcher_->receive(text)) report(services_.l10n->t("已接收剪贴板"));
}

}  // namespace df
