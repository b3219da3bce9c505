#include "tools/phone/CommandLine.h"

#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <map>

namespace df::phone {

namespace {

using Pairs = std::map<std::string, std::string>;

Result<Pairs> parsePairs(const std::string& spec, const std::vector<std::string>& known) {
    Pairs pairs;
    size_t pos = 0;
    while (pos <= spec.size()) {
        const size_t comma = spec.find(',', pos);
        const std::string item = spec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? spec.size() + 1 : comma + 1;
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0)
            return Failure{"expected key=value, got \"" + item + "\""};
        const std::string key = item.substr(0, eq);
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::string list;
            for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
            return Failure{"unknown key \"" + key + "\" (known: " + list + ")"};
        }
        if (pairs.count(key)) return Failure{"\"" + key + "\" given twice"};
        pairs[key] = item.substr(eq + 1);
    }
    return pairs;
}

Result<double> toDouble(const std::string& key, const std::string& text) {
    double v = 0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || !std::isfinite(v))
        return Failure{"\"" + key + "\" must be a number, got \"" + text + "\""};
    return v;
}

Result<int64_t> toInt(const std::string& key, const std::string& text, int64_t lo, int64_t hi) {
    int64_t v = 0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v < lo || v > hi)
        return Failure{"\"" + key + "\" must be a whole number from " + std::to_string(lo) + " to " +
                       std::to_string(hi) + ", got \"" + text + "\""};
    return v;
}

Result<bool> toBool(const std::string& key, const std::string& text) {
    if (text == "true" || text == "on" || text == "1" || text == "yes") return true;
    if (text == "false" || text == "off" || text == "0" || text == "no") return false;
    return Failure{"\"" + key + "\" must be true or false, got \"" + text + "\""};
}

std::vector<std::string> splitList(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t at = text.find(sep, pos);
        std::string item = text.substr(pos, at == std::string::npos ? std::string::npos : at - pos);
        if (!item.empty()) out.push_back(item);
        if (at == std::string::npos) break;
        pos = at + 1;
    }
    return out;
}

#define DF_TRY(var, expr)                          \
    auto var##_r = (expr);                         \
    if (!var##_r) return Failure{var##_r.error()}; \
    auto var = std::move(var##_r).value()

Result<std::optional<double>> optionalDouble(const Pairs& p, const std::string& key) {
    auto it = p.find(key);
    if (it == p.end()) return std::optional<double>{};
    DF_TRY(v, toDouble(key, it->second));
    return std::optional<double>{v};
}

}  // namespace

Result<ControlMessage> parsePointer(const std::string& spec) {
    DF_TRY(p, parsePairs(spec, {"kind", "dx", "dy", "absX", "absY", "ts"}));
    PointerEvent e;
    if (auto it = p.find("kind"); it != p.end()) {
        const auto kind = fromRawValue<PointerEvent::Kind>(it->second);
        if (!kind)
            return Failure{"pointer kind must be move, leftDown, leftUp, leftClick, doubleClick or "
                           "rightClick, got \"" + it->second + "\""};
        e.kind = *kind;
    }
    DF_TRY(dx, optionalDouble(p, "dx"));
    DF_TRY(dy, optionalDouble(p, "dy"));
    DF_TRY(absX, optionalDouble(p, "absX"));
    DF_TRY(absY, optionalDouble(p, "absY"));
    DF_TRY(ts, optionalDouble(p, "ts"));
    if (absX.has_value() != absY.has_value()) return Failure{"absX and absY go together"};
    e.dx = dx.value_or(0);
    e.dy = dy.value_or(0);
    e.absX = absX;
    e.absY = absY;
    e.ts = ts;
    return ControlMessage(e);
}

Result<ControlMessage> parseScroll(const std::string& spec) {
    DF_TRY(p, parsePairs(spec, {"dx", "dy", "phase", "vx", "vy"}));
    ScrollEvent e;
    DF_TRY(dx, optionalDouble(p, "dx"));
    DF_TRY(dy, optionalDouble(p, "dy"));
    DF_TRY(vx, optionalDouble(p, "vx"));
    DF_TRY(vy, optionalDouble(p, "vy"));
    e.dx = dx.value_or(0);
    e.dy = dy.value_or(0);
    e.vx = vx;
    e.vy = vy;
    if (auto it = p.find("phase"); it != p.end()) {
        const auto phase = fromRawValue<ScrollEvent::Phase>(it->second);
        if (!phase) return Failure{"scroll phase must be began, changed or ended, got \"" + it->second + "\""};
        e.phase = *phase;
    }
    return ControlMessage(e);
}

Result<QualityRequest> parseQuality(const std::string& spec) {
    DF_TRY(p, parsePairs(spec, {"maxFPS", "bitrateMbps", "maxLongEdge", "adaptive", "audioCodecs", "chroma444"}));
    // What a phone on a good network asks for when the person has not chosen.
    QualityRequest q(60, 15.0, 1920, true, std::vector<std::string>{"opus", "aac-lc"});
    if (auto it = p.find("maxFPS"); it != p.end()) {
        DF_TRY(v, toInt("maxFPS", it->second, 1, 240));
        q.maxFPS = v;
    }
    if (auto it = p.find("bitrateMbps"); it != p.end()) {
        DF_TRY(v, toDouble("bitrateMbps", it->second));
        if (v <= 0) return Failure{"\"bitrateMbps\" must be above 0"};
        q.bitrateMbps = v;
    }
    if (auto it = p.find("maxLongEdge"); it != p.end()) {
        DF_TRY(v, toInt("maxLongEdge", it->second, 16, 16384));
        q.maxLongEdge = v;
    }
    if (auto it = p.find("adaptive"); it != p.end()) {
        DF_TRY(v, toBool("adaptive", it->second));
        q.adaptive = v;
    }
    if (auto it = p.find("audioCodecs"); it != p.end())
        q.audioCodecs = it->second == "none" ? std::vector<std::string>{} : splitList(it->second, ':');
    if (auto it = p.find("chroma444"); it != p.end()) {
        DF_TRY(v, toBool("chroma444", it->second));
        q.chroma444 = v;
    }
    return q;
}

std::string usage() {
    return R"(duskferry-phone: the reference phone client of the DuskFerry agent.

Finding the agent
  --host ADDRESS           the agent's address (otherwise found through Avahi DNS-SD)
  --port N                 its TCP port (default 52525)
  --discover               list the agents on the network and exit
  --discover-timeout S     how long to browse (default 3)
  --agent-name NAME        when discovering, use the instance of this name
  --code CODE              the six-digit pairing code shown on the computer
                           (or the environment variable DUSKFERRY_CODE)
Identity
  --name NAME              this phone's display name (kept for later runs)
  --identity-dir DIR       where the identity is kept (default $XDG_DATA_HOME/duskferry-phone)
Session
  --duration S             end S seconds after the session starts (default: run until
                           interrupted, or until the script is done)
  --media auto|quic|tcp|none   the media channel (default auto: QUIC when offered, else TCP)
  --no-media               same as --media none
  --features LIST          feature words in hello, comma-separated (default cstats,quic; "" none)
  --hello-quality SPEC     the quality request in hello (default: the standard request)
  --no-hello-quality       send hello without a quality request
  --heartbeat S            heartbeat interval (default 4)
Messages sent once the session runs, in the order given
  --pointer SPEC           kind=move|leftDown|leftUp|leftClick|doubleClick|rightClick,
                           dx=,dy= (relative), absX=,absY= (0..1), ts= (echoed in cursorPos)
  --scroll SPEC            dx=,dy=,phase=began|changed|ended,vx=,vy=
  --key SPEC               keyCode=N (host virtual key code),down=true|false,modifiers=N
                           (1 command, 2 option, 4 control, 8 shift); without down: down then up
  --text TEXT              text to type      --text-modifiers N   modifiers for --text
  --gesture NAME           missionControl|appExpose|spaceLeft|spaceRight|showDesktop
  --quality SPEC           maxFPS=,bitrateMbps=,maxLongEdge=,adaptive=,audioCodecs=a:b,chroma444=
  --request-keyframe       ask for a keyframe
  --audio on|off           audioControl
  --virtual-display on|off virtualDisplay
  --select-display ID      selectDisplay
  --clipboard TEXT         clipboard
  --client-stats SPEC      decodeFPS=,flushes=,rttMs=
  --client-stats-every S   send clientStats with measured decode rate, decoder errors
                           (as flushes) and heartbeat round trip every S seconds
  --send JSON              any control message in its wire JSON form
  --send-file PATH         send a file (repeatable)
  --script FILE|-          JSON lines of steps: a control message with an optional "delay"
                           (seconds before it), {"delay":S} alone, or {"sendFile":PATH}
What it receives
  --trace                  print every message and frame with a timestamp
  --stats                  per-second and total statistics as key=value lines
  --hevc FILE              write the video as an Annex B .hevc stream
  --snapshot FILE.png      write the last decoded picture at the end
  --wav FILE               write the decoded audio
  --no-decode              do not decode video (frames are still checked)
  --view                   show the stream live in a window whose mouse, wheel and
                           keyboard go to the computer as the phone's input (needs a display)
  --downloads DIR          keep files the computer sends here (otherwise checked only)
  --files-over-media       send files on the media channel once it is open (QUIC, else TCP)

Exit status: 0 done, 1 usage or local error, 2 agent not found, 3 handshake failed (wrong
code), 4 authentication failed, 5 pairing declined, 6 locked out, 7 connection lost.
)";
}

Result<CommandLine> parseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    bool helloQualitySet = false;
    std::optional<uint8_t> textModifiers;
    std::vector<size_t> textIndexes;  // messages whose modifiers --text-modifiers sets
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> Result<std::string> {
            if (i + 1 >= args.size()) return Failure{a + " needs a value"};
            return args[++i];
        };
        auto fail = [&](const std::string& why) { return Failure{a + ": " + why}; };
        auto& msgs = cl.phone.messages;
        if (a == "-h" || a == "--help") {
            cl.help = true;
        } else if (a == "--host") {
            DF_TRY(v, value());
            cl.host = v;
        } else if (a == "--port") {
            DF_TRY(v, value());
            DF_TRY(n, toInt("port", v, 1, 65535));
            cl.port = static_cast<uint16_t>(n);
        } else if (a == "--discover") {
            cl.discoverOnly = true;
        } else if (a == "--discover-timeout") {
            DF_TRY(v, value());
            DF_TRY(n, toDouble("timeout", v));
            if (n <= 0) return fail("must be above 0");
            cl.discoverTimeout = n;
        } else if (a == "--agent-name") {
            DF_TRY(v, value());
            cl.agentName = v;
        } else if (a == "--code") {
            DF_TRY(v, value());
            cl.phone.code = v;
        } else if (a == "--name") {
            DF_TRY(v, value());
            if (v.empty()) return fail("the name must not be empty");
            cl.name = v;
        } else if (a == "--identity-dir") {
            DF_TRY(v, value());
            cl.identityDir = v;
        } else if (a == "--duration") {
            DF_TRY(v, value());
            DF_TRY(n, toDouble("duration", v));
            if (n <= 0) return fail("must be above 0");
            cl.phone.duration = n;
        } else if (a == "--heartbeat") {
            DF_TRY(v, value());
            DF_TRY(n, toDouble("heartbeat", v));
            if (n <= 0) return fail("must be above 0");
            cl.phone.heartbeatInterval = n;
        } else if (a == "--no-media") {
            cl.phone.media = MediaMode::none;
        } else if (a == "--media") {
            DF_TRY(v, value());
            if (v == "auto") cl.phone.media = MediaMode::automatic;
            else if (v == "quic") cl.phone.media = MediaMode::quic;
            else if (v == "tcp") cl.phone.media = MediaMode::tcp;
            else if (v == "none") cl.phone.media = MediaMode::none;
            else return fail("must be auto, quic, tcp or none");
        } else if (a == "--features") {
            DF_TRY(v, value());
            cl.phone.features = splitList(v, ',');
        } else if (a == "--hello-quality") {
            DF_TRY(v, value());
            DF_TRY(q, parseQuality(v));
            cl.phone.quality = q;
            helloQualitySet = true;
        } else if (a == "--no-hello-quality") {
            cl.phone.quality.reset();
            helloQualitySet = true;
        } else if (a == "--pointer") {
            DF_TRY(v, value());
            auto m = parsePointer(v);
            if (!m) return fail(m.error());
            msgs.push_back(std::move(m).value());
        } else if (a == "--scroll") {
            DF_TRY(v, value());
            auto m = parseScroll(v);
            if (!m) return fail(m.error());
            msgs.push_back(std::move(m).value());
        } else if (a == "--key") {
            DF_TRY(v, value());
            auto p = parsePairs(v, {"keyCode", "down", "modifiers"});
            if (!p) return fail(p.error());
            if (!p->count("keyCode")) return fail("keyCode= is required");
            auto code = toInt("keyCode", p->at("keyCode"), 0, 65535);
            if (!code) return fail(code.error());
            int64_t mods = 0;
            if (p->count("modifiers")) {
                auto m = toInt("modifiers", p->at("modifiers"), 0, 255);
                if (!m) return fail(m.error());
                mods = *m;
            }
            const auto kc = static_cast<uint16_t>(*code);
            const KeyModifiers km(static_cast<uint8_t>(mods));
            if (p->count("down")) {
                auto d = toBool("down", p->at("down"));
                if (!d) return fail(d.error());
                msgs.push_back(KeyEvent(kc, *d, km));
            } else {
                msgs.push_back(KeyEvent(kc, true, km));
                msgs.push_back(KeyEvent(kc, false, km));
            }
        } else if (a == "--text") {
            DF_TRY(v, value());
            textIndexes.push_back(msgs.size());
            msgs.push_back(TextInput(v, KeyModifiers()));
        } else if (a == "--text-modifiers") {
            DF_TRY(v, value());
            DF_TRY(n, toInt("modifiers", v, 0, 255));
            textModifiers = static_cast<uint8_t>(n);
        } else if (a == "--gesture") {
            DF_TRY(v, value());
            const auto g = fromRawValue<SystemGesture>(v);
            if (!g) return fail("must be missionControl, appExpose, spaceLeft, spaceRight or showDesktop");
            msgs.push_back(*g);
        } else if (a == "--quality") {
            DF_TRY(v, value());
            auto q = parseQuality(v);
            if (!q) return fail(q.error());
            msgs.push_back(std::move(q).value());
        } else if (a == "--request-keyframe") {
            msgs.push_back(RequestKeyframe{});
        } else if (a == "--audio" || a == "--virtual-display") {
            DF_TRY(v, value());
            auto on = toBool(a.substr(2), v);
            if (!on) return fail(on.error());
            if (a == "--audio") msgs.push_back(AudioControl(*on));
            else msgs.push_back(VirtualDisplayRequest(*on));
        } else if (a == "--select-display") {
            DF_TRY(v, value());
            DF_TRY(n, toInt("display", v, 0, 4294967295LL));
            msgs.push_back(SelectDisplay(static_cast<uint32_t>(n)));
        } else if (a == "--clipboard") {
            DF_TRY(v, value());
            msgs.push_back(ClipboardSync(v));
        } else if (a == "--client-stats") {
            DF_TRY(v, value());
            auto p = parsePairs(v, {"decodeFPS", "flushes", "rttMs"});
            if (!p) return fail(p.error());
            ClientStats s;
            for (auto [key, field] : {std::pair{"decodeFPS", &s.decodeFPS}, {"flushes", &s.flushes}, {"rttMs", &s.rttMs}}) {
                if (!p->count(key)) continue;
                auto n = toInt(key, p->at(key), 0, INT64_MAX);
                if (!n) return fail(n.error());
                *field = *n;
            }
            msgs.push_back(s);
        } else if (a == "--client-stats-every") {
            DF_TRY(v, value());
            DF_TRY(n, toDouble("interval", v));
            if (n <= 0) return fail("must be above 0");
            cl.phone.clientStatsInterval = n;
        } else if (a == "--send") {
            DF_TRY(v, value());
            auto m = ControlMessage::decode(std::string_view(v));
            if (!m) return fail("not a control message: " + m.error());
            msgs.push_back(std::move(m).value());
        } else if (a == "--send-file") {
            DF_TRY(v, value());
            cl.phone.sendFiles.emplace_back(v);
        } else if (a == "--script") {
            DF_TRY(v, value());
            cl.scriptPath = v;
            cl.phone.hasScript = true;
        } else if (a == "--trace") {
            cl.phone.trace = true;
        } else if (a == "--stats") {
            cl.phone.stats = true;
        } else if (a == "--hevc") {
            DF_TRY(v, value());
            cl.phone.mediaOptions.hevcPath = v;
        } else if (a == "--snapshot") {
            DF_TRY(v, value());
            cl.phone.mediaOptions.snapshotPath = v;
        } else if (a == "--wav") {
            DF_TRY(v, value());
            cl.phone.mediaOptions.wavPath = v;
        } else if (a == "--view") {
            cl.view = true;
        } else if (a == "--no-decode") {
            cl.phone.mediaOptions.decodeVideo = false;
        } else if (a == "--downloads") {
            DF_TRY(v, value());
            cl.phone.downloadDir = v;
        } else if (a == "--files-over-media") {
            cl.phone.filesOverMedia = true;
        } else {
            return Failure{"unknown option " + a + " (see --help)"};
        }
    }
    if (textModifiers)
        for (size_t i : textIndexes)
            if (auto* t = cl.phone.messages[i].get<TextInput>()) t->modifiers = KeyModifiers(*textModifiers);
    if (!helloQualitySet) cl.phone.quality = parseQuality("").value();
    if (cl.phone.code.empty())
        if (const char* env = std::getenv("DUSKFERRY_CODE")) cl.phone.code = env;
    if (!cl.help && !cl.discoverOnly && cl.phone.code.empty())
        return Failure{"the pairing code is missing: give --code with the code shown on the computer"};
    if (!cl.phone.mediaOptions.snapshotPath.empty() && !cl.phone.mediaOptions.decodeVideo)
        return Failure{"--snapshot needs the video decoded; drop --no-decode"};
    if (cl.view && !cl.phone.mediaOptions.decodeVideo)
        return Failure{"--view needs the video decoded; drop --no-decode"};
    return cl;
}

}  // namespace df::phone
