#include "platform/fake/alert/FakeAlertPresenter.h"

namespace df::fake {

FakeAlertPresenter::FakeAlertPresenter(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

void FakeAlertPresenter::present(AlertContent content, Completion completion) {
    shown_.push_back(std::move(content));
    open_.push_back(std::move(completion));
    if (!script_.empty()) {
        int response = script_.front();
        script_.pop_front();
        answer(response);
    }
}

void FakeAlertPresenter::dismiss() {
    if (answer(kAlertDismissed)) ++dismissed_;
}

void FakeAlertPresenter::script(std::deque<int> responses) {
    script_ = std::move(responses);
}

bool FakeAlertPresenter::answer(int response) {
    if (open_.empty()) return false;
    auto completion = std::move(open_.front());
    open_.pop_front();
    queue_->post([completion = std::move(completion), response] { completion(response); });
    return true;
}

}  // namespace df::fake
