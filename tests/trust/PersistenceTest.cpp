// What one process writes to the trust store and the settings, a fresh process reads back
// unchanged (and the other way round): these files are the user's trust data.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "protocol/DeviceAuth.h"
#include "tests/shell/TempHome.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace df {
namespace {

std::string hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

std::string quoted(const std::string& arg) {
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs the probe in a fresh process (same environment: the same temporary home).
std::string probe(const std::vector<std::string>& args) {
    std::string command = DF_STORE_PROBE;
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
    for (const auto& device : TrustStore::trustedDevices()) {
        out << "device " << device.id << "|" << device.name << "|" << TrustStore::formatDate(device.since) << "\n";
    }
    out << "macDeviceID " << TrustStore::macDeviceID() << "\n";
    out << "macPublicKey " << hex(TrustStore::macPublicKey()) << "\n";
    out << "pairingCode " << SettingsStore::standard().string(AgentSettings::kPairingCodeKey).value_or("-") << "\n";
    out << "lockOnDisconnect " << (AgentSettings::lockOnDisconnect() ? "true" : "false") << "\n";
    out << "languageOverride " << L10n::override() << "\n";
    return out.str();
}

TEST(PersistenceTest, AFreshProcessReadsBackWhatThisOneWrote) {
    test::TempHome home;
    auto phone = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(TrustStore::trust("6F9619FF-8B86-D011-B42D-00C04FC964FF", "Anna’s iPhone", phone.publicKey));
    ASSERT_TRUE(TrustStore::trust("phone:/2", "设备 2", DeviceAuth::generateKeyPair().publicKey));
    auto code = AgentSettings::loadOrCreatePairingCode();
    AgentSettings::setLockOnDisconnect(true);
    AgentSettings::setLanguageOverride("zh");

    auto expected = expectedDump();
    EXPECT_NE(expected.find("device phone:/2|设备 2|"), std::string::npos);
    EXPECT_NE(expected.find("pairingCode " + code), std::string::npos);
    EXPECT_NE(expected.find("languageOverride zh-Hans"), std::string::npos);
    EXPECT_EQ(probe({"dump"}), expected);

    // The fresh process holds the same private key: it accepts the phone's response.
    auto nonce = DeviceAuth::makeNonce();
    auto key = DeviceAuth::authenticationKey(phone.privateKey, TrustStore::macPublicKey());
    ASSERT_TRUE(key);
    EXPECT_EQ(probe({"verify", "6F9619FF-8B86-D011-B42D-00C04FC964FF", hex(nonce), hex(DeviceAuth::response(*key, nonce))}),
              "true\n");
    EXPECT_EQ(probe({"verify", "6F9619FF-8B86-D011-B42D-00C04FC964FF", hex(nonce), hex(Bytes(32, 0))}), "false\n");
    // And reading changed nothing.
    EXPECT_EQ(expectedDump(), expected);
}

TEST(PersistenceTest, ThisProcessReadsBackWhatAFreshOneWrote) {
    test::TempHome home;
    auto phone = DeviceAuth::generateKeyPair();
    auto written = probe({"write", "PROBE-1", "Probe’s iPhone", hex(phone.publicKey)});
    EXPECT_EQ(written, expectedDump());

    auto devices = TrustStore::trustedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "Probe’s iPhone");
    EXPECT_TRUE(AgentSettings::lockOnDisconnect());
    EXPECT_EQ(L10n::override(), "fr");
    EXPECT_EQ(L10n::t("等待连接…"), "En attente de connexion…");
}

}  // namespace
}  // namespace df
