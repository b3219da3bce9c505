// Naming a window's application from the desktop entries in test-made data directories:
// which entry a window class, instance or executable finds, the desktop file IDs (also of
// entries in subdirectories), the user's language, and the earlier directory winning.

#include "platform/linux/workspace/DesktopEntries.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace df {
namespace {

void write(const std::filesystem::path& file, const std::string& body) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "[Desktop Entry]\nType=Application\n" << body;
}

class DesktopEntriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto home = dir / "home" / "applications";
        const auto system = dir / "system" / "applications";
        write(system / "org.gnome.Nautilus.desktop", "Name=Files\nName[de]=Dateien\nExec=nautilus --new-window %U\n");
        write(system / "firefox-esr.desktop", "Name=Firefox ESR\nExec=/usr/lib/firefox-esr/firefox-esr %u\nStartupWMClass=Firefox-esr\n");
        write(system / "kde" / "kate.desktop", "Name=Kate\nExec=env QT_SCALE=1 kate -b %U\n");
        write(system / "editor.desktop", "Name=System Editor\nExec=editor\n");
        write(home / "editor.desktop", "Name=My Editor\nExec=editor\n");
        write(system / "gone.desktop", "Name=Gone\nExec=gone\nHidden=true\n");
        write(system / "link.desktop", "Name=Link\nType=Link\n");
    }
    DesktopEntries entries(std::vector<std::string> languages = {"en-GB"}) {
        return DesktopEntries({dir / "home", dir / "system", dir / "missing"}, std::move(languages));
    }
    testsupport::TempDir dir;
};

TEST_F(DesktopEntriesTest, WindowsFindTheirEntries) {
    struct Case {
        std::string wmClass, wmInstance, executable;
        std::optional<std::string> id;
        std::string name;
    };
    const std::vector<Case> cases{
        {"Firefox-esr", "Navigator", "", "firefox-esr", "Firefox ESR"},               // StartupWMClass
        {"org.gnome.Nautilus", "org.gnome.Nautilus", "", "org.gnome.Nautilus", "Files"},  // desktop file ID
        {"Nautilus", "nautilus", "", "org.gnome.Nautilus", "Files"},                  // the ID's last part
        {"Unknown", "unknown", "kate", "kde-kate", "Kate"},                           // the process' executable
        {"Editor", "editor", "", "editor", "My Editor"},                              // the earlier directory
        {"Gone", "gone", "gone", std::nullopt, ""},                                   // hidden
        {"Link", "link", "", std::nullopt, ""},                                       // not an application
        {"Stranger", "stranger", "stranger", std::nullopt, ""},
    };
    auto e = entries();
    for (const auto& c : cases) {
        auto found = e.match(c.wmClass, c.wmInstance, c.executable);
        ASSERT_EQ(found.has_value(), c.id.has_value()) << c.wmClass;
        if (!found) continue;
        EXPECT_EQ(found->id, *c.id) << c.wmClass;
        EXPECT_EQ(found->name, c.name) << c.wmClass;
    }
}

TEST_F(DesktopEntriesTest, NamesAreInTheUsersLanguage) {
    EXPECT_EQ(entries({"de-AT"}).match("org.gnome.Nautilus", "", "")->name, "Dateien");
    EXPECT_EQ(entries({"fr"}).match("org.gnome.Nautilus", "", "")->name, "Files");
    EXPECT_EQ(entries({}).match("org.gnome.Nautilus", "", "")->name, "Files");
    const std::vector<std::pair<std::string, std::string>> locales{
        {"de-AT", "de_AT"}, {"zh-Hant-TW", "zh_TW"}, {"zh-Hans", "zh_CN"}, {"pt-BR", "pt_BR"}, {"en", "en"}};
    for (const auto& [language, locale] : locales) EXPECT_EQ(DesktopEntries::entryLocale(language), locale);
}

}  // namespace
}  // namespace df
