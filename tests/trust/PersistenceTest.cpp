// What one process writes to the trust store and the settings, a fresh process reads back
// unchanged (and the other way round): these files are the user's trust data.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "protocol/DeviceAuth.h"
#include "tests/support/Hex.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace df {
namespace {

std::string hex(const Bytes& bytes) { return testsupport::toHex(bytes); }

std::string quoted(const std::string& arg) {
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// This process's view of the stores in a temporary directory, and the probe, a fresh
// process, over the same files.
class PersistenceTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    FileAgentKeychain keychain{dir.keychainDir()};
    TrustStore trust{keychain};
    FileSettingsStore store{dir.settingsFile()};
    AgentSettings settings{store};

    std::string probe(const std::vector<std::string>& args) {
        std::string command = std::string(DF_STORE_PROBE) + " " + quoted(dir.keychainDir()) + " " +
                              quoted(dir.settingsFile());
        for (const auto& arg : args) command += " " + quoted(arg);
        FILE* pipe = ::popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        if (pipe == nullptr) return {};
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << command;
        return out;
    }

    std::string expectedDump() {
        std::ostringstream out;
        for (const auto& device : trust.trustedDevices()) {
            out << "device " << device.id << "|" << device.name << "|" << TrustStore::formatDate(device.since) << "\n";
        }
        out << "macDeviceID " << trust.macDeviceID() << "\n";
        out << "macPublicKey " << hex(trust.macPublicKey()) << "\n";
        out << "pairingCode " << store.string(AgentSettings::kPairingCodeKey).value_or("-") << "\n";
        out << "lockOnDisconnect " << (settings.lockOnDisconnect() ? "true" : "false") << "\n";
        out << "languageOverride " << settings.languageOverride() << "\n";
        return out.str();
    }
};

TEST_F(PersistenceTest, AFreshProcessReadsBackWhatThisOneWrote) {
    auto phone = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(trust.trust("6F9619FF-8B86-D011-B42D-00C04FC964FF", "Anna’s iPhone", phone.publicKey));
    ASSERT_TRUE(trust.trust("phone:/2", "设备 2", DeviceAuth::generateKeyPair().publicKey));
    auto code = settings.loadOrCreatePairingCode();
    settings.setLockOnDisconnect(true);
    settings.setLanguageOverride("zh");

    auto expected = expectedDump();
    EXPECT_NE(expected.find("device phone:/2|设备 2|"), std::string::npos);
    EXPECT_NE(expected.find("pairingCode " + code), std::string::npos);
    EXPECT_NE(expected.find("languageOverride zh-Hans"), std::string::npos);
    EXPECT_EQ(probe({"dump"}), expected);

    // The fresh process holds the same private key: it accepts the phone's response.
    auto nonce = DeviceAuth::makeNonce();
    auto key = DeviceAuth::authenticationKey(phone.privateKey, trust.macPublicKey());
    ASSERT_TRUE(key);
    EXPECT_EQ(probe({"verify", "6F9619FF-8B86-D011-B42D-00C04FC964FF", hex(nonce), hex(DeviceAuth::response(*key, nonce))}),
              "true\n");
    EXPECT_EQ(probe({"verify", "6F9619FF-8B86-D011-B42D-00C04FC964FF", hex(nonce), hex(Bytes(32, 0))}), "false\n");
    // And reading changed nothing.
    EXPECT_EQ(expectedDump(), expected);
}

TEST_F(PersistenceTest, ThisProcessReadsBackWhatAFreshOneWrote) {
    auto phone = DeviceAuth::generateKeyPair();
    auto written = probe({"write", "PROBE-1", "Probe’s iPhone", hex(phone.publicKey)});
    EXPECT_EQ(written, expectedDump());

    auto devices = trust.trustedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "Probe’s iPhone");
    EXPECT_TRUE(settings.lockOnDisconnect());
    EXPECT_EQ(settings.languageOverride(), "fr");
    // A language chosen by another process applies here from the next start.
    EXPECT_EQ(L10n(store, {}).t("等待连接…"), "En attente de connexion…");
}

}  // namespace
}  // namespace df
