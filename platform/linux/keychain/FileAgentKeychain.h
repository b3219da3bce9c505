#pragma once
// The key store on disk: one file per entry (named by AgentKeychain::fileName) in a
// directory of its own, which the agent's main puts under $XDG_DATA_HOME/DuskFerry. The
// directory is made (0700) once, when the store is constructed, and again only should a
// write find it gone; an existing one is tightened to 0700 at construction; entries are written 0600 by an atomic replace. No cache: every call
// goes to the disk, so a revocation from another thread or process is seen at once.
// Any thread.

#include "platform/AgentKeychain.h"

#include <filesystem>

namespace df {

class FileAgentKeychain final : public AgentKeychain {
public:
    explicit FileAgentKeychain(std::filesystem::path directory);

    void set(const Bytes& data, std::string_view key) override;
    std::optional<Bytes> read(std::string_view key) const override;
    /// Missing only when the entry's file does not exist (ENOENT); any other failure to
    /// open or read it is `unreadable`.
    Lookup lookup(std::string_view key, Bytes& data) const override;
    void remove(std::string_view key) override;

    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path entryPath(std::string_view key) const;

    const std::filesystem::path directory_;
};

}  // namespace df
