#include "protocol/ControlMessage.h"

#include "protocol/Base64.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"
#include "tests/support/Hex.h"
#include "tests/support/PythonCheck.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <sstream>

namespace df {
namespace {

using Case = ControlMessage::Case;

Bytes seq(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

// One message of every case, in declaration order, with every optional field filled.
std::vector<ControlMessage> fullMessages() {
    const QualityRequest quality(60, 12.5, 2560, true, std::vector<std::string>{"opus", "aac-lc", "flac"}, true);
    return {
        Hello("Ada's phone", 1, quality, "device-1", std::vector<std::string>{"cstats", "quic"}),
        HelloAck("Workstation", 1920, 1080, true,
                 std::vector<DisplayInfo>{DisplayInfo(1, "Left", 1920, 1080, true),
                                          DisplayInfo(4294967295u, "Right", 1280, 1024, false)},
                 seq(16), "aa:bb:cc:dd:ee:ff", std::vector<std::string>{"quic"}, uint16_t{52526}),
        VideoConfig(seq(24, 0x40), seq(40, 0x42), seq(8, 0x44), 1920, 1080),
        PointerEvent(PointerEvent::Kind::doubleClick, -3.25, 7.0, 0.5, 0.75, 123456.789),
        ScrollEvent(0.5, -12, ScrollEvent::Phase::changed, 300.5, -1e3),
        KeyEvent(65535, true, KeyModifiers::command | KeyModifiers::shift),
        TextInput("h\xC3\xA9llo \"quoted\" \\ \n\t \xF0\x9F\x98\x80", KeyModifiers(0xF0)),
        SystemGesture::showDesktop,
        quality,
        CursorPos(0.25, 1.0, 99.5),
        FrontApp("Terminal", "org.example.Terminal"),
        VirtualDisplayRequest(true),
        SelectDisplay(77),
        FileBegin(4294967295u, "report final.pdf", std::numeric_limits<int64_t>::max()),
        FileEnd(12),
        Heartbeat{},
        RequestKeyframe{},
        CaptureAlive(true, 4.5),
        CaptureError("No display", std::string(CaptureError::kindNoDisplay)),
        AudioConfig("opus", 48000, 2, seq(19)),
        AudioControl(false),
        ClipboardSync(std::string(1000, 'x')),
        CursorShapeMsg("ibeam"),
        ClientStats(59, 2, 18),
        ServerHello("mac-id", "Workstation"),
        PairRequired{},
        Enroll("device-1", "Ada's phone", seq(64, 0x80)),
        EnrollResult(true, seq(64, 0x10)),
        AuthChallenge(seq(32, 0xE0)),
        AuthResponse(seq(32, 0x20)),
        AuthFailed("Unknown device"),
    };
}

// The same cases with every optional field left without a value.
std::vector<ControlMessage> sparseMessages() {
    return {
        Hello("p", 1, std::nullopt, "d"),
        HelloAck("m", 0, -1),
        VideoConfig({}, {}, {}, 0, 0),
        PointerEvent(PointerEvent::Kind::move, 0, 0),
        ScrollEvent(1, 2),
        KeyEvent(0, false, KeyModifiers()),
        TextInput("", KeyModifiers()),
        SystemGesture::missionControl,
        QualityRequest(30, 0.5, 0, false),
        CursorPos(0, 0),
        FrontApp("", ""),
        VirtualDisplayRequest(false),
        SelectDisplay(0),
        FileBegin(0, "", -1),
        FileEnd(0),
        Heartbeat{},
        RequestKeyframe{},
        CaptureAlive(false),
        CaptureError(""),
        AudioConfig("aac-eld", 44100.5, 1),
        AudioControl(true),
        ClipboardSync(""),
        CursorShapeMsg(""),
        ClientStats(std::numeric_limits<int64_t>::min(), 0, -1),
        ServerHello("", ""),
        PairRequired{},
        Enroll("", "", {}),
        EnrollResult(false),
        AuthChallenge(Bytes{}),
        AuthResponse(Bytes{}),
        AuthFailed(""),
    };
}

TEST(ControlMessageTest, EveryCaseRoundTripsInDeclarationOrder) {
    for (const auto& set : {fullMessages(), sparseMessages()}) {
        ASSERT_EQ(set.size(), ControlMessage::caseCount);
        for (size_t i = 0; i < set.size(); ++i) {
            const ControlMessage& message = set[i];
            EXPECT_EQ(static_cast<size_t>(message.messageCase()), i);
            const auto json = message.encode();
            ASSERT_TRUE(json.ok()) << message.caseName() << ": " << json.error();
            // One envelope member named after the case.
            const auto parsed = nlohmann::json::parse(*json);
            ASSERT_EQ(parsed.size(), 1u);
            EXPECT_EQ(parsed.begin().key(), message.caseName());
            EXPECT_EQ(json->find('\n'), std::string::npos) << "output is compact";
            const auto decoded = ControlMessage::decode(*json);
            ASSERT_TRUE(decoded.ok()) << *json << ": " << decoded.error();
            EXPECT_EQ(*decoded, message) << *json;
        }
    }
}

TEST(ControlMessageTest, CaseNamesAndDirections) {
    const std::vector<std::string_view> names{
        "hello",        "helloAck",     "videoConfig", "pointer",       "scroll",        "key",
        "text",         "gesture",      "quality",     "cursorPos",     "frontApp",      "virtualDisplay",
        "selectDisplay", "fileBegin",   "fileEnd",     "heartbeat",     "requestKeyframe", "captureAlive",
        "captureError", "audioConfig",  "audioControl", "clipboard",    "cursorShape",   "clientStats",
        "serverHello",  "pairRequired", "enroll",      "enrollResult",  "authChallenge", "authResponse",
        "authFailed"};
    ASSERT_EQ(names.size(), ControlMessage::caseCount);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(ControlMessage::caseName(static_cast<Case>(i)), names[i]);
        EXPECT_EQ(ControlMessage::caseNamed(names[i]), static_cast<Case>(i));
    }
    EXPECT_EQ(ControlMessage::caseNamed("Heartbeat"), std::nullopt);
    EXPECT_EQ(ControlMessage::direction(Case::pointer), ControlMessage::Direction::phoneToAgent);
    EXPECT_EQ(ControlMessage::direction(Case::helloAck), ControlMessage::Direction::agentToPhone);
    EXPECT_EQ(ControlMessage::direction(Case::clipboard), ControlMessage::Direction::both);
}

TEST(ControlMessageTest, GoldenEncodings) {
    const struct {
        ControlMessage message;
        std::string json;
    } cases[] = {
        {Heartbeat{}, R"({"heartbeat":{}})"},
        {PairRequired{}, R"({"pairRequired":{}})"},
        {SystemGesture::spaceLeft, R"({"gesture":{"_0":"spaceLeft"}})"},
        {KeyEvent(36, true, KeyModifiers(9)), R"({"key":{"_0":{"keyCode":36,"isDown":true,"modifiers":9}}})"},
        {PointerEvent(PointerEvent::Kind::leftClick, 1.5, -2.25),
         R"({"pointer":{"_0":{"kind":"leftClick","dx":1.5,"dy":-2.25}}})"},
        // Standard alphabet ("+", "/") with "=" padding.
        {AuthResponse(Bytes{0xFB, 0xFF}), R"({"authResponse":{"_0":{"hmac":"+/8="}}})"},
        {EnrollResult(false), R"({"enrollResult":{"_0":{"approved":false}}})"},
        {CaptureError("gone", std::string("noDisplay")),
         R"({"captureError":{"_0":{"reason":"gone","kind":"noDisplay"}}})"},
    };
    for (const auto& c : cases) {
        const auto json = c.message.encode();
        ASSERT_TRUE(json.ok()) << json.error();
        EXPECT_EQ(*json, c.json);
    }
}

TEST(ControlMessageTest, EncodedFrameIsAControlFrameOfTheJson) {
    const ControlMessage message = Heartbeat{};
    const auto frame = message.encodedFrame();
    ASSERT_TRUE(frame.ok());
    WireParser parser;
    const auto frames = parser.append(*frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, WireKind::control);
    EXPECT_EQ(std::string(frames[0].payload.begin(), frames[0].payload.end()), R"({"heartbeat":{}})");
    const auto decoded = ControlMessage::decode(frames[0].payload);
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded->is<Heartbeat>());
}

// A table of payloads: the message each decodes to, or nothing when decoding must fail.
TEST(ControlMessageTest, DecodingRules) {
    const Bytes key64 = seq(64, 3);
    const std::string key64Base64 = R"(AwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQg==)";
    const struct {
        std::string json;
        std::optional<ControlMessage> expected;
    } cases[] = {
        // Envelope.
        {R"({"requestKeyframe":{}})", RequestKeyframe{}},
        {R"({"requestKeyframe":{"_0":1}})", RequestKeyframe{}},
        {R"({"heartbeat":{},"extra":1})", Heartbeat{}},
        {R"({"heartbeat":{},"pairRequired":{}})", std::nullopt},
        {R"({})", std::nullopt},
        {R"({"Heartbeat":{}})", std::nullopt},
        {R"({"heartbeat":1})", std::nullopt},
        {R"({"heartbeat":null})", std::nullopt},
        {R"({"pointer":{}})", std::nullopt},
        {R"({"pointer":{"_0":null}})", std::nullopt},
        {R"([{"heartbeat":{}}])", std::nullopt},
        {R"("heartbeat")", std::nullopt},
        {R"({"heartbeat":{}} trailing)", std::nullopt},
        {R"({"heartbeat":{})", std::nullopt},
        {"", std::nullopt},
        {"{\"text\":{\"_0\":{\"text\":\"\xFF\",\"modifiers\":0}}}", std::nullopt},  // not UTF-8
        // Presence: missing and null both mean no value; unknown members are ignored.
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":"D"}}})", Hello("P", 1, std::nullopt, "D")},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":"D","features":null,"quality":null,"x":[1]}}})",
         Hello("P", 1, std::nullopt, "D")},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1}}})", std::nullopt},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":null}}})", std::nullopt},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":"D","quality":{"maxFPS":60}}}})", std::nullopt},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":"D","features":"quic"}}})", std::nullopt},
        {R"({"hello":{"_0":{"deviceName":"P","protocolVersion":1,"deviceID":"D","features":["quic",1]}}})", std::nullopt},
        // Unsigned 16-bit range.
        {R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2,"quicPort":70000}}})", std::nullopt},
        {R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2,"quicPort":-1}}})", std::nullopt},
        {R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2,"quicPort":null}}})", HelloAck("M", 1, 2)},
        {R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2,"quicPort":65535}}})",
         HelloAck("M", 1, 2, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, uint16_t{65535})},
        {R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2,"displays":[{"id":1,"name":"A","width":1,"height":1}]}}})",
         std::nullopt},
        // Key modifiers: one byte; bits without a member are carried through.
        {R"({"key":{"_0":{"keyCode":1,"isDown":true,"modifiers":9}}})",
         KeyEvent(1, true, KeyModifiers::command | KeyModifiers::shift)},
        {R"({"key":{"_0":{"keyCode":1,"isDown":true,"modifiers":255}}})", KeyEvent(1, true, KeyModifiers(255))},
        {R"({"key":{"_0":{"keyCode":1,"isDown":true,"modifiers":256}}})", std::nullopt},
        {R"({"key":{"_0":{"keyCode":1,"isDown":true,"modifiers":-1}}})", std::nullopt},
        {R"({"key":{"_0":{"keyCode":1,"isDown":true,"modifiers":1.5}}})", std::nullopt},
        {R"({"key":{"_0":{"keyCode":65536,"isDown":true,"modifiers":0}}})", std::nullopt},
        {R"({"key":{"_0":{"keyCode":1,"isDown":1,"modifiers":0}}})", std::nullopt},
        {R"({"key":{"_0":{"keyCode":"1","isDown":true,"modifiers":0}}})", std::nullopt},
        // An integral number written with a fraction or exponent is read at its value.
        {R"({"key":{"_0":{"keyCode":3.0,"isDown":false,"modifiers":8e0}}})", KeyEvent(3, false, KeyModifiers::shift)},
        // Unsigned 32-bit and signed 64-bit ranges.
        {R"({"selectDisplay":{"_0":{"displayID":4294967295}}})", SelectDisplay(4294967295u)},
        {R"({"selectDisplay":{"_0":{"displayID":4294967296}}})", std::nullopt},
        {R"({"fileBegin":{"_0":{"fileID":1,"name":"a","size":9223372036854775807}}})",
         FileBegin(1, "a", std::numeric_limits<int64_t>::max())},
        {R"({"fileBegin":{"_0":{"fileID":1,"name":"a","size":-9223372036854775808}}})",
         FileBegin(1, "a", std::numeric_limits<int64_t>::min())},
        {R"({"fileBegin":{"_0":{"fileID":1,"name":"a","size":9223372036854775808}}})", std::nullopt},
        {R"({"fileBegin":{"_0":{"fileID":1,"name":"a","size":1e19}}})", std::nullopt},
        {R"({"fileBegin":{"_0":{"fileID":1,"name":"a","size":9.3e18}}})", std::nullopt},
        // Base64 byte strings.
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":")" + key64Base64 + R"("}}})",
         Enroll("d", "n", key64)},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"not base64!"}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"QQ"}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"Q==="}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"QQ=A"}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":" QQ=="}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"QQ==\n"}}})", std::nullopt},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":"QQ=="}}})", Enroll("d", "n", Bytes{'A'})},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":""}}})", Enroll("d", "n", {})},
        {R"({"enroll":{"_0":{"deviceID":"d","deviceName":"n","publicKey":[1,2]}}})", std::nullopt},
        // Enumerations.
        {R"({"pointer":{"_0":{"kind":"move","dx":1.5,"dy":0}}})", PointerEvent(PointerEvent::Kind::move, 1.5, 0)},
        {R"({"pointer":{"_0":{"kind":"middleClick","dx":0,"dy":0}}})", std::nullopt},
        {R"({"pointer":{"_0":{"kind":"Move","dx":0,"dy":0}}})", std::nullopt},
        {R"({"pointer":{"_0":{"kind":"move","dx":"0","dy":0}}})", std::nullopt},
        {R"({"pointer":{"_0":{"kind":"move","dx":1e400,"dy":0}}})", std::nullopt},
        {R"({"scroll":{"_0":{"dx":1,"dy":2,"phase":"ended","vy":3}}})",
         ScrollEvent(1, 2, ScrollEvent::Phase::ended, std::nullopt, 3)},
        {R"({"scroll":{"_0":{"dx":1,"dy":2,"phase":"stopped"}}})", std::nullopt},
        {R"({"gesture":{"_0":"appExpose"}})", SystemGesture::appExpose},
        {R"({"gesture":{"_0":"pinch"}})", std::nullopt},
        {R"({"gesture":{"_0":{"kind":"appExpose"}}})", std::nullopt},
        // Codec names are plain text: unknown names do not fail.
        {R"({"quality":{"_0":{"maxFPS":60,"bitrateMbps":8,"maxLongEdge":1920,"adaptive":true,"audioCodecs":["flac","opus"]}}})",
         QualityRequest(60, 8, 1920, true, std::vector<std::string>{"flac", "opus"})},
    };
    for (const auto& c : cases) {
        const auto decoded = ControlMessage::decode(c.json);
        if (c.expected) {
            ASSERT_TRUE(decoded.ok()) << c.json << ": " << decoded.error();
            EXPECT_EQ(*decoded, *c.expected) << c.json;
        } else {
            EXPECT_FALSE(decoded.ok()) << c.json;
            EXPECT_FALSE(decoded.error().empty()) << c.json;
        }
    }
}

TEST(ControlMessageTest, DeeplyNestedJsonIsRefusedBeforeParsing) {
    auto nested = [](size_t depth, std::string_view open, std::string_view close) {
        std::string inner;
        for (size_t i = 0; i < depth; ++i) inner += open;
        for (size_t i = 0; i < depth; ++i) inner += close;
        return R"({"heartbeat":{},"extra":)" + inner + "}";
    };
    const size_t limit = ControlMessage::maxNestingDepth;
    // The envelope and the body take one level each; "extra" holds the rest.
    EXPECT_TRUE(ControlMessage::decode(nested(limit - 1, "[", "]")).ok());
    EXPECT_FALSE(ControlMessage::decode(nested(limit, "[", "]")).ok());
    EXPECT_FALSE(ControlMessage::decode(nested(100000, "{\"a\":", "}")).ok());
    // Brackets inside strings, escaped quotes included, are text.
    std::string brackets(1000, '[');
    EXPECT_TRUE(ControlMessage::decode(R"({"heartbeat":{},"extra":"\")" + brackets + R"("})").ok());
    EXPECT_EQ(ControlMessage::decode(nested(100000, "[", "]")).error(), "The JSON nests too deeply.");
}

TEST(ControlMessageTest, KeyCountFailureHasTheExactDescription) {
    for (const char* json : {R"({})", R"({"unknown":{}})", R"({"heartbeat":{},"pairRequired":{}})"}) {
        const auto decoded = ControlMessage::decode(std::string_view(json));
        ASSERT_FALSE(decoded.ok()) << json;
        EXPECT_EQ(decoded.error(), "Invalid number of keys found, expected one.") << json;
    }
}

TEST(ControlMessageTest, NonFiniteDoublesFailToEncode) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const ControlMessage messages[] = {
        PointerEvent(PointerEvent::Kind::move, nan, 0),
        PointerEvent(PointerEvent::Kind::move, 0, 0, -inf),
        Hello("p", 1, QualityRequest(60, inf, 1, true), "d"),
        CaptureAlive(true, nan),
        AudioConfig("opus", inf, 2),
    };
    for (const auto& message : messages) {
        EXPECT_FALSE(message.encode().ok()) << message.caseName();
        EXPECT_FALSE(message.encodedFrame().ok()) << message.caseName();
    }
}

TEST(ControlMessageTest, AbsentFieldsAreOmittedNotNull) {
    const auto json = ControlMessage(HelloAck("M", 1, 2)).encode();
    ASSERT_TRUE(json.ok());
    EXPECT_EQ(*json, R"({"helloAck":{"_0":{"macName":"M","screenWidth":1,"screenHeight":2}}})");
}

TEST(ControlMessageTest, InvalidUtf8TextIsReplacedRatherThanFailing) {
    const auto json = ControlMessage(FrontApp("Bad\xC3", "id")).encode();
    ASSERT_TRUE(json.ok()) << json.error();
    const auto decoded = ControlMessage::decode(*json);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded->get<FrontApp>()->name, "Bad\xEF\xBF\xBD");
}

TEST(ControlMessageTest, EnumerationTextValues) {
    const std::pair<PointerEvent::Kind, const char*> kinds[] = {
        {PointerEvent::Kind::move, "move"},           {PointerEvent::Kind::leftDown, "leftDown"},
        {PointerEvent::Kind::leftUp, "leftUp"},       {PointerEvent::Kind::leftClick, "leftClick"},
        {PointerEvent::Kind::doubleClick, "doubleClick"}, {PointerEvent::Kind::rightClick, "rightClick"}};
    for (auto [kind, text] : kinds) {
        EXPECT_EQ(rawValue(kind), text);
        EXPECT_EQ(fromRawValue<PointerEvent::Kind>(text), kind);
    }
    const std::pair<ScrollEvent::Phase, const char*> phases[] = {
        {ScrollEvent::Phase::began, "began"}, {ScrollEvent::Phase::changed, "changed"}, {ScrollEvent::Phase::ended, "ended"}};
    for (auto [phase, text] : phases) {
        EXPECT_EQ(rawValue(phase), text);
        EXPECT_EQ(fromRawValue<ScrollEvent::Phase>(text), phase);
    }
    const std::pair<SystemGesture, const char*> gestures[] = {{SystemGesture::missionControl, "missionControl"},
                                                              {SystemGesture::appExpose, "appExpose"},
                                                              {SystemGesture::spaceLeft, "spaceLeft"},
                                                              {SystemGesture::spaceRight, "spaceRight"},
                                                              {SystemGesture::showDesktop, "showDesktop"}};
    for (auto [gesture, text] : gestures) {
        EXPECT_EQ(rawValue(gesture), text);
        EXPECT_EQ(fromRawValue<SystemGesture>(text), gesture);
    }
    EXPECT_EQ(fromRawValue<PointerEvent::Kind>(""), std::nullopt);
    EXPECT_EQ(fromRawValue<ScrollEvent::Phase>("Began"), std::nullopt);
    EXPECT_EQ(fromRawValue<SystemGesture>("spaceleft"), std::nullopt);
}

// Byte strings of every length remainder, against Python's base64 module as the reference.
TEST(Base64Test, AgreesWithAnIndependentCodec) {
    DF_REQUIRE_PYTHON_REFERENCE();
    std::vector<Bytes> values;
    std::string args;  // "h" + hex, so that the empty value is still an argument
    for (size_t length = 0; length <= 70; ++length) {
        Bytes value(length);
        for (size_t i = 0; i < length; ++i) value[i] = static_cast<uint8_t>(251 - 7 * i);
        args += " h" + testsupport::toHex(value);
        values.push_back(std::move(value));
    }
    const auto out = testsupport::runPython(
        "import sys, base64\n"
        "for a in sys.argv[1:]:\n"
        "    print(\"=\" + base64.b64encode(bytes.fromhex(a[1:])).decode())\n",
        args);
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    for (const Bytes& value : values) {
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        expected.erase(0, 1);  // the marker keeps empty encodings on their own line
        EXPECT_EQ(Base64::encode(value), expected) << value.size() << " bytes";
        EXPECT_EQ(Base64::decode(expected), value) << expected;
    }
}

TEST(KeyModifiersTest, BitValues) {
    EXPECT_EQ(KeyModifiers::command.rawValue, 1);
    EXPECT_EQ(KeyModifiers::option.rawValue, 2);
    EXPECT_EQ(KeyModifiers::control.rawValue, 4);
    EXPECT_EQ(KeyModifiers::shift.rawValue, 8);
    const KeyModifiers nine(9);
    EXPECT_TRUE(nine.contains(KeyModifiers::command));
    EXPECT_TRUE(nine.contains(KeyModifiers::shift));
    EXPECT_FALSE(nine.contains(KeyModifiers::option));
    EXPECT_FALSE(nine.contains(KeyModifiers::control));
    EXPECT_EQ(sizeof(KeyModifiers), 1u);
}

}  // namespace
}  // namespace df
