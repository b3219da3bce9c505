#pragma once
// The phones this computer trusts, and its own long-term identity (device ID and P-256
// key-agreement key), kept in an AgentKeychain. No cache: every call reads and writes the
// entries directly, so a revocation from the control panel (main thread) is seen by the
// next verification on the server queue. Any thread; the keychain must outlive the store.

#include "platform/AgentKeychain.h"
#include "protocol/Bytes.h"
#include "protocol/DeviceAuth.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace df {

class TrustStore {
public:
    struct TrustedDevice {
        std::string id;
        std::string name;
        std::chrono::sys_seconds since;  ///< distantPast() when unknown
        bool operator==(const TrustedDevice&) const = default;
    };

    explicit TrustStore(AgentKeychain& keychain);
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    /// Every device of "trustedIDs", in order of first approval.
    std::vector<TrustedDevice> trustedDevices() const;

    /// Records or refreshes a trusted device (key stored as received, 64 bytes raw).
    /// Returns false, writing nothing, for an ID the store cannot keep (see canStore) or a
    /// key that is not a point of P-256 (see isValidPublicKey).
    bool trust(std::string_view deviceID, std::string_view name, const Bytes& iosPublicKey);

    /// True when `hmac` is the correct response of the trusted device to `nonce`. Every
    /// failure (unknown device, bad key, bad tag) is false. Creates the Mac key if missing.
    bool verify(std::string_view deviceID, const Bytes& nonce, const Bytes& hmac);

    /// Forgets a device; unknown IDs are fine (the list is rewritten unchanged).
    void revoke(std::string_view deviceID);

    /// True when the device has a readable "trust:" entry (a challenge rather than pairing).
    bool isTrusted(std::string_view deviceID) const;
    /// The key stored for a device, as stored; nothing when it has none.
    std::optional<Bytes> storedPublicKey(std::string_view deviceID) const;

    /// A raw public key (64 bytes, X then Y) that names a point of P-256.
    static bool isValidPublicKey(const Bytes& raw);

    /// The computer's public key, 64 bytes raw (X then Y), sent in enrollResult. Loads the
    /// private key, creating and storing a new one when it is missing or damaged; empty
    /// while the key store cannot read it (out of descriptors, say), never a new key then.
    Bytes macPublicKey();

    /// The computer's stable identifier, an upper-case UUID made on first use.
    std::string macDeviceID();

    /// Whether an ID can be kept: non-empty, valid UTF-8, no "," (the list has no escaping)
    /// and short enough for the entry file names.
    static bool canStore(std::string_view deviceID);

    /// The date of a device whose trust date is missing or unreadable: 0001-01-01T00:00:00Z.
    static std::chrono::sys_seconds distantPast();
    /// ISO 8601 internet date-time in UTC with whole seconds, e.g. "2026-12-05T09:55:00Z".
    static std::string formatDate(std::chrono::sys_seconds time);
    /// Parses an internet date-time ("Z" or a "+hh:mm" offset, whole seconds); nothing when
    /// the text is not one.
    static std::optional<std::chrono::sys_seconds> parseDate(std::string_view text);

private:
    std::optional<std::string> readText(std::string_view entry) const;
    std::vector<std::string> readTrustedIDs() const;
    void writeTrustedIDs(const std::vector<std::string>& ids);
    std::optional<DeviceAuth::KeyPair> macKeyPair();

    AgentKeychain& keychain_;
    // Serialises the creation of the identity so two queues never make two different keys.
    std::mutex identityMutex_;
    // Serialises the read-modify-write of "trustedIDs": an enrolment on the server queue and
    // a revocation from the panel at once must not lose either change.
    std::mutex listMutex_;
};

}  // namespace df
