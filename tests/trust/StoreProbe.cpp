// Reads or writes the trust store and the settings from a process of its own, for the
// persistence test. Usage:
//   df_store_probe dump                       the store and settings as lines of text
//   df_store_probe verify ID NONCE HMAC       "true"/"false" (hex arguments)
//   df_store_probe write ID NAME PUBKEY       trusts a device, sets settings, then dumps

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string hex(const df::Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

df::Bytes unhex(std::string_view text) {
    df::Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

void dump() {
    for (const auto& device : df::TrustStore::trustedDevices()) {
        std::cout << "device " << device.id << "|" << device.name << "|" << df::TrustStore::formatDate(device.since)
                  << "\n";
    }
    std::cout << "macDeviceID " << df::TrustStore::macDeviceID() << "\n";
    std::cout << "macPublicKey " << hex(df::TrustStore::macPublicKey()) << "\n";
    auto& settings = df::SettingsStore::standard();
    std::cout << "pairingCode " << settings.string(df::AgentSettings::kPairingCodeKey).value_or("-") << "\n";
    std::cout << "lockOnDisconnect " << (df::AgentSettings::lockOnDisconnect() ? "true" : "false") << "\n";
    std::cout << "languageOverride " << df::L10n::override() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "dump") {
        dump();
    } else if (command == "verify" && argc == 5) {
        std::cout << (df::TrustStore::verify(argv[2], unhex(argv[3]), unhex(argv[4])) ? "true" : "false") << "\n";
    } else if (command == "write" && argc == 5) {
        df::TrustStore::trust(argv[2], argv[3], unhex(argv[4]));
        df::AgentSettings::loadOrCreatePairingCode();
        df::AgentSettings::setLockOnDisconnect(true);
        df::AgentSettings::setLanguageOverride("fr");
        dump();
    } else {
        std::cerr << "usage: df_store_probe dump | verify ID NONCE HMAC | write ID NAME PUBKEY\n";
        return 2;
    }
    return 0;
}
