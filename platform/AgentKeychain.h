#pragma once
// The agent's private key store: small named entries ("macDeviceID", "macPrivateKey",
// "trust:" + device ID, ...). A reader on any thread sees either the old or the new content
// of an entry.
// Linux: one file per entry in a private directory (platform/linux/keychain);
// tests: fake::MemoryAgentKeychain.
//
// Nothing here reports errors: failed writes and deletes are ignored, failed reads behave
// as a missing entry. Implementations are safe to call from any thread.

#include "protocol/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace df {

class AgentKeychain {
public:
    /// What looking an entry up found.
    enum class Lookup {
        found,       ///< the entry's bytes
        missing,     ///< no such entry
        unreadable,  ///< it may exist but could not be read now (out of descriptors, I/O)
    };

    virtual ~AgentKeychain() = default;

    /// Writes the entry `key`; an empty key is ignored.
    virtual void set(const Bytes& data, std::string_view key) = 0;
    /// The entry's bytes, or nothing when it cannot be read.
    virtual std::optional<Bytes> read(std::string_view key) const = 0;
    /// Like read(), but tells a missing entry from one that could not be read: a caller
    /// that would create a missing entry (a key pair) must not replace an unreadable one.
    /// `data` is set when found. The default serves stores whose reads cannot fail.
    virtual Lookup lookup(std::string_view key, Bytes& data) const {
        auto bytes = read(key);
        if (!bytes) return Lookup::missing;
        data = std::move(*bytes);
        return Lookup::found;
    }
    /// Removes the entry; a missing entry is fine.
    virtual void remove(std::string_view key) = 0;

    /// The file name of `key` in a store on disk: Unicode letters, marks and digits kept,
    /// every other character written as "%XX" per UTF-8 byte (upper-case hex). Bytes that
    /// are not valid UTF-8 are encoded one by one, so no key can name a file outside the
    /// directory. The trust list limits its IDs by this length whatever the store.
    static std::string fileName(std::string_view key);
};

}  // namespace df
