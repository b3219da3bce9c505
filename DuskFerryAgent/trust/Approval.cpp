#include "DuskFerryAgent/trust/Approval.h"

#include "DuskFerryAgent/shell/Utf8.h"
#include "DuskFerryAgent/trust/TrustStore.h"

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

AlertContent Approval::alertFor(const L10n& l10n, std::string_view deviceName, std::string_view deviceID) {
    AlertContent content;
    content.messageText = l10n.tf("允许「%@」连接吗？", deviceName);
    // The text already ends with the ellipsis; a shorter ID is shown whole.
    content.informativeText =
        l10n.tf("这台 iPhone 首次请求控制你的 Mac。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…",
                 Utf8::prefix(deviceID, 8));
    content.style = AlertContent::Style::warning;
    content.buttons = {l10n.t("信任并连接"), l10n.t("拒绝")};
    return content;
}

void Approval::request(std::string deviceName, std::string deviceID, Completion completion) {
    // Any thread: everything else happens on the main queue. The queue and the alert hold
    // this object weakly (it holds both); should it be gone before the prompt is answered,
    // the request is declined rather than left without an answer.
    mainQueue_->post([weak = weak_from_this(),
                      pending = Pending{std::move(deviceName), std::move(deviceID), std::move(completion)}]() mutable {
        if (auto self = weak.lock()) self->enqueue(std::move(pending));
        else pending.completion(false);
    });
}

// Main queue.
void Approval::enqueue(Pending pending) {
    if (!TrustStore::canStore(pending.deviceID)) {
        // The trust list could not keep this ID (a "," would split it on reading), so
        // approving it would leave a phone that can never authenticate.
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
        return;
    }
    showing_ = true;
    Pending pending = std::move(waiting_.front());
    waiting_.pop_front();
    auto content = alertFor(*l10n_, pending.deviceName, pending.deviceID);
    alerts_->present(std::move(content),
                     [weak = weak_from_this(), completion = std::move(pending.completion)](int response) {
                         completion(response == kAlertFirstButtonReturn);
                         if (auto self = weak.lock()) self->presentNext();
                     });
}

}  // namespace df
