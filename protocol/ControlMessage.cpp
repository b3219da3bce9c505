#include "protocol/ControlMessage.h"

#include "protocol/Base64.h"
#include "protocol/WireFrame.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace df {

// ---------------------------------------------------------------------------------------
// Enumeration text values.

namespace {

constexpr std::array<std::string_view, 6> kPointerKindNames{"move",      "leftDown",    "leftUp",
                                                            "leftClick", "doubleClick", "rightClick"};
constexpr std::array<std::string_view, 3> kScrollPhaseNames{"began", "changed", "ended"};
constexpr std::array<std::string_view, 5> kGestureNames{"missionControl", "appExpose", "spaceLeft", "spaceRight",
                                                         "showDesktop"};

constexpr std::array<std::string_view, ControlMessage::caseCount> kCaseNames{
    "hello",         "helloAck",     "videoConfig",   "pointer",      "scroll",      "key",
    "text",          "gesture",      "quality",       "cursorPos",    "frontApp",    "virtualDisplay",
    "selectDisplay", "fileBegin",    "fileEnd",       "heartbeat",    "requestKeyframe",
    "captureAlive",  "captureError", "audioConfig",   "audioControl", "clipboard",   "cursorShape",
    "clientStats",   "serverHello",  "pairRequired",  "enroll",       "enrollResult", "authChallenge",
    "authResponse",  "authFailed"};
static_assert(std::variant_size_v<ControlMessage::Value> == ControlMessage::caseCount);

template <class E, size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& names, std::string_view text) {
    for (size_t i = 0; i < N; ++i) {
        if (names[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(PointerEvent::Kind kind) { return kPointerKindNames.at(static_cast<size_t>(kind)); }
std::string_view rawValue(ScrollEvent::Phase phase) { return kScrollPhaseNames.at(static_cast<size_t>(phase)); }
std::string_view rawValue(SystemGesture gesture) { return kGestureNames.at(static_cast<size_t>(gesture)); }

template <>
std::optional<PointerEvent::Kind> fromRawValue<PointerEvent::Kind>(std::string_view text) {
    return lookup<PointerEvent::Kind>(kPointerKindNames, text);
}
template <>
std::optional<ScrollEvent::Phase> fromRawValue<ScrollEvent::Phase>(std::string_view text) {
    return lookup<ScrollEvent::Phase>(kScrollPhaseNames, text);
}
template <>
std::optional<SystemGesture> fromRawValue<SystemGesture>(std::string_view text) {
    return lookup<SystemGesture>(kGestureNames, text);
}

std::string_view ControlMessage::caseName(Case c) { return kCaseNames.at(static_cast<size_t>(c)); }

std::optional<ControlMessage::Case> ControlMessage::caseNamed(std::string_view name) {
    return lookup<Case>(kCaseNames, name);
}

ControlMessage::Direction ControlMessage::direction(Case c) {
    switch (c) {
        case Case::hello:
        case Case::pointer:
        case Case::scroll:
        case Case::key:
        case Case::text:
        case Case::gesture:
        case Case::quality:
        case Case::virtualDisplay:
        case Case::selectDisplay:
        case Case::requestKeyframe:
        case Case::audioControl:
        case Case::clientStats:
        case Case::enroll:
        case Case::authResponse:
            return Direction::phoneToAgent;
        case Case::helloAck:
        case Case::videoConfig:
        case Case::cursorPos:
        case Case::frontApp:
        case Case::captureAlive:
        case Case::captureError:
        case Case::audioConfig:
        case Case::cursorShape:
        case Case::serverHello:
        case Case::pairRequired:
        case Case::enrollResult:
        case Case::authChallenge:
        case Case::authFailed:
            return Direction::agentToPhone;
        case Case::fileBegin:
        case Case::fileEnd:
        case Case::heartbeat:
        case Case::clipboard:
            return Direction::both;
    }
    return Direction::both;
}

// ---------------------------------------------------------------------------------------
// Field lists. One description per record serves both directions: `v(name, field)` is
// called for each field in declaration order, with a writer when encoding and a reader when
// decoding. A std::optional field is one that may be absent.

namespace {

template <class V> void describe(V& v, QualityRequest& r) {
    v("maxFPS", r.maxFPS); v("bitrateMbps", r.bitrateMbps); v("maxLongEdge", r.maxLongEdge);
    v("adaptive", r.adaptive); v("audioCodecs", r.audioCodecs); v("chroma444", r.chroma444);
}
template <class V> void describe(V& v, Hello& r) {
    v("deviceName", r.deviceName); v("protocolVersion", r.protocolVersion); v("quality", r.quality);
    v("deviceID", r.deviceID); v("features", r.features);
}
template <class V> void describe(V& v, DisplayInfo& r) {
    v("id", r.id); v("name", r.name); v("width", r.width); v("height", r.height); v("isCurrent", r.isCurrent);
}
template <class V> void describe(V& v, HelloAck& r) {
    v("macName", r.macName); v("screenWidth", r.screenWidth); v("screenHeight", r.screenHeight);
    v("virtualDisplayActive", r.virtualDisplayActive); v("displays", r.displays); v("mediaToken", r.mediaToken);
    v("wolMAC", r.wolMAC); v("features", r.features); v("quicPort", r.quicPort);
}
template <class V> void describe(V& v, VideoConfig& r) {
    v("vps", r.vps); v("sps", r.sps); v("pps", r.pps); v("width", r.width); v("height", r.height);
}
template <class V> void describe(V& v, PointerEvent& r) {
    v("kind", r.kind); v("dx", r.dx); v("dy", r.dy); v("absX", r.absX); v("absY", r.absY); v("ts", r.ts);
}
template <class V> void describe(V& v, ScrollEvent& r) {
    v("dx", r.dx); v("dy", r.dy); v("phase", r.phase); v("vx", r.vx); v("vy", r.vy);
}
template <class V> void describe(V& v, KeyEvent& r) {
    v("keyCode", r.keyCode); v("isDown", r.isDown); v("modifiers", r.modifiers);
}
template <class V> void describe(V& v, TextInput& r) { v("text", r.text); v("modifiers", r.modifiers); }
template <class V> void describe(V& v, CursorPos& r) { v("x", r.x); v("y", r.y); v("ts", r.ts); }
template <class V> void describe(V& v, FrontApp& r) { v("name", r.name); v("bundleID", r.bundleID); }
template <class V> void describe(V& v, VirtualDisplayRequest& r) { v("enabled", r.enabled); }
template <class V> void describe(V& v, SelectDisplay& r) { v("displayID", r.displayID); }
template <class V> void describe(V& v, FileBegin& r) { v("fileID", r.fileID); v("name", r.name); v("size", r.size); }
template <class V> void describe(V& v, FileEnd& r) { v("fileID", r.fileID); }
template <class V> void describe(V& v, CaptureAlive& r) { v("alive", r.alive); v("encodeMs", r.encodeMs); }
template <class V> void describe(V& v, CaptureError& r) { v("reason", r.reason); v("kind", r.kind); }
template <class V> void describe(V& v, AudioConfig& r) {
    v("codec", r.codec); v("sampleRate", r.sampleRate); v("channels", r.channels); v("cookie", r.cookie);
}
template <class V> void describe(V& v, AudioControl& r) { v("enabled", r.enabled); }
template <class V> void describe(V& v, ClipboardSync& r) { v("text", r.text); }
template <class V> void describe(V& v, CursorShapeMsg& r) { v("shape", r.shape); }
template <class V> void describe(V& v, ClientStats& r) {
    v("decodeFPS", r.decodeFPS); v("flushes", r.flushes); v("rttMs", r.rttMs);
}
template <class V> void describe(V& v, ServerHello& r) { v("macDeviceID", r.macDeviceID); v("macName", r.macName); }
template <class V> void describe(V& v, Enroll& r) {
    v("deviceID", r.deviceID); v("deviceName", r.deviceName); v("publicKey", r.publicKey);
}
template <class V> void describe(V& v, EnrollResult& r) { v("approved", r.approved); v("macPublicKey", r.macPublicKey); }
template <class V> void describe(V& v, AuthChallenge& r) { v("nonce", r.nonce); }
template <class V> void describe(V& v, AuthResponse& r) { v("hmac", r.hmac); }
template <class V> void describe(V& v, AuthFailed& r) { v("reason", r.reason); }

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};
template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};
template <> struct IsVector<Bytes> : std::false_type {};  // a byte string is Base64 text

template <class T>
constexpr bool kIsEnum = std::is_same_v<T, PointerEvent::Kind> || std::is_same_v<T, ScrollEvent::Phase> ||
                         std::is_same_v<T, SystemGesture>;

template <class T>
constexpr bool kIsRecordless =
    std::is_same_v<T, Heartbeat> || std::is_same_v<T, RequestKeyframe> || std::is_same_v<T, PairRequired>;

// ---------------------------------------------------------------------------------------
// Encoding. Output keeps fields in declaration order (ordered_json), compact.

using OutJson = nlohmann::ordered_json;

class Writer {
public:
    bool failed = false;
    std::string failure;

    template <class T>
    OutJson value(const T& v) {
        if constexpr (IsOptional<T>::value) {
            return v ? value(*v) : OutJson();
        } else if constexpr (std::is_same_v<T, double>) {
            if (!std::isfinite(v)) fail("a double is not finite");
            return v;
        } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string> ||
                             std::is_integral_v<T>) {
            return v;
        } else if constexpr (std::is_same_v<T, Bytes>) {
            return Base64::encode(v);
        } else if constexpr (std::is_same_v<T, KeyModifiers>) {
            return v.rawValue;
        } else if constexpr (kIsEnum<T>) {
            return std::string(rawValue(v));
        } else if constexpr (IsVector<T>::value) {
            OutJson array = OutJson::array();
            for (const auto& element : v) array.push_back(value(element));
            return array;
        } else {
            OutJson object = OutJson::object();
            Fields fields{*this, object};
            // describe() takes its record by reference for both directions; the writer only reads.
            describe(fields, const_cast<T&>(v));
            return object;
        }
    }

private:
    struct Fields {
        Writer& writer;
        OutJson& object;
        template <class T>
        void operator()(const char* name, const T& field) {
            if constexpr (IsOptional<T>::value) {
                if (!field) return;  // absent fields are omitted
            }
            object[name] = writer.value(field);
        }
    };

    void fail(std::string why) {
        if (!failed) failure = std::move(why);
        failed = true;
    }
};

// ---------------------------------------------------------------------------------------
// Decoding.

using InJson = nlohmann::json;

class Reader {
public:
    std::string failure;

    bool fail(std::string why) {
        if (failure.empty()) failure = std::move(why);
        return false;
    }

    // Integers: a JSON integer within the field's range. An integral number written with a
    // fraction or exponent (1.0, 1e3) is taken at its exact value, as the phone's own JSON
    // decoder does; any other fraction fails.
    template <class T>
    bool integer(const InJson& j, T& out, const char* name) {
        using Limits = std::numeric_limits<T>;
        if (j.is_number_unsigned()) {
            const uint64_t u = j.get<uint64_t>();
            if (u > static_cast<uint64_t>(Limits::max())) return fail(std::string(name) + " is out of range");
            out = static_cast<T>(u);
            return true;
        }
        if (j.is_number_integer()) {
            const int64_t s = j.get<int64_t>();
            if (s < static_cast<int64_t>(Limits::min()) ||
                (s > 0 && static_cast<uint64_t>(s) > static_cast<uint64_t>(Limits::max()))) {
                return fail(std::string(name) + " is out of range");
            }
            out = static_cast<T>(s);
            return true;
        }
        if (j.is_number_float()) {
            const double d = j.get<double>();
            // Limits::max() + 1 is a power of two and exact as a double.
            const double upper = std::ldexp(1.0, Limits::digits);
            const double lower = Limits::is_signed ? -upper : 0.0;
            if (!(d >= lower && d < upper)) return fail(std::string(name) + " is out of range");
            if (std::trunc(d) != d) return fail(std::string(name) + " is not an integer");
            out = static_cast<T>(d);
            return true;
        }
        return fail(std::string(name) + " is not a number");
    }

    template <class T>
    bool value(const InJson& j, T& out, const char* name) {
        if constexpr (std::is_same_v<T, double>) {
            if (!j.is_number()) return fail(std::string(name) + " is not a number");
            out = j.get<double>();
            return true;
        } else if constexpr (std::is_same_v<T, bool>) {
            if (!j.is_boolean()) return fail(std::string(name) + " is not a flag");
            out = j.get<bool>();
            return true;
        } else if constexpr (std::is_integral_v<T>) {
            return integer(j, out, name);
        } else if constexpr (std::is_same_v<T, std::string>) {
            if (!j.is_string()) return fail(std::string(name) + " is not text");
            out = j.get_ref<const std::string&>();
            return true;
        } else if constexpr (std::is_same_v<T, Bytes>) {
            if (!j.is_string()) return fail(std::string(name) + " is not Base64 text");
            auto bytes = Base64::decode(j.get_ref<const std::string&>());
            if (!bytes) return fail(std::string(name) + " is not valid Base64");
            out = std::move(*bytes);
            return true;
        } else if constexpr (std::is_same_v<T, KeyModifiers>) {
            uint8_t raw = 0;
            if (!integer(j, raw, name)) return false;
            out = KeyModifiers(raw);
            return true;
        } else if constexpr (kIsEnum<T>) {
            if (!j.is_string()) return fail(std::string(name) + " is not text");
            auto parsed = fromRawValue<T>(j.get_ref<const std::string&>());
            if (!parsed) return fail(std::string(name) + " names no known case");
            out = *parsed;
            return true;
        } else if constexpr (IsVector<T>::value) {
            if (!j.is_array()) return fail(std::string(name) + " is not a list");
            T list;
            list.reserve(j.size());
            for (const auto& element : j) {
                typename T::value_type item{};
                if (!value(element, item, name)) return false;
                list.push_back(std::move(item));
            }
            out = std::move(list);
            return true;
        } else {
            if (!j.is_object()) return fail(std::string(name) + " is not an object");
            Fields fields{*this, j};
            describe(fields, out);
            return failure.empty();
        }
    }

private:
    struct Fields {
        Reader& reader;
        const InJson& object;
        template <class T>
        void operator()(const char* name, T& field) {
            if (!reader.failure.empty()) return;
            auto it = object.find(name);
            const bool absent = it == object.end() || it->is_null();
            if constexpr (IsOptional<T>::value) {
                if (absent) {
                    field.reset();
                    return;
                }
                typename T::value_type inner{};
                if (reader.value(*it, inner, name)) field = std::move(inner);
            } else {
                if (absent) {
                    reader.fail(std::string("missing ") + name);
                    return;
                }
                reader.value(*it, field, name);
            }
        }
    };
};

template <class T>
Result<ControlMessage> decodeCase(const InJson& body) {
    if constexpr (kIsRecordless<T>) {
        return ControlMessage(T{});  // the object's content is not read
    } else {
        auto it = body.find("_0");
        if (it == body.end()) return Failure{"missing _0"};
        Reader reader;
        T record{};
        if (!reader.value(*it, record, "_0")) return Failure{reader.failure};
        return ControlMessage(std::move(record));
    }
}

using CaseDecoder = Result<ControlMessage> (*)(const InJson&);

template <size_t... I>
constexpr std::array<CaseDecoder, sizeof...(I)> makeDecoders(std::index_sequence<I...>) {
    return {&decodeCase<std::variant_alternative_t<I, ControlMessage::Value>>...};
}
constexpr auto kDecoders = makeDecoders(std::make_index_sequence<ControlMessage::caseCount>());

}  // namespace

Result<std::string> ControlMessage::encode() const {
    Writer writer;
    OutJson body = std::visit(
        [&writer](const auto& record) -> OutJson {
            using T = std::decay_t<decltype(record)>;
            if constexpr (kIsRecordless<T>) {
                return OutJson::object();
            } else {
                OutJson wrapped = OutJson::object();
                wrapped["_0"] = writer.value(record);
                return wrapped;
            }
        },
        value_);
    if (writer.failed) return Failure{writer.failure};
    OutJson envelope = OutJson::object();
    envelope[std::string(caseName())] = std::move(body);
    // Text from the host (window titles, clipboard) may not be valid UTF-8; invalid bytes
    // become U+FFFD rather than failing the whole message.
    return envelope.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

Result<Bytes> ControlMessage::encodedFrame() const {
    auto json = encode();
    if (!json) return Failure{json.error()};
    return WireFrame::encode(WireKind::control,
                             std::span(reinterpret_cast<const uint8_t*>(json->data()), json->size()));
}

Result<ControlMessage> ControlMessage::decode(std::span<const uint8_t> json) {
    return decode(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
}

namespace {
// The deepest nesting of arrays and objects in `json`, counted outside strings; stops
// counting once it passes `limit`. Malformed text is left to the parser.
size_t nestingDepth(std::string_view json, size_t limit) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : json) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}
}  // namespace

Result<ControlMessage> ControlMessage::decode(std::string_view json) {
    // No message nests deeper than a few levels; a peer's deeply nested text is refused
    // before a document is built for it.
    if (nestingDepth(json, maxNestingDepth) > maxNestingDepth) return Failure{"The JSON nests too deeply."};
    const InJson document = InJson::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) return Failure{"The data is not valid JSON."};
    if (!document.is_object()) return Failure{"The top level is not an object."};

    std::optional<Case> found;
    const InJson* body = nullptr;
    size_t matches = 0;
    for (auto it = document.begin(); it != document.end(); ++it) {
        if (auto c = caseNamed(it.key())) {
            ++matches;
            found = c;
            body = &it.value();
        }
    }
    if (matches != 1) return Failure{std::string(kInvalidKeyCountDescription)};
    if (!body->is_object()) return Failure{std::string(caseName(*found)) + " is not an object"};
    return kDecoders[static_cast<size_t>(*found)](*body);
}

ControlMessage::ControlMessage(const ControlMessage&) = default;
ControlMessage::ControlMessage(ControlMessage&&) noexcept = default;
ControlMessage& ControlMessage::operator=(const ControlMessage&) = default;
ControlMessage& ControlMessage::operator=(ControlMessage&&) noexcept = default;
ControlMessage::~ControlMessage() = default;
bool ControlMessage::operator==(const ControlMessage&) const = default;

}  // namespace df
