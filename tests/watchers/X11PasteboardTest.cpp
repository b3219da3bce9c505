// The X11 clipboard against xclip, an independent client, on a private Xvfb: copies of other
// clients are seen (news, a growing change count, the text, in pieces when large), and the
// agent's texts are pasted by them (UTF-8 and Latin-1, large ones in pieces) for as long as
// no other client takes the clipboard.

#include "platform/linux/clipboard/X11Pasteboard.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;
using testsupport::Background;
using testsupport::runOutput;

/// A text of `bytes` UTF-8 bytes mixing ASCII, Latin-1 and CJK characters (whole characters).
std::string mixedText(size_t bytes) {
    const std::string pieces[] = {"line of text ", "é", "中文", "\n"};
    std::string out;
    for (size_t i = 0; out.size() < bytes; ++i) {
        const auto& p = pieces[i % 4];
        if (out.size() + p.size() > bytes) break;
        out += p;
    }
    while (out.size() < bytes) out += 'x';
    return out;
}

class X11PasteboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        DF_REQUIRE_TOOL("Xvfb");
        DF_REQUIRE_TOOL("xclip");
        xvfb = std::make_unique<testsupport::Xvfb>(testsupport::Size{640, 480});
        ASSERT_FALSE(xvfb->name().empty());
        pasteboard = createX11Pasteboard(xvfb->name());
        ASSERT_TRUE(pasteboard);
        observation = pasteboard->observeChanges([this] { ++news; });
    }
    std::string xclip(const std::string& arguments) { return "DISPLAY=" + xvfb->name() + " xclip " + arguments; }
    /// xclip owns the clipboard with the contents of `file` until it is stopped.
    std::unique_ptr<Background> xclipCopies(const std::string& text) {
        const auto file = dir / ("copy" + std::to_string(copies++));
        std::ofstream(file, std::ios::binary) << text;
        return std::make_unique<Background>(
            std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard"},
            std::vector<std::string>{"DISPLAY=" + xvfb->name()}, file.string(), true);
    }
    bool waitForNews(int atLeast) {
        for (int i = 0; i < 500 && news < atLeast; ++i) std::this_thread::sleep_for(10ms);
        return news >= atLeast;
    }

    testsupport::TempDir dir;
    int copies = 0;
    std::unique_ptr<testsupport::Xvfb> xvfb;
    std::shared_ptr<Pasteboard> pasteboard;
    std::atomic<int> news{0};
    std::unique_ptr<Observation> observation;
};

TEST_F(X11PasteboardTest, CopiesOfOtherClientsAreSeenSmallAndLarge) {
    const auto start = pasteboard->changeCount();
    int expected = 0;
    std::vector<std::unique_ptr<Background>> owners;  // each leaves when the next one copies
    // xclip sends texts above its request size (about 1 MiB here) in pieces.
    for (const std::string& text : {std::string("hello from xclip"), mixedText(200 * 1024), mixedText(1536 * 1024)}) {
        owners.push_back(xclipCopies(text));
        ASSERT_TRUE(waitForNews(++expected));
        EXPECT_GT(pasteboard->changeCount(), start);
        const auto read = pasteboard->plainText();
        ASSERT_TRUE(read) << text.size() << " bytes";
        EXPECT_EQ(read->size(), text.size());
        EXPECT_TRUE(*read == text) << text.size() << " bytes";
    }
}

TEST_F(X11PasteboardTest, AgentTextIsPastedByOtherClientsUntilOneOfThemCopies) {
    struct Case {
        std::string text;
        std::string target;
        std::string expected;
    };
    const std::string large = mixedText(200 * 1024);
    const std::vector<Case> cases{{"plain ascii", "UTF8_STRING", "plain ascii"},
                                  {"Grüße, 世界 ✓", "UTF8_STRING", "Grüße, 世界 ✓"},
                                  {"Grüße, 世界", "STRING", "Gr\xFC\xDF" "e, ??"},
                                  {large, "UTF8_STRING", large},
                                  {large, "TEXT", large}};
    for (const auto& c : cases) {
        const auto before = pasteboard->changeCount();
        pasteboard->clearContents();
        ASSERT_TRUE(pasteboard->setPlainText(c.text));
        EXPECT_GT(pasteboard->changeCount(), before);
        EXPECT_EQ(runOutput(xclip("-o -selection clipboard -t " + c.target)), c.expected) << c.target;
    }
    const auto targets = runOutput(xclip("-o -selection clipboard -t TARGETS"));
    ASSERT_TRUE(targets);
    for (const char* t : {"TARGETS", "UTF8_STRING", "STRING", "TEXT"}) EXPECT_NE(targets->find(t), std::string::npos) << t;
    EXPECT_EQ(news, 0) << "the agent's own writes are no news";

    // Another client copies: the agent's text is gone and that client's is read.
    auto owner = xclipCopies("taken over");
    ASSERT_TRUE(waitForNews(1));
    EXPECT_EQ(pasteboard->plainText(), "taken over");
}

}  // namespace
}  // namespace df
