#pragma once
// The per-user defaults store on Linux: one JSON object in one file, which the agent's main
// puts at $XDG_CONFIG_HOME/DuskFerry/settings.json (directory 0700, file 0600: the pairing
// code is a secret). Every write re-reads the file, changes one key and replaces the file
// atomically, so settings written by another process are kept. Reads are served from
// memory while the file is unchanged on disk. Any thread (one lock per store).

#include "platform/SettingsStore.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace df {

class FileSettingsStore final : public SettingsStore {
public:
    /// A store in a given file (its folder is created on the first write).
    explicit FileSettingsStore(std::filesystem::path file);
    ~FileSettingsStore() override;

    std::optional<std::string> string(std::string_view key) const override;
    std::optional<bool> boolean(std::string_view key) const override;
    void setString(std::string_view key, std::string_view value) override;
    void setBoolean(std::string_view key, bool value) override;
    void remove(std::string_view key) override;

private:
    struct Snapshot;
    // Both with mutex_ held: the file's current content, re-read when it changed on disk;
    // and the replacement of the file after one key was changed in `snapshot`.
    Snapshot& refreshLocked() const;
    void storeLocked(Snapshot& snapshot);

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<Snapshot> cache_;  // guarded by mutex_
};

}  // namespace df
