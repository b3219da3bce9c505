#pragma once
// The applications' desktop entries (the .desktop files under <data dir>/applications), as
// far as naming a window's application goes: its name in the user's language and its
// desktop file ID ("org.gnome.Nautilus" for .../applications/org.gnome.Nautilus.desktop,
// "vendor-app" for .../applications/vendor/app.desktop).
//
// The directories are scanned once, on first use; a directory earlier in the list wins for
// the same ID, as the XDG rules say. Not thread-safe: one owner thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace df {

class DesktopEntries {
public:
    struct Entry {
        std::string id;
        std::string name;          ///< in the user's language when the entry has it
        std::string startupWMClass;
        std::string executable;    ///< the file name of Exec's program ("nautilus")
    };

    /// `dataDirs`: XDG_DATA_HOME first, then XDG_DATA_DIRS, in order. `languages`: the
    /// user's languages, most preferred first ("de-AT", "zh-Hant-TW").
    DesktopEntries(std::vector<std::filesystem::path> dataDirs, std::vector<std::string> languages);

    /// The entry of a window of class `wmClass` and instance `wmInstance` whose process runs
    /// `executable` (a file name; empty when unknown): the entry whose StartupWMClass names
    /// the class or instance, else the one whose ID does (ignoring case, also its last dotted
    /// part), else the one whose Exec runs that executable or the instance.
    std::optional<Entry> match(const std::string& wmClass, const std::string& wmInstance,
                               const std::string& executable);

    /// The desktop-entry locale ("de_AT", "zh_TW") of a language identifier.
    static std::string entryLocale(const std::string& language);

private:
    void scan();

    std::vector<std::filesystem::path> dataDirs_;
    std::string locale_;
    std::optional<std::vector<Entry>> entries_;
};

}  // namespace df
