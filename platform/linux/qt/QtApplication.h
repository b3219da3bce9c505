#pragma once
// The desktop shell's application object: the QApplication on the process's main thread,
// with "the main queue" on its GUI thread and the approval dialog. Made by the agent's main
// when it runs on a desktop; exec() runs the event loop until quit(). quitSoon() may be
// called from any thread (the ending signals' thread).

#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <memory>

namespace df {

class QtApplication {
public:
    /// `argc`/`argv` must outlive the object (Qt keeps them).
    QtApplication(int& argc, char** argv);
    ~QtApplication();
    QtApplication(const QtApplication&) = delete;
    QtApplication& operator=(const QtApplication&) = delete;

    std::shared_ptr<DispatchQueue> mainQueue() const { return mainQueue_; }
    std::shared_ptr<AlertPresenter> alerts() const { return alerts_; }

    int exec();
    /// Ends exec() soon; any thread.
    void quitSoon();

private:
    struct App;
    std::unique_ptr<App> app_;
    std::shared_ptr<DispatchQueue> mainQueue_;
    std::shared_ptr<AlertPresenter> alerts_;
};

}  // namespace df
