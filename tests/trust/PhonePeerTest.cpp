// The trust store against an independent phone: Python's `cryptography` derives the key
// from the Mac's public key and answers the challenge; the store must accept it. The same
// peer checks that fresh Mac keys are compact-representable. Skips when Python or the
// module is missing, fails instead under CI=true.

#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "protocol/DeviceAuth.h"
#include "tests/support/Hex.h"
#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace df {
namespace {

std::string hex(const Bytes& bytes) { return testsupport::toHex(bytes); }
Bytes unhex(const std::string& text) { return testsupport::fromHex(text); }

std::string run(const std::string& command, int* status) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return {};
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = ::pclose(pipe);
    return out;
}

TEST(PhonePeerTest, AnIndependentPhoneAuthenticatesAndMacKeysAreCompact) {
    int status = 0;
    run("python3 -c 'import cryptography' 2>/dev/null", &status);
    if (status != 0) {
        if (testsupport::underCI()) FAIL() << "python3 with the cryptography module is required under CI";
        GTEST_SKIP() << "python3 with the cryptography module is not available";
    }

    fake::MemoryAgentKeychain keychain;
    TrustStore store(keychain);
    // Several fresh Mac keys: about half of all random keys are not compact.
    std::string macKeys;
    for (int i = 0; i < 12; ++i) {
        keychain.remove("macPrivateKey");
        macKeys += " " + hex(store.macPublicKey());
    }
    auto nonce = DeviceAuth::makeNonce();
    // The last key made is the one the store holds now; the peer uses the first one given.
    auto current = hex(store.macPublicKey());
    auto out = run(std::string("python3 ") + DF_PHONE_PEER + " " + hex(nonce) + " " + current + macKeys, &status);
    ASSERT_EQ(status, 0) << out;

    std::istringstream lines(out);
    std::string phonePublic, response, line;
    std::getline(lines, phonePublic);
    std::getline(lines, response);
    int compact = 0, total = 0;
    while (std::getline(lines, line)) {
        ++total;
        compact += line == "compact";
    }
    EXPECT_EQ(total, 13);
    EXPECT_EQ(compact, 13);

    ASSERT_TRUE(store.trust("PY-PHONE", "Python", unhex(phonePublic)));
    EXPECT_TRUE(store.verify("PY-PHONE", nonce, unhex(response)));
    EXPECT_FALSE(store.verify("PY-PHONE", DeviceAuth::makeNonce(), unhex(response)));
}

}  // namespace
}  // namespace df
