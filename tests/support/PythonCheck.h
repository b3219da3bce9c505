#pragma once
// Runs a short python3 script as an independent reference implementation and returns its
// standard output. Tests skip when python3 or its `cryptography` package is missing, and
// fail instead when CI=true.

#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace df::testsupport {

/// Output of `python3 -c script args...`, or nothing when it could not run or failed.
inline std::optional<std::string> runPython(const std::string& script, const std::string& args = "") {
    // The script is passed in single quotes; the scripts used here contain none.
    const std::string command = "python3 -c '" + script + "' " + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    if (pclose(pipe) != 0) return std::nullopt;
    return out;
}

inline bool referenceAvailable() {
    static const bool available = runPython("import cryptography.hazmat.primitives.asymmetric.ec").has_value();
    return available;
}

#define DF_REQUIRE_PYTHON_REFERENCE()                                                        \
    do {                                                                                    \
        if (!::df::testsupport::referenceAvailable()) {                                         \
            if (::df::testsupport::underCI()) FAIL() << "python3-cryptography is required";     \
            GTEST_SKIP() << "python3-cryptography is not installed";                        \
        }                                                                                   \
    } while (0)

}  // namespace df::testsupport
