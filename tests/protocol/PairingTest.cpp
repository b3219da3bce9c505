#include "protocol/Pairing.h"

#include "protocol/SecureRandom.h"
#include "tests/support/Hex.h"
#include "tests/support/PythonCheck.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <set>
#include <sstream>

namespace df {
namespace {

TEST(PairingTest, CodesAreSixDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string code = Pairing::makeCode();
        ASSERT_EQ(code.size(), 6u) << code;
        for (char c : code) ASSERT_TRUE(c >= '0' && c <= '9') << code;
        seen.insert(code);
    }
    // 2000 draws from a million values: a repeat or two is possible, a stuck generator is not.
    EXPECT_GT(seen.size(), 1990u);
}

TEST(PairingTest, FormatPadsWithLeadingZeros) {
    EXPECT_EQ(Pairing::formatCode(0), "000000");
    EXPECT_EQ(Pairing::formatCode(42), "000042");
    EXPECT_EQ(Pairing::formatCode(99999), "099999");
    EXPECT_EQ(Pairing::formatCode(999999), "999999");
}

// The draw keeps the high word of r * 10^6 and redraws while the low word is below
// (2^64 - 10^6) mod 10^6 = 551616.
TEST(PairingTest, UniformDrawRejectsTheBiasedLowWords) {
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    const struct {
        std::vector<uint64_t> draws;
        uint64_t value;
        size_t drawsUsed;
    } cases[] = {
        {{1}, 0, 1},                             // low word 10^6: kept
        {{max}, 999999, 1},                      // low word 2^64 - 10^6: kept
        {{0, 1}, 0, 2},                          // low word 0: redrawn
        {{uint64_t{1} << 63, max}, 999999, 2},   // 2^63 * 10^6 has low word 0: redrawn
        {{18446744073710u, 7}, 0, 2},            // low word 448384 < 551616: redrawn
        {{18446744073710u * 2}, 2, 1},           // low word 896768: kept
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::deque<uint64_t> draws(cases[i].draws.begin(), cases[i].draws.end());
        size_t used = 0;
        const uint64_t value = Pairing::uniformCodeValue([&] {
            ++used;
            const uint64_t r = draws.front();
            draws.pop_front();
            return r;
        });
        EXPECT_EQ(value, cases[i].value) << "case " << i;
        EXPECT_EQ(used, cases[i].drawsUsed) << "case " << i;
    }
}

TEST(PairingTest, PskMaterialMatchesAnIndependentSha256) {
    DF_REQUIRE_PYTHON_REFERENCE();
    const std::vector<std::string> codes{"000000", "123456", "999999", "", "12345", "not-a-code \xC3\xA9"};
    std::string args;  // "h" + hex, so that the empty code is still an argument
    for (const auto& code : codes) args += " h" + testsupport::toHex(Bytes(code.begin(), code.end()));
    const auto out = testsupport::runPython(
        "import sys, hashlib\n"
        "for a in sys.argv[1:]:\n"
        "    print(hashlib.sha256(b\"duskferry-psk-v1:\" + bytes.fromhex(a[1:])).hexdigest())\n",
        args);
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    for (const auto& code : codes) {
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        const auto material = Pairing::pskMaterial(code);
        EXPECT_EQ(testsupport::toHex(material.key), expected) << code;
        EXPECT_EQ(material.identity, (Bytes{'d', 'u', 's', 'k', 'f', 'e', 'r', 'r', 'y'}));
    }
}

namespace {
int g_failuresLeft = 0;
bool flakySource(uint8_t* out, size_t size) {
    if (g_failuresLeft > 0) {
        --g_failuresLeft;
        return false;
    }
    for (size_t i = 0; i < size; ++i) out[i] = 0x11;
    return true;
}
bool brokenSource(uint8_t*, size_t) { return false; }
}  // namespace

TEST(PairingDeathTest, AFailingGeneratorStopsTheProcessInsteadOfYieldingAPredictableCode) {
    EXPECT_DEATH(
        {
            SecureRandom::setSourceForTesting(&brokenSource);
            Pairing::makeCode();
        },
        "secure random generator failed");
}

TEST(PairingTest, ATransientGeneratorFailureIsRetried) {
    g_failuresLeft = 2;
    SecureRandom::setSourceForTesting(&flakySource);
    const std::string code = Pairing::makeCode();
    SecureRandom::setSourceForTesting(nullptr);
    // r = 0x1111111111111111: high word of r * 10^6 is 66666.
    EXPECT_EQ(code, "066666");
}

}  // namespace
}  // namespace df
