// The client's pure pieces: script lines, the command line, and the identity store on a
// temporary $XDG_DATA_HOME.

#include "protocol/DeviceAuth.h"
#include "tools/phone/CommandLine.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/Script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace df::phone {
namespace {

namespace fs = std::filesystem;

TEST(ScriptTest, StepsCarryDelaysMessagesAndFiles) {
    std::istringstream in(R"(# a comment
{"delay":0.5,"pointer":{"_0":{"kind":"leftClick","dx":0,"dy":0,"absX":0.25,"absY":0.75,"ts":3.5}}}

{"delay":2}
{"sendFile":"/tmp/a b.txt"}
{"heartbeat":{}}
{"gesture":{"_0":"spaceLeft"},"delay":0}
)");
    auto steps = parseScript(in);
    ASSERT_TRUE(steps) << steps.error();
    ASSERT_EQ(steps->size(), 5u);
    const auto& s = *steps;
    EXPECT_EQ(s[0].line, 2);
    EXPECT_DOUBLE_EQ(s[0].delay, 0.5);
    ASSERT_TRUE(s[0].message);
    const auto* p = s[0].message->get<PointerEvent>();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, PointerEvent::Kind::leftClick);
    EXPECT_EQ(p->absY, 0.75);
    EXPECT_EQ(p->ts, 3.5);
    EXPECT_DOUBLE_EQ(s[1].delay, 2);
    EXPECT_FALSE(s[1].message);
    EXPECT_FALSE(s[1].sendFile);
    EXPECT_EQ(s[2].sendFile, "/tmp/a b.txt");
    EXPECT_TRUE(s[3].message && s[3].message->is<Heartbeat>());
    EXPECT_TRUE(s[4].message && s[4].message->is<SystemGesture>());
}

TEST(ScriptTest, BadLinesAreRefusedWithTheirLineNumber) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "not valid JSON"},
        {"[1,2]", "JSON object"},
        {R"({"delay":-1})", "not negative"},
        {R"({"delay":"soon"})", "number of seconds"},
        {R"({"sendFile":""})", "name a file"},
        {R"({"sendFile":"/x","heartbeat":{}})", "not both"},
        {R"({"delay":1,"bogus":{}})", "not a control message"},
        {R"({"heartbeat":{},"requestKeyframe":{}})", "not a control message"},
        {R"({"pointer":{"_0":{"kind":"hover","dx":0,"dy":0}}})", "not a control message"},
    };
    for (const auto& [line, why] : cases) {
        std::istringstream in("{\"heartbeat\":{}}\n" + line + "\n");
        auto steps = parseScript(in);
        ASSERT_FALSE(steps) << line;
        EXPECT_NE(steps.error().find("line 2"), std::string::npos) << steps.error();
        EXPECT_NE(steps.error().find(why), std::string::npos) << line << " -> " << steps.error();
    }
}

Result<CommandLine> parse(std::vector<std::string> args) {
    args.insert(args.begin(), {"--code", "123456"});
    return parseCommandLine(args);
}

TEST(CommandLineTest, MessagesComeOutInOrderWithEveryField) {
    auto cl = parse({"--host", "::1", "--port", "6000", "--duration", "2.5", "--media", "tcp",
                     "--pointer", "kind=doubleClick,absX=0.1,absY=0.9,ts=7",
                     "--pointer", "dx=3,dy=-4",
                     "--scroll", "dx=0,dy=-40,phase=ended,vx=1.5,vy=-300",
                     "--key", "keyCode=0,modifiers=9",
                     "--text", "hé", "--text-modifiers", "8",
                     "--gesture", "showDesktop",
                     "--quality", "maxFPS=30,bitrateMbps=8.5,maxLongEdge=1280,adaptive=false,audioCodecs=aac-lc:opus,chroma444=true",
                     "--request-keyframe", "--audio", "off", "--virtual-display", "on",
                     "--select-display", "4294967295", "--clipboard", "copied",
                     "--client-stats", "decodeFPS=58,flushes=2,rttMs=12",
                     "--send", R"({"heartbeat":{}})"});
    ASSERT_TRUE(cl) << cl.error();
    EXPECT_EQ(cl->host, "::1");
    EXPECT_EQ(cl->port, 6000);
    EXPECT_EQ(cl->phone.media, MediaMode::tcp);
    const auto& m = cl->phone.messages;
    ASSERT_EQ(m.size(), 15u);
    EXPECT_EQ(*m[0].get<PointerEvent>(), PointerEvent(PointerEvent::Kind::doubleClick, 0, 0, 0.1, 0.9, 7.0));
    EXPECT_EQ(*m[1].get<PointerEvent>(), PointerEvent(PointerEvent::Kind::move, 3, -4));
    EXPECT_EQ(*m[2].get<ScrollEvent>(), ScrollEvent(0, -40, ScrollEvent::Phase::ended, 1.5, -300));
    EXPECT_EQ(*m[3].get<KeyEvent>(), KeyEvent(0, true, KeyModifiers(9)));
    EXPECT_EQ(*m[4].get<KeyEvent>(), KeyEvent(0, false, KeyModifiers(9)));
    EXPECT_EQ(*m[5].get<TextInput>(), TextInput("hé", KeyModifiers::shift));
    EXPECT_EQ(*m[6].get<SystemGesture>(), SystemGesture::showDesktop);
    EXPECT_EQ(*m[7].get<QualityRequest>(),
              QualityRequest(30, 8.5, 1280, false, std::vector<std::string>{"aac-lc", "opus"}, true));
    EXPECT_TRUE(m[8].is<RequestKeyframe>());
    EXPECT_EQ(*m[9].get<AudioControl>(), AudioControl(false));
    EXPECT_EQ(*m[10].get<VirtualDisplayRequest>(), VirtualDisplayRequest(true));
    EXPECT_EQ(m[11].get<SelectDisplay>()->displayID, 4294967295u);
    EXPECT_EQ(m[12].get<ClipboardSync>()->text, "copied");
    EXPECT_EQ(*m[13].get<ClientStats>(), ClientStats(58, 2, 12));
    EXPECT_TRUE(m[14].is<Heartbeat>());
    ASSERT_TRUE(cl->phone.quality) << "hello carries the standard request by default";
    EXPECT_EQ(cl->phone.quality->maxFPS, 60);
}

TEST(CommandLineTest, MistakesAreReportedBeforeConnecting) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--pointer", "kind=hover"},
        {"--pointer", "absX=0.5"},
        {"--pointer", "dx=left"},
        {"--scroll", "phase=later"},
        {"--key", "down=true"},
        {"--key", "keyCode=1,modifiers=256"},
        {"--gesture", "wave"},
        {"--quality", "fps=30"},
        {"--quality", "bitrateMbps=0"},
        {"--audio", "maybe"},
        {"--send", R"({"heartbeat":{},"pairRequired":{}})"},
        {"--media", "udp"},
        {"--duration", "-1"},
        {"--snapshot", "x.png", "--no-decode"},
        {"--view", "--no-decode"},
        {"--frobnicate"},
        {"--host"},
    };
    for (const auto& args : cases) EXPECT_FALSE(parse(args)) << testing::PrintToString(args);
    ::unsetenv("DUSKFERRY_CODE");
    auto noCode = parseCommandLine({"--host", "127.0.0.1"});
    ASSERT_FALSE(noCode);
    EXPECT_NE(noCode.error().find("pairing code"), std::string::npos);
    EXPECT_TRUE(parseCommandLine({"--discover"})) << "discovery needs no code";
}

class IdentityStoreTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("phone-identity-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(IdentityStoreTest, IdentityPersistsAndLivesApartFromTheAgent) {
    ::setenv("XDG_DATA_HOME", dir_.c_str(), 1);
    EXPECT_EQ(IdentityStore::defaultDirectory(), dir_ / "duskferry-phone");
    EXPECT_NE(IdentityStore::defaultDirectory().filename(), "DuskFerry");

    IdentityStore store(IdentityStore::defaultDirectory());
    auto first = store.loadOrCreate(std::nullopt);
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->privateKey.size(), 32u);
    EXPECT_EQ(first->publicKey.size(), 64u);
    EXPECT_EQ(first->deviceID.size(), 36u);
    struct stat st{};
    ASSERT_EQ(::stat((store.directory() / "identity.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the private key is readable by the user only";

    auto again = IdentityStore(store.directory()).loadOrCreate("Test Phone");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->deviceID, first->deviceID);
    EXPECT_EQ(again->privateKey, first->privateKey);
    EXPECT_EQ(again->deviceName, "Test Phone");
    EXPECT_EQ(IdentityStore(store.directory()).loadOrCreate(std::nullopt)->deviceName, "Test Phone");
}

TEST_F(IdentityStoreTest, ComputerKeysAreKeptByMacDeviceID) {
    IdentityStore store(dir_);
    const auto a = DeviceAuth::generateKeyPair();
    const auto b = DeviceAuth::generateKeyPair();
    EXPECT_FALSE(store.macPublicKey("MAC-A"));
    ASSERT_TRUE(store.storeMacPublicKey("MAC-A", "Desk", a.publicKey));
    ASSERT_TRUE(store.storeMacPublicKey("MAC-B", "Laptop", b.publicKey));
    ASSERT_TRUE(store.storeMacPublicKey("MAC-A", "Desk", b.publicKey));  // re-paired
    EXPECT_EQ(store.macPublicKey("MAC-A"), b.publicKey);
    EXPECT_EQ(store.macPublicKey("MAC-B"), b.publicKey);
}

TEST_F(IdentityStoreTest, ADamagedIdentityIsAnErrorNotANewPhone) {
    fs::create_directories(dir_);
    for (const std::string text : {"{", R"({"deviceID":"X","deviceName":"n","privateKey":"AAAA"})",
                                   R"({"deviceID":"X","deviceName":"n"})"}) {
        std::ofstream(dir_ / "identity.json") << text;
        auto id = IdentityStore(dir_).loadOrCreate(std::nullopt);
        ASSERT_FALSE(id) << text;
        EXPECT_NE(id.error().find("damaged"), std::string::npos);
    }
}

}  // namespace
}  // namespace df::phone
