#include "DuskFerryAgent/trust/Approval.h"

#include "DuskFerryAgent/shell/Utf8.h"
#include "DuskFerryAgent/trust/TrustStore.h"

#include <algorithm>

namespace df {

std::shared_ptr<Approval> Approval::create(std::shared_ptr<DispatchQueue> mainQueue,
                                           std::shared_ptr<AlertPresenter> alerts, std::shared_ptr<const L10n> l10n) {
    return std::shared_ptr<Approval>(new Approval(std::move(mainQueue), std::move(alerts), std::move(l10n)));
}

Approval::Approval(std::shared_ptr<DispatchQueue> mainQueue, std::shared_ptr<AlertPresenter> alerts,
                   std::shared_ptr<const L10n> l10n)
    : mainQueue_(std::move(mainQueue)), alerts_(std::move(alerts)), l10n_(std::move(l10n)) {}

Approval::~Approval() {
    // Requests that never got their prompt are answered, later and on the main queue as
    // always, so no enrolment waits forever.
    for (auto& pending : waiting_) {
        mainQueue_->post([completion = std::move(pending.completion)] { completion(false); });
    }
}

AlertContent Approval::alertFor(const L10n& l10n, std::string_view deviceName, std::string_view deviceID,
                               Reason reason) {
    AlertContent content;
    // Both come from the phone: nothing in them may move the terminal's cursor, recolour it
    // or reorder the text around them.
    content.messageText = l10n.tf("允许「%@」连接吗？", Utf8::displaySafe(deviceName, maxShownName));
    // The text already ends with the ellipsis; a shorter ID is shown whole.
    std::string shownID = Utf8::displaySafe(Utf8::prefix(deviceID, 8), maxShownID);
    content.informativeText =
        reason == Reason::keyChanged
            ? l10n.tf("这台设备的密钥已更改。\n仅在你本人在该设备上重新安装了应用时点“信任”，否则可能有人在冒用它。\n\n设备标识：%@…",
                      shownID)
            : l10n.tf("这台 iPhone 首次请求控制你的 Mac。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…",
                      shownID);
    content.style = AlertContent::Style::warning;
    content.buttons = {l10n.t("信任并连接"), l10n.t("拒绝")};
    return content;
}

Approval::Ticket Approval::request(std::string deviceName, std::string deviceID, Completion completion,
                                   Reason reason) {
    // Any thread: everything else happens on the main queue. The queue and the alert hold
    // this object weakly (it holds both); should it be gone before the prompt is answered,
    // the request is declined rather than left without an answer.
    Ticket ticket = nextTicket_.fetch_add(1);
    mainQueue_->post([weak = weak_from_this(), pending = Pending{std::move(deviceName), std::move(deviceID),
                                                                 std::move(completion), reason, ticket}]() mutable {
        if (auto self = weak.lock()) self->enqueue(std::move(pending));
        else pending.completion(false);
    });
    return ticket;
}

void Approval::withdraw(Ticket ticket) {
    // Posted like the request itself, so a withdrawal never overtakes its request.
    mainQueue_->post([weak = weak_from_this(), ticket] {
        if (auto self = weak.lock()) self->withdrawOnMain(ticket);
    });
}

// Main queue.
void Approval::withdrawOnMain(Ticket ticket) {
    if (showing_ && shownTicket_ == ticket) {
        alerts_->dismiss();  // its completion comes as a dismissal: false
        return;
    }
    auto it = std::find_if(waiting_.begin(), waiting_.end(), [ticket](const Pending& p) { return p.ticket == ticket; });
    if (it == waiting_.end()) return;
    Completion completion = std::move(it->completion);
    waiting_.erase(it);
    completion(false);
}

// Main queue.
void Approval::enqueue(Pending pending) {
    if (!TrustStore::canStore(pending.deviceID)) {
        // The trust list could not keep this ID (a "," would split it on reading), so
        // approving it would leave a phone that can never authenticate.
        pending.completion(false);
        return;
    }
    // One prompt per device: a second enrolment of the same ID (from another connection)
    // must not stack prompts the user might answer for the wrong one.
    bool asked = (showing_ && shownID_ == pending.deviceID) ||
                 std::any_of(waiting_.begin(), waiting_.end(),
                             [&](const Pending& p) { return p.deviceID == pending.deviceID; });
    if (asked) {
        pending.completion(false);
        return;
    }
    waiting_.push_back(std::move(pending));
    if (!showing_) presentNext();
}

// Main queue.
void Approval::presentNext() {
    if (waiting_.empty()) {
        showing_ = false;
        shownTicket_ = 0;
        shownID_.clear();
        return;
    }
    showing_ = true;
    Pending pending = std::move(waiting_.front());
    waiting_.pop_front();
    shownTicket_ = pending.ticket;
    shownID_ = pending.deviceID;
    auto content = alertFor(*l10n_, pending.deviceName, pending.deviceID, pending.reason);
    alerts_->present(std::move(content),
                     [weak = weak_from_this(), completion = std::move(pending.completion)](int response) {
                         completion(response == kAlertFirstButtonReturn);
                         if (auto self = weak.lock()) self->presentNext();
                     });
}

}  // namespace df
