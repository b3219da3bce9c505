#pragma once
// A modal question to the person at the computer (the approval prompt). Linux: a
// terminal prompt for the headless agent (platform/linux/alert), a desktop dialog with the
// application shell; tests: fake::FakeAlertPresenter.
//
// Threading: present() is called on the main queue; the implementation calls the
// completion exactly once, on the main queue, and never from inside present() itself.

#include <functional>
#include <string>
#include <vector>

namespace df {

struct AlertContent {
    enum class Style { informational, warning, critical };

    std::string messageText;
    std::string informativeText;  ///< "\n" are line breaks
    Style style = Style::warning;
    /// Button titles in order; the first is the default (answers to Return).
    std::vector<std::string> buttons;
};

/// The response of the first button; the n-th button answers firstButtonReturn + n - 1.
inline constexpr int kAlertFirstButtonReturn = 1000;
/// The alert was closed without choosing a button (input closed, window closed...).
inline constexpr int kAlertDismissed = 0;

class AlertPresenter {
public:
    using Completion = std::function<void(int response)>;
    virtual ~AlertPresenter() = default;

    /// Brings the agent to the front (ignoring other applications) and shows `content`
    /// until it is answered; there is no time-out. Called on the main queue.
    virtual void present(AlertContent content, Completion completion) = 0;
    /// Withdraws the alert shown now, if any: it ends as if closed without a button
    /// (kAlertDismissed). Called on the main queue; nothing happens when none is open.
    virtual void dismiss() = 0;
};

}  // namespace df
