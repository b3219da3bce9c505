#pragma once
// The control messages exchanged with the phone: 31 cases, each one UTF-8 JSON object in a
// `control` frame. A message is `{"<case>":{"_0":<record>}}`, or `{"<case>":{}}` for the
// three cases without a record. Optional fields are omitted when they hold no value; on
// reading, a missing member and null both mean "no value", and unknown members are ignored.
//
// Plain values; encode and decode are pure functions that may run on any thread.

#include "protocol/Bytes.h"
#include "protocol/Result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace df {

/// Turns a case's JSON text value into the case; nothing for an unknown text. Specialised
/// for PointerEvent::Kind, ScrollEvent::Phase, SystemGesture and AudioCodecKind.
template <class E>
std::optional<E> fromRawValue(std::string_view text);

// ---------------------------------------------------------------------------------------
// Key modifiers: a set kept in one byte. Bits 16..128 have no member; they are carried
// through unchanged and ignored by every consumer.

struct KeyModifiers {
    uint8_t rawValue = 0;

    static const KeyModifiers command;  // 1
    static const KeyModifiers option;   // 2
    static const KeyModifiers control;  // 4
    static const KeyModifiers shift;    // 8

    constexpr KeyModifiers() = default;
    constexpr explicit KeyModifiers(uint8_t raw) : rawValue(raw) {}

    constexpr bool contains(KeyModifiers other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr KeyModifiers operator|(KeyModifiers other) const { return KeyModifiers(rawValue | other.rawValue); }
    constexpr KeyModifiers operator&(KeyModifiers other) const { return KeyModifiers(rawValue & other.rawValue); }
    constexpr KeyModifiers& operator|=(KeyModifiers other) { rawValue |= other.rawValue; return *this; }
    constexpr bool operator==(const KeyModifiers&) const = default;
};
inline constexpr KeyModifiers KeyModifiers::command{1};
inline constexpr KeyModifiers KeyModifiers::option{2};
inline constexpr KeyModifiers KeyModifiers::control{4};
inline constexpr KeyModifiers KeyModifiers::shift{8};

// ---------------------------------------------------------------------------------------
// Records, fields in declaration order. Each has a member-wise constructor in that order
// (optional fields default to no value) and a default constructor.

/// Requested stream quality ("quality", also inside Hello).
struct QualityRequest {
    int64_t maxFPS = 0;
    double bitrateMbps = 0;
    int64_t maxLongEdge = 0;
    bool adaptive = false;
    /// Codec names in order of preference; names the agent does not know are kept as text.
    std::optional<std::vector<std::string>> audioCodecs;
    std::optional<bool> chroma444;

    QualityRequest() = default;
    QualityRequest(int64_t maxFPS, double bitrateMbps, int64_t maxLongEdge, bool adaptive,
                   std::optional<std::vector<std::string>> audioCodecs = std::nullopt,
                   std::optional<bool> chroma444 = std::nullopt)
        : maxFPS(maxFPS), bitrateMbps(bitrateMbps), maxLongEdge(maxLongEdge), adaptive(adaptive),
          audioCodecs(std::move(audioCodecs)), chroma444(chroma444) {}
    bool operator==(const QualityRequest&) const = default;
};

struct Hello {
    std::string deviceName;
    int64_t protocolVersion = 0;
    std::optional<QualityRequest> quality;
    std::string deviceID;
    /// Feature words the phone supports; the agent knows "cstats" and "quic".
    std::optional<std::vector<std::string>> features;

    Hello() = default;
    Hello(std::string deviceName, int64_t protocolVersion, std::optional<QualityRequest> quality,
          std::string deviceID, std::optional<std::vector<std::string>> features = std::nullopt)
        : deviceName(std::move(deviceName)), protocolVersion(protocolVersion), quality(std::move(quality)),
          deviceID(std::move(deviceID)), features(std::move(features)) {}
    bool operator==(const Hello&) const = default;
};

/// One of the computer's active displays; equal when all five fields are equal.
struct DisplayInfo {
    uint32_t id = 0;
    std::string name;
    int64_t width = 0;
    int64_t height = 0;
    bool isCurrent = false;

    DisplayInfo() = default;
    DisplayInfo(uint32_t id, std::string name, int64_t width, int64_t height, bool isCurrent)
        : id(id), name(std::move(name)), width(width), height(height), isCurrent(isCurrent) {}
    bool operator==(const DisplayInfo&) const = default;
};

struct HelloAck {
    std::string macName;
    int64_t screenWidth = 0;
    int64_t screenHeight = 0;
    std::optional<bool> virtualDisplayActive;
    std::optional<std::vector<DisplayInfo>> displays;
    std::optional<Bytes> mediaToken;
    std::optional<std::string> wolMAC;
    std::optional<std::vector<std::string>> features;
    std::optional<uint16_t> quicPort;

    HelloAck() = default;
    HelloAck(std::string macName, int64_t screenWidth, int64_t screenHeight,
             std::optional<bool> virtualDisplayActive = std::nullopt,
             std::optional<std::vector<DisplayInfo>> displays = std::nullopt,
             std::optional<Bytes> mediaToken = std::nullopt, std::optional<std::string> wolMAC = std::nullopt,
             std::optional<std::vector<std::string>> features = std::nullopt,
             std::optional<uint16_t> quicPort = std::nullopt)
        : macName(std::move(macName)), screenWidth(screenWidth), screenHeight(screenHeight),
          virtualDisplayActive(virtualDisplayActive), displays(std::move(displays)),
          mediaToken(std::move(mediaToken)), wolMAC(std::move(wolMAC)), features(std::move(features)),
          quicPort(quicPort) {}
    bool operator==(const HelloAck&) const = default;
};

/// HEVC parameter sets (each one NAL unit, no start code or length prefix) and coded size.
struct VideoConfig {
    Bytes vps;
    Bytes sps;
    Bytes pps;
    int64_t width = 0;
    int64_t height = 0;

    VideoConfig() = default;
    VideoConfig(Bytes vps, Bytes sps, Bytes pps, int64_t width, int64_t height)
        : vps(std::move(vps)), sps(std::move(sps)), pps(std::move(pps)), width(width), height(height) {}
    bool operator==(const VideoConfig&) const = default;
};

struct PointerEvent {
    enum class Kind : uint8_t { move, leftDown, leftUp, leftClick, doubleClick, rightClick };
    static constexpr std::array<Kind, 6> allKinds{Kind::move,      Kind::leftDown,    Kind::leftUp,
                                                  Kind::leftClick, Kind::doubleClick, Kind::rightClick};

    Kind kind = Kind::move;
    double dx = 0;
    double dy = 0;
    std::optional<double> absX;  ///< normalised to the captured display, 0..1
    std::optional<double> absY;
    std::optional<double> ts;    ///< the phone's timestamp, echoed in CursorPos.ts

    PointerEvent() = default;
    PointerEvent(Kind kind, double dx, double dy, std::optional<double> absX = std::nullopt,
                 std::optional<double> absY = std::nullopt, std::optional<double> ts = std::nullopt)
        : kind(kind), dx(dx), dy(dy), absX(absX), absY(absY), ts(ts) {}
    bool operator==(const PointerEvent&) const = default;
};

struct ScrollEvent {
    enum class Phase : uint8_t { began, changed, ended };
    static constexpr std::array<Phase, 3> allPhases{Phase::began, Phase::changed, Phase::ended};

    double dx = 0;
    double dy = 0;
    std::optional<Phase> phase;  ///< absent for a stand-alone scroll
    std::optional<double> vx;    ///< release velocity, for momentum
    std::optional<double> vy;

    ScrollEvent() = default;
    ScrollEvent(double dx, double dy, std::optional<Phase> phase = std::nullopt,
                std::optional<double> vx = std::nullopt, std::optional<double> vy = std::nullopt)
        : dx(dx), dy(dy), phase(phase), vx(vx), vy(vy) {}
    bool operator==(const ScrollEvent&) const = default;
};

struct KeyEvent {
    uint16_t keyCode = 0;  ///< the phone's (Mac) virtual key code, passed through unchanged
    bool isDown = false;
    KeyModifiers modifiers;

    KeyEvent() = default;
    KeyEvent(uint16_t keyCode, bool isDown, KeyModifiers modifiers)
        : keyCode(keyCode), isDown(isDown), modifiers(modifiers) {}
    bool operator==(const KeyEvent&) const = default;
};

struct TextInput {
    std::string text;
    KeyModifiers modifiers;

    TextInput() = default;
    TextInput(std::string text, KeyModifiers modifiers) : text(std::move(text)), modifiers(modifiers) {}
    bool operator==(const TextInput&) const = default;
};

/// The record of the `gesture` case is the enumeration itself: {"gesture":{"_0":"spaceLeft"}}.
enum class SystemGesture : uint8_t { missionControl, appExpose, spaceLeft, spaceRight, showDesktop };
inline constexpr std::array<SystemGesture, 5> allSystemGestures{
    SystemGesture::missionControl, SystemGesture::appExpose, SystemGesture::spaceLeft, SystemGesture::spaceRight,
    SystemGesture::showDesktop};

struct CursorPos {
    double x = 0;  ///< normalised to the captured display
    double y = 0;
    std::optional<double> ts;  ///< the ts of the pointer event answered

    CursorPos() = default;
    CursorPos(double x, double y, std::optional<double> ts = std::nullopt) : x(x), y(y), ts(ts) {}
    bool operator==(const CursorPos&) const = default;
};

struct FrontApp {
    std::string name;
    std::string bundleID;

    FrontApp() = default;
    FrontApp(std::string name, std::string bundleID) : name(std::move(name)), bundleID(std::move(bundleID)) {}
    bool operator==(const FrontApp&) const = default;
};

struct VirtualDisplayRequest {
    bool enabled = false;

    VirtualDisplayRequest() = default;
    explicit VirtualDisplayRequest(bool enabled) : enabled(enabled) {}
    bool operator==(const VirtualDisplayRequest&) const = default;
};

struct SelectDisplay {
    uint32_t displayID = 0;  ///< a DisplayInfo.id

    SelectDisplay() = default;
    explicit SelectDisplay(uint32_t displayID) : displayID(displayID) {}
    bool operator==(const SelectDisplay&) const = default;
};

struct FileBegin {
    uint32_t fileID = 0;  ///< repeated in every FileChunk and in FileEnd
    std::string name;     ///< last path component
    int64_t size = 0;     ///< bytes

    FileBegin() = default;
    FileBegin(uint32_t fileID, std::string name, int64_t size) : fileID(fileID), name(std::move(name)), size(size) {}
    bool operator==(const FileBegin&) const = default;
};

struct FileEnd {
    uint32_t fileID = 0;

    FileEnd() = default;
    explicit FileEnd(uint32_t fileID) : fileID(fileID) {}
    bool operator==(const FileEnd&) const = default;
};

/// Case without a record: {"heartbeat":{}}.
struct Heartbeat {
    bool operator==(const Heartbeat&) const = default;
};
/// Case without a record: {"requestKeyframe":{}}.
struct RequestKeyframe {
    bool operator==(const RequestKeyframe&) const = default;
};
/// Case without a record: {"pairRequired":{}}.
struct PairRequired {
    bool operator==(const PairRequired&) const = default;
};

struct CaptureAlive {
    bool alive = false;
    std::optional<double> encodeMs;  ///< recent average encode time per frame

    CaptureAlive() = default;
    explicit CaptureAlive(bool alive, std::optional<double> encodeMs = std::nullopt) : alive(alive), encodeMs(encodeMs) {}
    bool operator==(const CaptureAlive&) const = default;
};

struct CaptureError {
    /// The one machine-readable class: there is no display to capture.
    static constexpr std::string_view kindNoDisplay = "noDisplay";

    std::string reason;               ///< localised, human-readable
    std::optional<std::string> kind;  ///< machine-readable class

    CaptureError() = default;
    explicit CaptureError(std::string reason, std::optional<std::string> kind = std::nullopt)
        : reason(std::move(reason)), kind(std::move(kind)) {}
    bool operator==(const CaptureError&) const = default;
};

struct AudioConfig {
    std::string codec;  ///< an AudioCodecKind text value
    double sampleRate = 0;
    int64_t channels = 0;
    std::optional<Bytes> cookie;  ///< the encoder's codec configuration bytes, when it has one

    AudioConfig() = default;
    AudioConfig(std::string codec, double sampleRate, int64_t channels, std::optional<Bytes> cookie = std::nullopt)
        : codec(std::move(codec)), sampleRate(sampleRate), channels(channels), cookie(std::move(cookie)) {}
    bool operator==(const AudioConfig&) const = default;
};

struct AudioControl {
    bool enabled = false;

    AudioControl() = default;
    explicit AudioControl(bool enabled) : enabled(enabled) {}
    bool operator==(const AudioControl&) const = default;
};

struct ClipboardSync {
    /// Largest clipboard text, in UTF-8 bytes, meant for one message.
    static constexpr size_t maxBytes = 262144;

    std::string text;

    ClipboardSync() = default;
    explicit ClipboardSync(std::string text) : text(std::move(text)) {}
    bool operator==(const ClipboardSync&) const = default;
};

struct CursorShapeMsg {
    std::string shape;

    CursorShapeMsg() = default;
    explicit CursorShapeMsg(std::string shape) : shape(std::move(shape)) {}
    bool operator==(const CursorShapeMsg&) const = default;
};

struct ClientStats {
    int64_t decodeFPS = 0;
    int64_t flushes = 0;
    int64_t rttMs = 0;

    ClientStats() = default;
    ClientStats(int64_t decodeFPS, int64_t flushes, int64_t rttMs) : decodeFPS(decodeFPS), flushes(flushes), rttMs(rttMs) {}
    bool operator==(const ClientStats&) const = default;
};

struct ServerHello {
    std::string macDeviceID;
    std::string macName;

    ServerHello() = default;
    ServerHello(std::string macDeviceID, std::string macName)
        : macDeviceID(std::move(macDeviceID)), macName(std::move(macName)) {}
    bool operator==(const ServerHello&) const = default;
};

struct Enroll {
    std::string deviceID;
    std::string deviceName;
    Bytes publicKey;  ///< P-256 key-agreement public key, raw 64 bytes (X then Y)

    Enroll() = default;
    Enroll(std::string deviceID, std::string deviceName, Bytes publicKey)
        : deviceID(std::move(deviceID)), deviceName(std::move(deviceName)), publicKey(std::move(publicKey)) {}
    bool operator==(const Enroll&) const = default;
};

struct EnrollResult {
    bool approved = false;
    std::optional<Bytes> macPublicKey;  ///< raw 64 bytes; present when approved

    EnrollResult() = default;
    explicit EnrollResult(bool approved, std::optional<Bytes> macPublicKey = std::nullopt)
        : approved(approved), macPublicKey(std::move(macPublicKey)) {}
    bool operator==(const EnrollResult&) const = default;
};

struct AuthChallenge {
    Bytes nonce;  ///< 32 random bytes

    AuthChallenge() = default;
    explicit AuthChallenge(Bytes nonce) : nonce(std::move(nonce)) {}
    bool operator==(const AuthChallenge&) const = default;
};

struct AuthResponse {
    Bytes hmac;  ///< 32 bytes

    AuthResponse() = default;
    explicit AuthResponse(Bytes hmac) : hmac(std::move(hmac)) {}
    bool operator==(const AuthResponse&) const = default;
};

struct AuthFailed {
    std::string reason;

    AuthFailed() = default;
    explicit AuthFailed(std::string reason) : reason(std::move(reason)) {}
    bool operator==(const AuthFailed&) const = default;
};

// ---------------------------------------------------------------------------------------
// Enumeration text values.

std::string_view rawValue(PointerEvent::Kind kind);
std::string_view rawValue(ScrollEvent::Phase phase);
std::string_view rawValue(SystemGesture gesture);

template <>
std::optional<PointerEvent::Kind> fromRawValue<PointerEvent::Kind>(std::string_view text);
template <>
std::optional<ScrollEvent::Phase> fromRawValue<ScrollEvent::Phase>(std::string_view text);
template <>
std::optional<SystemGesture> fromRawValue<SystemGesture>(std::string_view text);

// ---------------------------------------------------------------------------------------
// The message.

class ControlMessage {
public:
    /// The record of each case, in declaration order (index == Case).
    using Value = std::variant<Hello, HelloAck, VideoConfig, PointerEvent, ScrollEvent, KeyEvent, TextInput,
                               SystemGesture, QualityRequest, CursorPos, FrontApp, VirtualDisplayRequest,
                               SelectDisplay, FileBegin, FileEnd, Heartbeat, RequestKeyframe, CaptureAlive,
                               CaptureError, AudioConfig, AudioControl, ClipboardSync, CursorShapeMsg, ClientStats,
                               ServerHello, PairRequired, Enroll, EnrollResult, AuthChallenge, AuthResponse,
                               AuthFailed>;

    /// The 31 cases in declaration order; the value is the index of the record in Value.
    enum class Case : uint8_t {
        hello, helloAck, videoConfig, pointer, scroll, key, text, gesture, quality, cursorPos, frontApp,
        virtualDisplay, selectDisplay, fileBegin, fileEnd, heartbeat, requestKeyframe, captureAlive,
        captureError, audioConfig, audioControl, clipboard, cursorShape, clientStats, serverHello,
        pairRequired, enroll, enrollResult, authChallenge, authResponse, authFailed,
    };
    static constexpr size_t caseCount = 31;

    /// Which end sends a case in the system as built; the agent ignores agentToPhone-only
    /// cases that it receives.
    enum class Direction : uint8_t { phoneToAgent, agentToPhone, both };

    /// A message of the case whose record is `record`, e.g. ControlMessage(Heartbeat{}) or
    /// ControlMessage(PointerEvent(PointerEvent::Kind::move, 1.5, 0)).
    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, ControlMessage> &&
                 std::is_constructible_v<Value, T &&>)
    ControlMessage(T&& record) : value_(std::forward<T>(record)) {}  // NOLINT: implicit by design

    // Copying, moving and comparing visit all 31 cases: defined once, in the library, instead
    // of in every file that handles a message (which made each of them slow to compile).
    ControlMessage(const ControlMessage&);
    ControlMessage(ControlMessage&&) noexcept;
    ControlMessage& operator=(const ControlMessage&);
    ControlMessage& operator=(ControlMessage&&) noexcept;
    ~ControlMessage();

    Case messageCase() const { return static_cast<Case>(value_.index()); }
    /// The JSON member name of this message's case ("pointer", "helloAck", ...).
    std::string_view caseName() const { return caseName(messageCase()); }

    /// The record if this message is of that case, else null.
    template <class T>
    const T* get() const { return std::get_if<T>(&value_); }
    template <class T>
    T* get() { return std::get_if<T>(&value_); }
    template <class T>
    bool is() const { return std::holds_alternative<T>(value_); }

    const Value& value() const { return value_; }
    Value& value() { return value_; }

    /// Compact JSON text; fails when a double field is not finite.
    Result<std::string> encode() const;
    /// encode() wrapped in a complete `control` wire frame (header included).
    Result<Bytes> encodedFrame() const;

    /// Parses one control payload. Failures are values; the exact text "Invalid number of
    /// keys found, expected one." when the object names no case or more than one.
    /// Arrays and objects nested deeper than this are refused (the catalogue needs four).
    static constexpr size_t maxNestingDepth = 16;
    static Result<ControlMessage> decode(std::span<const uint8_t> json);
    static Result<ControlMessage> decode(std::string_view json);

    static std::string_view caseName(Case c);
    static std::optional<Case> caseNamed(std::string_view name);
    static Direction direction(Case c);

    bool operator==(const ControlMessage&) const;

private:
    Value value_;
};

/// The failure text when a payload names no case or more than one.
inline constexpr std::string_view kInvalidKeyCountDescription = "Invalid number of keys found, expected one.";

}  // namespace df
