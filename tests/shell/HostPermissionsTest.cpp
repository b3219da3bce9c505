// What the panel's rows check on the real host: a private Xvfb has XTest, MIT-SHM and
// DAMAGE; a display that does not exist has none of them. The sound server and the DNS-SD
// daemon are checked against what the test services started (with CI=true they run).

#include "platform/linux/desktop/LinuxHostPermissions.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

namespace df {
namespace {

using Kind = HostPermissions::Kind;

TEST(HostPermissionsTest, TheXDisplayRowsFollowTheDisplay) {
    testsupport::Xvfb xvfb({640, 480});
    DF_REQUIRE_SERVICE(!xvfb.name().empty(), "Xvfb");
    auto present = createLinuxHostPermissions(xvfb.name());
    EXPECT_TRUE(present->check(Kind::displayInput));
    EXPECT_TRUE(present->check(Kind::screenCapture));
    auto missing = createLinuxHostPermissions(":987");
    EXPECT_FALSE(missing->check(Kind::displayInput));
    EXPECT_FALSE(missing->check(Kind::screenCapture));
}

TEST(HostPermissionsTest, SoundServerAndDnsSdDaemonAnswerWhenTheyRun) {
    auto host = createLinuxHostPermissions(":987");
    const bool pulse = std::system("pactl info >/dev/null 2>&1") == 0;
    DF_REQUIRE_SERVICE(pulse, "a sound server");
    EXPECT_TRUE(host->check(Kind::soundServer));
    const bool avahi = std::system("avahi-daemon --check 2>/dev/null") == 0;
    DF_REQUIRE_SERVICE(avahi, "avahi-daemon");
    EXPECT_TRUE(host->check(Kind::dnsSd));
}

}  // namespace
}  // namespace df
