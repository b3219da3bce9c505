#include "tools/phone/Script.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace df::phone {

namespace {
Failure lineFailure(int line, const std::string& why) {
    return Failure{"script line " + std::to_string(line) + ": " + why};
}
}  // namespace

Result<std::optional<ScriptStep>> parseScriptLine(std::string_view text, int line) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || text[first] == '#')
        return std::optional<ScriptStep>{};

    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return lineFailure(line, "not valid JSON");
    if (!json.is_object()) return lineFailure(line, "a step must be a JSON object");

    ScriptStep step;
    step.line = line;
    if (auto it = json.find("delay"); it != json.end()) {
        if (!it->is_number()) return lineFailure(line, "\"delay\" must be a number of seconds");
        const double delay = it->get<double>();
        if (!std::isfinite(delay) || delay < 0)
            return lineFailure(line, "\"delay\" must be finite and not negative");
        step.delay = delay;
        json.erase(it);
    }
    if (auto it = json.find("sendFile"); it != json.end()) {
        if (!it->is_string() || it->get<std::string>().empty())
            return lineFailure(line, "\"sendFile\" must name a file");
        step.sendFile = it->get<std::string>();
        json.erase(it);
    }
    if (!json.empty()) {
        if (step.sendFile)
            return lineFailure(line, "a step sends a file or a message, not both");
        auto message = ControlMessage::decode(json.dump());
        if (!message) return lineFailure(line, "not a control message: " + message.error());
        step.message = std::move(message).value();
    }
    return std::optional<ScriptStep>{std::move(step)};
}

Result<std::vector<ScriptStep>> parseScript(std::istream& in) {
    std::vector<ScriptStep> steps;
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        auto step = parseScriptLine(text, line);
        if (!step) return Failure{step.error()};
        if (step.value()) steps.push_back(std::move(*step.value()));
    }
    return steps;
}

}  // namespace df::phone
