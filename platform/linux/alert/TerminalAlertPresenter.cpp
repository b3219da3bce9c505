#include "platform/linux/alert/TerminalAlertPresenter.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace df {

namespace {
constexpr size_t kMaxLine = 1024;

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // no terminal to write to: the answer is still read
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string_view trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}
}  // namespace

TerminalAlertPresenter::TerminalAlertPresenter(std::shared_ptr<DispatchQueue> mainQueue, int inputFd,
                                               int outputFd)
    : mainQueue_(std::move(mainQueue)), inputFd_(inputFd), outputFd_(outputFd) {
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

TerminalAlertPresenter::~TerminalAlertPresenter() {
    stopping_ = true;
    if (wakeFds_[1] >= 0) writeAll(wakeFds_[1], "x");
    if (reader_.joinable()) reader_.join();
    for (int fd : wakeFds_) {
        if (fd >= 0) ::close(fd);
    }
}

int TerminalAlertPresenter::responseForLine(std::string_view line) {
    auto answer = trimmed(line);
    auto equalsIgnoringCase = [answer](std::string_view word) {
        if (answer.size() != word.size()) return false;
        for (size_t i = 0; i < word.size(); ++i) {
            char c = answer[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != word[i]) return false;
        }
        return true;
    };
    return equalsIgnoringCase("y") || equalsIgnoringCase("yes") ? kAlertFirstButtonReturn
                                                                : kAlertFirstButtonReturn + 1;
}

std::string TerminalAlertPresenter::terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = b[i];
        if (c < 0x20 || c == 0x7F) {
            if (c == '\n') out.push_back('\n');
            ++i;
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // C1 controls (U+0080..U+009F), the Arabic letter mark U+061C, the marks U+200E/F,
        // embeddings and overrides U+202A..U+202E, isolates U+2066..U+2069.
        if (c == 0xC2 && i + 1 < n && b[i + 1] >= 0x80 && b[i + 1] <= 0x9F) {
            i += 2;
            continue;
        }
        if (c == 0xD8 && i + 1 < n && b[i + 1] == 0x9C) {
            i += 2;
            continue;
        }
        if (c == 0xE2 && i + 2 < n) {
            unsigned char c1 = b[i + 1];
            unsigned char c2 = b[i + 2];
            if ((c1 == 0x80 && (c2 == 0x8E || c2 == 0x8F || (c2 >= 0xAA && c2 <= 0xAE))) ||
                (c1 == 0x81 && c2 >= 0xA6 && c2 <= 0xA9)) {
                i += 3;
                continue;
            }
        }
        out.push_back(static_cast<char>(c));
        ++i;
    }
    return out;
}

void TerminalAlertPresenter::present(AlertContent content, Completion completion) {
    // The previous reader has posted its answer and is finishing; wait for it so only one
    // thread ever reads the input.
    if (reader_.joinable()) reader_.join();
    uint64_t serial = alertSerial_.fetch_add(1) + 1;
    reader_ = std::thread(&TerminalAlertPresenter::readAnswer, this, std::move(content), std::move(completion), serial);
}

void TerminalAlertPresenter::dismiss() {
    // Main queue: the alert open now is the newest one presented.
    dismissedUpTo_ = alertSerial_.load();
    if (wakeFds_[1] >= 0) writeAll(wakeFds_[1], "d");
}

// Reader thread.
void TerminalAlertPresenter::readAnswer(AlertContent content, Completion completion, uint64_t serial) {
    // A terminal that went away must not end the agent: with SIGPIPE blocked on this
    // thread a write to a closed output fails with EPIPE instead (the signal stays pending
    // on this thread and is discarded when it ends).
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::string prompt = "\n" + content.messageText + "\n\n" + content.informativeText + "\n\n";
    if (!content.buttons.empty()) {
        prompt += content.buttons[0] + " [y]";
        if (content.buttons.size() > 1) prompt += " / " + content.buttons[1] + " [N]";
        prompt += ": ";
    }
    // On a terminal, only what is typed once the question is shown answers it: a "y" typed
    // earlier (a key pressed twice for the last question, say) must not trust a phone nobody
    // has seen asking. Input from a pipe or file is a script's answers, given ahead on purpose.
    if (inputFd_ >= 0 && ::isatty(inputFd_)) ::tcflush(inputFd_, TCIFLUSH);
    writeAll(outputFd_, terminalSafe(prompt));

    int response = kAlertDismissed;
    std::string line;
    bool lineDone = false;
    bool endOfInput = inputFd_ < 0;
    while (!lineDone && !endOfInput) {
        pollfd fds[2] = {{inputFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        int ready = ::poll(fds, wakeFds_[0] >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (fds[1].revents & POLLIN) {
            if (stopping_) break;  // shutting down: dismissed (the byte stays for nobody)
            char wake = 0;
            if (::read(wakeFds_[0], &wake, 1) < 0 && errno == EINTR) continue;
            if (dismissedUpTo_.load() >= serial) break;  // withdrawn: dismissed
            continue;  // a late dismissal of an earlier alert
        }
        // One byte at a time so the line after this one stays for the next alert.
        char c = 0;
        ssize_t n = ::read(inputFd_, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            endOfInput = true;
            break;
        }
        if (c == '\n') {
            response = responseForLine(line);
            lineDone = true;
        } else if (line.size() < kMaxLine) {
            line.push_back(c);
        }
    }
    if (!lineDone) {
        // A last line without its line feed still answers; nothing at all dismisses.
        if (endOfInput && !line.empty()) response = responseForLine(line);
        writeAll(outputFd_, "\n");
    }
    mainQueue_->post([completion = std::move(completion), response] { completion(response); });
}

}  // namespace df
