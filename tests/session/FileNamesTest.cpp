// Names from the phone: the naming rules on their own, and a table of hostile names
// received for real into a Downloads folder on disk that holds files, a directory and a
// planted symbolic link: each arrives as one new plain file inside the folder, and nothing
// that was there, inside or outside, changes.

#include "DuskFerryAgent/session/FileNames.h"
#include "DuskFerryAgent/session/FileTransfer.h"
#include "platform/XdgDirs.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/linux/files/PosixFiles.h"
#include "protocol/MediaPayloads.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

namespace df {
namespace {

namespace fs = std::filesystem;

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST(FileNames, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(FileNames::candidate("report.pdf", 1), "report.pdf");
    EXPECT_EQ(FileNames::candidate("report.pdf", 3), "report 3.pdf");
    EXPECT_EQ(FileNames::candidate("notes", 2), "notes 2");
    EXPECT_EQ(FileNames::candidate("archive.tar.gz", 2), "archive.tar 2.gz");
    EXPECT_EQ(FileNames::candidate("trailing.", 2), "trailing. 2");
}

TEST(FileNames, LongNamesAreShortenedOnCharacterBoundariesKeepingTheExtension) {
    std::string e300;
    for (int i = 0; i < 150; ++i) e300 += "é";
    for (int n : {1, 2, 12345}) {
        const std::string name = FileNames::candidate(e300 + ".pdf", n, 255);
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(validUtf8(name));
        EXPECT_TRUE(name.ends_with((n > 1 ? " " + std::to_string(n) : std::string()) + ".pdf")) << name;
    }
    EXPECT_EQ(FileNames::safeName("a/b\\c.txt"), "c.txt");
    EXPECT_EQ(FileNames::safeName("..."), FileNames::defaultName);
    EXPECT_EQ(FileNames::safeName("\xff.txt"), "_.txt");
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/// What a directory holds, by name: the kind and the content (or link target).
std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto name = e.path().filename().string();
        if (e.is_symlink()) {
            out[name] = "link:" + fs::read_symlink(e.path()).string();
        } else if (e.is_directory()) {
            out[name] = "dir:" + std::to_string(std::distance(fs::directory_iterator(e.path()), fs::directory_iterator()));
        } else {
            out[name] = "file:" + readAll(e.path());
        }
    }
    return out;
}

TEST(FileNames, HostileNamesEachBecomeOneNewPlainFileInsideDownloads) {
    testsupport::TempDir dir;
    const fs::path downloads = dir / "Downloads";
    const fs::path outside = dir / "outside";
    fs::create_directories(downloads / "dir");
    fs::create_directories(outside);
    std::ofstream(outside / "target") << "secret";
    std::ofstream(downloads / "report.pdf") << "keep";
    std::ofstream(downloads / ".bashrc") << "rc";
    std::ofstream(downloads / "dir" / "inner.txt") << "inner";
    fs::create_symlink(outside / "target", downloads / "link");
    fs::create_symlink(outside, downloads / "out");
    const auto outsideBefore = listing(outside);

    const std::string e300 = [] {
        std::string s;
        for (int i = 0; i < 150; ++i) s += "é";
        return s;
    }();
    const std::string han = [] {
        std::string s;
        for (int i = 0; i < 100; ++i) s += "日";
        return s + ".txt";
    }();
    const std::vector<std::string> names = {
        "../escape.txt", "../../etc/passwd", "/etc/passwd", "/", "", ".", "..", "...", "./", "../", "a/../../b",
        "..\\..\\windows\\system32", "C:\\Users\\x.txt", "dir", "dir/", "dir/inner.txt", "link", "link/", "out",
        "out/target", "report.pdf", ".bashrc", ".hidden", "..hidden", " .hidden", "   ",
        std::string("nul\0inside", 10), std::string("\0", 1), "tab\tname", "new\nline", "carriage\rreturn",
        "bell\a", "esc\x1b[2J", "del\x7f", "c1\xc2\x85next", "bidi\u202Egnp.exe", "lri\u2066x\u2069", "rlm\u200F",
        "alm\u061C", "\xff\xfe", "\xc0\xaf../x", "overlong\xc0\x80", "surrogate\xed\xa0\x80", "truncated\xe2\x82",
        std::string(300, 'a'), std::string(300, 'a') + ".pdf", e300, han, "x." + std::string(300, 'y'),
        "%2e%2e%2fencoded", "~", "~/x", "$HOME", "`touch pwned`", "name*?<>|\"", "emoji😀.png",
        "trailing space   ", "\u202E", "\x01\x02\x03", "/dev/null", "proc/self/environ", ".duskferry-0.part",
        "../Downloads/report.pdf", "////", "\\\\server\\share"};
    ASSERT_GE(names.size(), 50u);

    auto queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    FileTransfer::Session s;
    s.queue = queue;
    s.report = [](const std::string&) {};
    s.onMain = [queue](std::function<void()> task) { queue->post(std::move(task)); };
    s.ready = [] { return true; };
    s.closed = [] { return false; };
    s.videoInFlight = [] { return 0; };
    FileTransferServices f;
    f.downloads = createPosixDownloadsFolder(downloads);
    auto files = FileTransfer::create(s, f);

    uint32_t id = 100;
    for (const auto& name : names) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const auto before = listing(downloads);
        const std::string payload = "payload " + std::to_string(id);
        files->fileBegin(FileBegin(id, name, static_cast<int64_t>(payload.size())));
        files->fileChunk(FileChunk::encode(id, Bytes(payload.begin(), payload.end())));
        files->fileEnd(FileEnd(id));
        queue->runUntilIdle();
        ++id;

        const auto after = listing(downloads);
        ASSERT_EQ(after.size(), before.size() + 1);
        for (const auto& [entry, what] : before) EXPECT_EQ(after.at(entry), what) << entry;
        std::string added;
        for (const auto& [entry, what] : after)
            if (!before.contains(entry)) added = entry;
        EXPECT_EQ(after.at(added), "file:" + payload);
        EXPECT_FALSE(added.starts_with("."));
        EXPECT_LE(added.size(), 255u);
        EXPECT_TRUE(validUtf8(added));
        for (char c : added) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == '\\');
        struct stat st {};
        ASSERT_EQ(::lstat((downloads / added).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    EXPECT_EQ(listing(outside), outsideBefore);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    EXPECT_EQ(readAll(outside / "target"), "secret");
    EXPECT_EQ(readAll(downloads / "dir" / "inner.txt"), "inner");
}

TEST(DownloadsFolder, TheUserDirsEntryIsReadAsTheShellWouldAndOddEntriesAreSkipped) {
    const fs::path home = "/home/ana";
    struct Case {
        const char* text;
        std::optional<fs::path> expected;
    };
    const std::vector<Case> cases = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", home / "Downloads"},
        {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n",
         home / "Téléchargements"},
        {"XDG_DOWNLOAD_DIR=\"/data/in box\"\n", fs::path("/data/in box")},
        {"XDG_DOWNLOAD_DIR=\"$HOME/with \\\"quote\\\"\"\n", home / "with \"quote\""},
        {"XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"\n", home / "b"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", std::nullopt},  // a disabled folder
        {"XDG_DOWNLOAD_DIR=\"relative/dir\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOME/unterminated\n", std::nullopt},
        {"#XDG_DOWNLOAD_DIR=\"$HOME/x\"\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(XdgDirs::downloadDirFromUserDirs(c.text, home), c.expected);
    }
}

}  // namespace
}  // namespace df
