#pragma once
// The phone's own persistent identity and the computers it has enrolled with, kept under
// $XDG_DATA_HOME/duskferry-phone (else ~/.local/share/duskferry-phone): a different place
// from the agent's "DuskFerry" key store, so a client and an agent on one machine never
// share keys. Files are written whole (temporary file then rename) and readable by the user
// only. Used from the client's main thread before the session starts and from its session
// queue afterwards, never from two threads at once.

#include "protocol/Bytes.h"
#include "protocol/Result.h"

#include <filesystem>
#include <optional>
#include <string>

namespace df::phone {

struct PhoneIdentity {
    std::string deviceID;    ///< a random UUID, stable across runs
    std::string deviceName;  ///< shown in the agent's approval prompt
    Bytes privateKey;        ///< P-256 scalar, 32 bytes
    Bytes publicKey;         ///< raw 64 bytes, X then Y
};

class IdentityStore {
public:
    explicit IdentityStore(std::filesystem::path dir) : dir_(std::move(dir)) {}

    /// $XDG_DATA_HOME/duskferry-phone, or ~/.local/share/duskferry-phone.
    static std::filesystem::path defaultDirectory();

    const std::filesystem::path& directory() const { return dir_; }

    /// The stored identity, or a new one (stored at once) when there is none. A `name`
    /// replaces the stored display name. A file that exists but cannot be read is an error,
    /// never silently replaced: that would lose every enrolment.
    Result<PhoneIdentity> loadOrCreate(const std::optional<std::string>& name);

    /// The computer's public key stored at enrolment, by its `macDeviceID`.
    std::optional<Bytes> macPublicKey(const std::string& macDeviceID) const;
    /// Stores (or replaces) a computer's public key; false with `error` when it cannot.
    bool storeMacPublicKey(const std::string& macDeviceID, const std::string& macName,
                           const Bytes& publicKey, std::string* error = nullptr);

private:
    std::filesystem::path dir_;
};

/// A random (version 4) UUID in upper-case text form.
std::string makeUuid();

}  // namespace df::phone
