#pragma once
// The client's script mode: one step per line, read from a file or standard input.
//
//   # comments and blank lines are skipped
//   {"delay":0.5,"pointer":{"_0":{"kind":"move","dx":10,"dy":0,"ts":1.0}}}
//   {"delay":1}                            wait one second, send nothing
//   {"sendFile":"/tmp/report.pdf"}         send a file as the phone does
//
// A line is a JSON object. "delay" (seconds, finite, not negative) is waited before the
// step runs; "sendFile" names a file to send; every other member is the control message
// itself, in the wire's JSON form, and must decode as one. Parsing is pure; the session
// runs the steps on its queue.

#include "protocol/ControlMessage.h"
#include "protocol/Result.h"

#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace df::phone {

struct ScriptStep {
    int line = 0;
    double delay = 0;
    std::optional<ControlMessage> message;
    std::optional<std::string> sendFile;
};

/// One line: nothing for a blank or comment line, a step, or a failure naming the line.
Result<std::optional<ScriptStep>> parseScriptLine(std::string_view text, int line);

/// A whole script; the first bad line fails it (nothing is half-run).
Result<std::vector<ScriptStep>> parseScript(std::istream& in);

}  // namespace df::phone
