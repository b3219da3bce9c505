#pragma once
// A scriptable alert for unit tests: records every alert shown and answers them when the
// test says so (answer()), or at once from a script of responses. Answers are posted to
// the queue given at construction, as the real alerts post them to the main queue.

#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <deque>
#include <memory>

namespace df::fake {

class FakeAlertPresenter final : public AlertPresenter {
public:
    explicit FakeAlertPresenter(std::shared_ptr<DispatchQueue> queue);

    void present(AlertContent content, Completion completion) override;
    /// Answers the oldest open alert with kAlertDismissed.
    void dismiss() override;

    /// Responses given, in order, to the next alerts as soon as they are shown.
    void script(std::deque<int> responses);
    /// Answers the oldest open alert; false when none is open.
    bool answer(int response);

    const std::vector<AlertContent>& shown() const { return shown_; }
    size_t openCount() const { return open_.size(); }
    int dismissCount() const { return dismissed_; }

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::vector<AlertContent> shown_;
    std::deque<Completion> open_;
    std::deque<int> script_;
    int dismissed_ = 0;
};

}  // namespace df::fake
