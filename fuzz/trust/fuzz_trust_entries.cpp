// Device IDs arrive from the phone and become key store file names; dates and names are
// read back from files anyone with the user's rights can damage. None of it may crash,
// and a file name must never leave the store's directory or lose information.

#include "DuskFerryAgent/shell/Utf8.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/AgentKeychain.h"

#include <cstdint>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decoded(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%') {
            check(i + 2 < name.size());
            int high = hexValue(name[i + 1]), low = hexValue(name[i + 2]);
            check(high >= 0 && low >= 0);
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    auto name = df::AgentKeychain::fileName(text);
    check(name.find('/') == std::string::npos);
    check(name.find('\0') == std::string::npos);
    check(name.empty() || name[0] != '.');
    check(decoded(name) == text);

    if (auto date = df::TrustStore::parseDate(text); date && text.ends_with('Z')) {
        check(df::TrustStore::parseDate(df::TrustStore::formatDate(*date)) == date);
    }

    auto length = df::Utf8::length(text);
    check(length <= size);
    check(df::Utf8::prefix(text, length) == text);
    check(df::Utf8::prefix(text, 8).size() <= size);

    if (df::TrustStore::canStore(text)) {
        check(text.find(',') == std::string_view::npos);
        check(df::Utf8::isValid(text));
    }
    return 0;
}
