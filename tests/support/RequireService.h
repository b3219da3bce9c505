#pragma once
// Tests that need a service of the machine (an X display, avahi-daemon, a peer program)
// skip when it is missing, except under CI (CI=true), where a missing service is a failure.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace df::testsupport {

inline bool underCI() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

/// True when `tool` is a command on PATH.
inline bool haveTool(const std::string& tool) {
    std::string command = "command -v " + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace df::testsupport

/// Skips the test when `cond` is false (fails it under CI); `what` names the service.
#define DF_REQUIRE_SERVICE(cond, what)                                                     \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            if (::df::testsupport::underCI()) FAIL() << what << " is missing under CI";    \
            GTEST_SKIP() << what << " is not available";                                   \
        }                                                                                  \
    } while (0)

/// Skips the test when a command-line tool is missing (fails it under CI).
#define DF_REQUIRE_TOOL(tool) DF_REQUIRE_SERVICE(::df::testsupport::haveTool(tool), tool)
