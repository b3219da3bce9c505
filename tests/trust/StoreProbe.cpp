// Reads or writes the trust store and the settings from a process of its own, for the
// persistence test. Usage (KEYS: the key store's directory, SETTINGS: the settings file):
//   df_store_probe KEYS SETTINGS dump                    the store and settings as text
//   df_store_probe KEYS SETTINGS verify ID NONCE HMAC    "true"/"false" (hex arguments)
//   df_store_probe KEYS SETTINGS write ID NAME PUBKEY    trusts a device, sets settings, dumps

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "tests/support/Hex.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

using df::testsupport::fromHex;
using df::testsupport::toHex;

void dump(df::TrustStore& trust, const df::AgentSettings& settings) {
    for (const auto& device : trust.trustedDevices()) {
        std::cout << "device " << device.id << "|" << device.name << "|" << df::TrustStore::formatDate(device.since)
                  << "\n";
    }
    std::cout << "macDeviceID " << trust.macDeviceID() << "\n";
    std::cout << "macPublicKey " << toHex(trust.macPublicKey()) << "\n";
    std::cout << "pairingCode " << settings.store().string(df::AgentSettings::kPairingCodeKey).value_or("-") << "\n";
    std::cout << "lockOnDisconnect " << (settings.lockOnDisconnect() ? "true" : "false") << "\n";
    std::cout << "languageOverride " << settings.languageOverride() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: df_store_probe KEYS SETTINGS dump | verify ID NONCE HMAC | write ID NAME PUBKEY\n";
        return 2;
    }
    df::FileAgentKeychain keychain(argv[1]);
    df::TrustStore trust(keychain);
    df::FileSettingsStore store(argv[2]);
    df::AgentSettings settings(store);
    std::string command = argv[3];
    if (command == "dump" && argc == 4) {
        dump(trust, settings);
    } else if (command == "verify" && argc == 7) {
        std::cout << (trust.verify(argv[4], fromHex(argv[5]), fromHex(argv[6])) ? "true" : "false") << "\n";
    } else if (command == "write" && argc == 7) {
        trust.trust(argv[4], argv[5], fromHex(argv[6]));
        settings.loadOrCreatePairingCode();
        settings.setLockOnDisconnect(true);
        settings.setLanguageOverride("fr");
        dump(trust, settings);
    } else {
        std::cerr << "usage: df_store_probe KEYS SETTINGS dump | verify ID NONCE HMAC | write ID NAME PUBKEY\n";
        return 2;
    }
    return 0;
}
