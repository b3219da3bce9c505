#pragma once
// The alert of the headless agent: the question is written to the terminal and one answer
// line is read from standard input. "y" or "yes" (any case) chooses the first button;
// any other line chooses the second; end of input or a closed input dismisses the alert.
//
// present() runs on the main queue; the line is read on a reader thread of this object so
// the main queue keeps running, and the answer is posted back to the main queue. One alert
// at a time (the caller serialises them); the reader consumes exactly one line per alert.
// dismiss() ends the open alert without reading an answer. The texts are written without
// control characters (line feeds excepted) and without bidirectional overrides: parts of
// them come from the phone and must not drive the terminal.

#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace df {

class TerminalAlertPresenter final : public AlertPresenter {
public:
    TerminalAlertPresenter(std::shared_ptr<DispatchQueue> mainQueue, int inputFd = 0, int outputFd = 1);
    /// An open alert is dismissed (its completion is posted with kAlertDismissed).
    ~TerminalAlertPresenter() override;

    TerminalAlertPresenter(const TerminalAlertPresenter&) = delete;
    TerminalAlertPresenter& operator=(const TerminalAlertPresenter&) = delete;

    void present(AlertContent content, Completion completion) override;
    void dismiss() override;

    /// The response for one answer line (without its line feed).
    static int responseForLine(std::string_view line);
    /// `text` as it may be written to a terminal: UTF-8 kept, line feeds kept; other C0 and
    /// C1 controls, DEL, bidirectional embeddings, overrides, isolates and marks removed.
    static std::string terminalSafe(std::string_view text);

private:
    void readAnswer(AlertContent content, Completion completion, uint64_t serial);

    std::shared_ptr<DispatchQueue> mainQueue_;
    int inputFd_;
    int outputFd_;
    int wakeFds_[2] = {-1, -1};  // written by the destructor to stop a waiting reader
    std::thread reader_;         // joined on the main queue before the next alert
    // Which alert the reader is answering, and up to which one dismiss() asked to end; a
    // wake byte of a dismissal that came too late is recognised and ignored.
    std::atomic<uint64_t> alertSerial_{0};
    std::atomic<uint64_t> dismissedUpTo_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace df
