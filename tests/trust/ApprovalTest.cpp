// The approval prompt with a scripted alert on a manual main queue, and with the headless
// terminal prompt reading real answer lines from a pipe on a real queue.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "platform/SerialQueue.h"
#include "platform/fake/alert/FakeAlertPresenter.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <future>

namespace df {
namespace {

class ApprovalTest : public ::testing::Test {
protected:
    fake::MemorySettingsStore store;  // no stored language choice
    AgentSettings settings{store};
    std::shared_ptr<L10n> l10n = std::make_shared<L10n>(store, std::vector<std::string>{"en"});
    std::shared_ptr<fake::ManualQueue> main = std::make_shared<fake::ManualQueue>("main");
    std::shared_ptr<fake::FakeAlertPresenter> alerts = std::make_shared<fake::FakeAlertPresenter>(main);
    std::shared_ptr<Approval> approval = Approval::create(main, alerts, l10n);
    std::vector<std::pair<std::string, bool>> answers;

    void ask(const std::string& name, const std::string& id) {
        approval->request(name, id, [this, name](bool trusted) {
            EXPECT_TRUE(main->isCurrent()) << "completion must run on the main queue";
            answers.emplace_back(name, trusted);
        });
    }
    void SetUp() override {
        main->setCurrentByDefault(false);
        settings.setLanguageObserver([this] { l10n->refresh(); });
    }
};

TEST_F(ApprovalTest, ShowsTheWarningWithTheApprovingButtonFirst) {
    ask("Anna’s iPhone", "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_TRUE(alerts->shown().empty()) << "request returns before anything is shown";
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 1u);
    const auto& alert = alerts->shown()[0];
    EXPECT_EQ(alert.messageText, "Allow “Anna’s iPhone” to connect?");
    EXPECT_EQ(alert.informativeText,
              "This iPhone is requesting to control your computer for the first time.\nClick “Trust” only if you "
              "initiated this and the device name is correct.\n\nDevice ID: 6F9619FF…");
    EXPECT_EQ(alert.style, AlertContent::Style::warning);
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Trust and Connect", "Decline"}));
}

TEST_F(ApprovalTest, OnlyTheFirstButtonTrusts) {
    alerts->script({kAlertFirstButtonReturn, kAlertFirstButtonReturn + 1, kAlertDismissed, 1002, -1});
    for (const char* name : {"trust", "decline", "dismissed", "third", "negative"}) ask(name, std::string("ID-") + name);
    main->runUntilIdle();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{
                           {"trust", true}, {"decline", false}, {"dismissed", false}, {"third", false}, {"negative", false}}));
}

TEST_F(ApprovalTest, RequestsAreAnsweredOneAfterTheOther) {
    ask("first", "ID-1");
    ask("second", "ID-2");
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 1u) << "the second prompt waits for the first";
    EXPECT_EQ(alerts->openCount(), 1u);

    ASSERT_TRUE(alerts->answer(kAlertFirstButtonReturn + 1));
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 2u);
    EXPECT_EQ(alerts->shown()[1].messageText, "Allow “second” to connect?");
    ASSERT_TRUE(alerts->answer(kAlertFirstButtonReturn));
    main->runUntilIdle();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"first", false}, {"second", true}}));
}

TEST_F(ApprovalTest, RequestsOutlivingTheApprovalAreDeclinedNotLost) {
    ask("first", "ID-1");
    ask("second", "ID-2");
    main->runUntilIdle();
    ask("third", "ID-3");  // still on its way to the main queue
    approval.reset();
    main->runUntilIdle();
    ASSERT_TRUE(alerts->answer(kAlertFirstButtonReturn));  // the open prompt still answers
    main->runUntilIdle();
    EXPECT_EQ(alerts->shown().size(), 1u);
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"third", false}, {"second", false}, {"first", true}}));
}

TEST_F(ApprovalTest, DeviceIdsAreShortenedToEightCharacters) {
    struct Case {
        std::string id;
        std::string shown;
    } cases[] = {{"ABCDEFGHIJ", "ABCDEFGH…"}, {"AB12", "AB12…"}, {"设备标识一二三四五六", "设备标识一二三四…"}};
    for (const auto& c : cases) {
        auto text = Approval::alertFor(*l10n, "n", c.id).informativeText;
        EXPECT_TRUE(text.ends_with("Device ID: " + c.shown)) << text;
    }
}

TEST_F(ApprovalTest, AKeyChangeIsSaidSo) {
    auto alert = Approval::alertFor(*l10n, "Phone", "6F9619FF-8B86", Approval::Reason::keyChanged);
    EXPECT_EQ(alert.messageText, "Allow “Phone” to connect?");
    EXPECT_EQ(alert.informativeText,
              "The key of this device has changed.\nClick “Trust” only if you reinstalled the app on it yourself; "
              "otherwise someone may be impersonating it.\n\nDevice ID: 6F9619FF…");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Trust and Connect", "Decline"}));
}

TEST_F(ApprovalTest, NamesAndIDsAreShownWithoutControlsOrDirectionOverrides) {
    auto alert = Approval::alertFor(*l10n, "A\x1b]0;owned\x07\u202eB" + std::string(200, 'c'), "\u2066\x1b[1mID");
    EXPECT_EQ(alert.messageText, "Allow “A]0;ownedB" + std::string(Approval::maxShownName - 10, 'c') + "…” to connect?");
    EXPECT_TRUE(alert.informativeText.ends_with("Device ID: [1mID…")) << alert.informativeText;
}

TEST_F(ApprovalTest, OnePromptPerDeviceAndWithdrawnRequestsAreNotAsked) {
    ask("first", "ID-1");
    ask("again", "ID-1");  // the same device while its prompt is open
    ask("second", "ID-2");
    ask("other", "ID-2");  // the same device while its request waits
    ask("third", "ID-3");
    main->runUntilIdle();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"again", false}, {"other", false}}));
    EXPECT_EQ(alerts->shown().size(), 1u);

    // The second's asker has gone: dropped unshown. The first's too: its prompt is dismissed.
    auto second = approval->request("gone", "ID-4", [this](bool trusted) { answers.emplace_back("gone", trusted); });
    approval->withdraw(second);
    approval->withdraw(12345);  // unknown: nothing
    main->runUntilIdle();
    EXPECT_EQ(answers.back(), (std::pair<std::string, bool>{"gone", false}));
    EXPECT_EQ(alerts->shown().size(), 1u);
    answers.clear();

    auto open = approval->request("late", "ID-5", [this](bool trusted) { answers.emplace_back("late", trusted); });
    main->runUntilIdle();
    ASSERT_TRUE(alerts->answer(kAlertFirstButtonReturn));  // "first" answered
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 2u);  // "second" shown now
    EXPECT_EQ(alerts->shown().back().messageText, "Allow “second” to connect?");
    alerts->answer(kAlertFirstButtonReturn + 1);
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 3u);  // "third"
    alerts->answer(kAlertFirstButtonReturn + 1);
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 4u);  // "late", shown
    approval->withdraw(open);
    main->runUntilIdle();
    EXPECT_EQ(alerts->dismissCount(), 1);
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{
                           {"first", true}, {"second", false}, {"third", false}, {"late", false}}));
    // Once answered, the same device may be asked again.
    ask("first again", "ID-1");
    main->runUntilIdle();
    EXPECT_EQ(alerts->shown().size(), 5u);
}

TEST_F(ApprovalTest, AnIdTheTrustListCannotKeepIsDeclinedWithoutAsking) {
    ask("comma", "A,B");
    ask("empty", "");
    main->runUntilIdle();
    EXPECT_TRUE(alerts->shown().empty());
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"comma", false}, {"empty", false}}));
}

TEST_F(ApprovalTest, TextsFollowTheChosenLanguage) {
    settings.setLanguageOverride("de");
    ask("iPad", "ID");
    main->runUntilIdle();
    ASSERT_EQ(alerts->shown().size(), 1u);
    EXPECT_EQ(alerts->shown()[0].messageText, "„iPad“ die Verbindung erlauben?");
    EXPECT_EQ(alerts->shown()[0].buttons, (std::vector<std::string>{"Vertrauen und verbinden", "Ablehnen"}));
}

// --- the headless terminal prompt ----------------------------------------------------------

class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
    ~Pipe() {
        closeWrite();
        closeRead();
    }
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void write(std::string_view text) { ASSERT_EQ(::write(fds_[1], text.data(), text.size()), ssize_t(text.size())); }
    void closeWrite() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }
    void closeRead() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }
    std::string drain() {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        return out;
    }

private:
    int fds_[2] = {-1, -1};
};

// Presents one alert on a real main queue and waits for its response.
int presentAndWait(TerminalAlertPresenter& presenter, const std::shared_ptr<SerialQueue>& queue,
                   AlertContent content) {
    std::promise<int> response;
    queue->post([&] {
        presenter.present(std::move(content), [&response, queue](int r) {
            EXPECT_TRUE(queue->isCurrent());
            response.set_value(r);
        });
    });
    auto future = response.get_future();
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return -999;
    return future.get();
}

TEST(TerminalAlertTest, ReadsOneAnswerLine) {
    auto queue = SerialQueue::create("main");
    struct Case {
        std::string input;
        int response;
    } cases[] = {
        {"y\n", kAlertFirstButtonReturn},       {"YES\n", kAlertFirstButtonReturn},
        {" Yes \r\n", kAlertFirstButtonReturn}, {"yes", kAlertFirstButtonReturn},  // last line, no line feed
        {"n\n", kAlertFirstButtonReturn + 1},   {"\n", kAlertFirstButtonReturn + 1},
        {"yess\n", kAlertFirstButtonReturn + 1}, {"ja\n", kAlertFirstButtonReturn + 1},
        {"", kAlertDismissed},  // end of input
    };
    for (const auto& c : cases) {
        Pipe input, output;
        TerminalAlertPresenter presenter(queue, input.readEnd(), output.writeEnd());
        input.write(c.input);
        input.closeWrite();
        EXPECT_EQ(presentAndWait(presenter, queue, {"Allow?", "Details", AlertContent::Style::warning, {"Trust", "No"}}),
                  c.response)
            << c.input;
    }
    queue->stop();
}

TEST(TerminalAlertTest, ShowsTheQuestionAndLeavesLaterLinesForLaterAlerts) {
    auto queue = SerialQueue::create("main");
    Pipe input, output;
    {
        TerminalAlertPresenter presenter(queue, input.readEnd(), output.writeEnd());
        input.write("no\nyes\n");
        EXPECT_EQ(presentAndWait(presenter, queue, {"First?", "Line one\nLine two", {}, {"Trust and Connect", "Decline"}}),
                  kAlertFirstButtonReturn + 1);
        EXPECT_EQ(presentAndWait(presenter, queue, {"Second?", "More", {}, {"Trust and Connect", "Decline"}}),
                  kAlertFirstButtonReturn);
    }
    output.closeWrite();
    auto shown = output.drain();
    EXPECT_NE(shown.find("First?\n\nLine one\nLine two\n\nTrust and Connect [y] / Decline [N]: "), std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Second?"), std::string::npos);
    queue->stop();
}

TEST(TerminalAlertTest, OnATerminalOnlyWhatIsTypedAfterTheQuestionAnswersIt) {
    auto queue = SerialQueue::create("main");
    const int keyboard = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(keyboard, 0);
    ASSERT_EQ(::grantpt(keyboard), 0);
    ASSERT_EQ(::unlockpt(keyboard), 0);
    const int terminal = ::open(::ptsname(keyboard), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    auto type = [&](std::string_view text) {
        ASSERT_EQ(::write(keyboard, text.data(), text.size()), ssize_t(text.size()));
    };
    // A "y" typed before any question, there to be read.
    type("y\n");
    pollfd typed{terminal, POLLIN, 0};
    ASSERT_EQ(::poll(&typed, 1, 5000), 1);
    {
        TerminalAlertPresenter presenter(queue, terminal, terminal);
        std::promise<int> response;
        queue->post([&] { presenter.present({"Q", "", {}, {"Trust", "Decline"}}, [&](int r) { response.set_value(r); }); });
        // Once the question is on the screen, the person declines.
        std::string screen;
        char buffer[256];
        while (screen.find("[N]: ") == std::string::npos) {
            pollfd shown{keyboard, POLLIN, 0};
            ASSERT_EQ(::poll(&shown, 1, 5000), 1) << screen;
            const ssize_t n = ::read(keyboard, buffer, sizeof buffer);
            ASSERT_GT(n, 0);
            screen.append(buffer, static_cast<size_t>(n));
        }
        type("n\n");
        auto future = response.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(future.get(), kAlertFirstButtonReturn + 1);
    }
    ::close(terminal);
    ::close(keyboard);
    queue->stop();
}

TEST(TerminalAlertTest, AClosedTerminalOutputDoesNotEndTheProcess) {
    auto queue = SerialQueue::create("main");
    Pipe input, output;
    output.closeRead();  // writing the question now raises SIGPIPE unless it is handled
    TerminalAlertPresenter presenter(queue, input.readEnd(), output.writeEnd());
    input.write("y\n");
    EXPECT_EQ(presentAndWait(presenter, queue, {"Q", "", {}, {"Y", "N"}}), kAlertFirstButtonReturn);
    queue->stop();
}

TEST(TerminalAlertTest, DestroyingThePresenterDismissesAnOpenAlert) {
    auto queue = SerialQueue::create("main");
    Pipe input, output;
    std::promise<int> response;
    auto presenter = std::make_unique<TerminalAlertPresenter>(queue, input.readEnd(), output.writeEnd());
    queue->sync([&] { presenter->present({"Q", "", {}, {"Y", "N"}}, [&](int r) { response.set_value(r); }); });
    presenter.reset();  // no answer was typed
    auto future = response.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), kAlertDismissed);
    queue->stop();
}

TEST(TerminalAlertTest, DismissEndsTheOpenAlertOnlyAndALateOneIsIgnored) {
    auto queue = SerialQueue::create("main");
    Pipe input, output;
    TerminalAlertPresenter presenter(queue, input.readEnd(), output.writeEnd());
    std::promise<int> first;
    queue->sync([&] {
        presenter.present({"Q1", "", {}, {"Y", "N"}}, [&](int r) { first.set_value(r); });
        presenter.dismiss();
    });
    auto future = first.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), kAlertDismissed);
    // A dismissal with nothing open must not end the next alert: it reads its answer.
    queue->sync([&] { presenter.dismiss(); });
    input.write("y\n");
    EXPECT_EQ(presentAndWait(presenter, queue, {"Q2", "", {}, {"Y", "N"}}), kAlertFirstButtonReturn);
    queue->stop();
}

TEST(TerminalAlertTest, TextsReachTheTerminalWithoutControlsOrDirectionOverrides) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain “text” 设备\nnext line", "plain “text” 设备\nnext line"},
        {"\x1b]0;title\x07\x1b[2J\r\t\x7f", "]0;title[2J"},
        {"a\u0085b\u009bc", "abc"},
        {"x\u202ey\u2066z\u2069\u200e\u200f\u061cw", "xyzw"},
        {std::string("\xe2\x80", 2), std::string("\xe2\x80", 2)},  // a cut sequence is left to the terminal
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(TerminalAlertPresenter::terminalSafe(in), out) << in;
}

TEST(TerminalAlertTest, HeadlessApprovalAnswersRequestsInOrder) {
    auto queue = SerialQueue::create("main");
    Pipe input, output;
    auto presenter = std::make_shared<TerminalAlertPresenter>(queue, input.readEnd(), output.writeEnd());
    auto approval = Approval::create(queue, presenter, std::make_shared<L10n>(std::vector<std::string>{"en"}));
    input.write("n\ny\n");
    std::promise<std::vector<bool>> done;
    auto results = std::make_shared<std::vector<bool>>();
    for (const char* id : {"PHONE-1", "PHONE-2", "PHONE-3"}) {
        approval->request("iPhone", id, [&done, results](bool trusted) {
            results->push_back(trusted);
            if (results->size() == 3) done.set_value(*results);
        });
    }
    input.closeWrite();  // the third prompt meets the end of input
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), (std::vector<bool>{false, true, false}));
    queue->sync([&] { approval.reset(); });
    presenter.reset();
    queue->stop();
}

}  // namespace
}  // namespace df
