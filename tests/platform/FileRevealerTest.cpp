// Revealing a received file: the file manager's ShowItems on a private session bus of this
// test (a service of its own records the call), else xdg-open of the folder (a stand-in
// xdg-open on PATH records its argument), else nothing.

#include "platform/linux/files/PosixFiles.h"
#include "tests/support/RequireService.h"
#include "tests/support/TempDir.h"
#include "tests/support/FakeBusService.h"
#include "tests/support/PrivateSessionBus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace {

namespace fs = std::filesystem;

using PrivateBus = testsupport::PrivateSessionBus;

/// org.freedesktop.FileManager1 answering ShowItems.
void showItems(testsupport::FakeBusService& service, DBusConnection* connection, DBusMessage* message) {
    if (!dbus_message_is_method_call(message, "org.freedesktop.FileManager1", "ShowItems")) return;
    char** uris = nullptr;
    int count = 0;
    const char* startup = nullptr;
    DBusError error;
    dbus_error_init(&error);
    if (dbus_message_get_args(message, &error, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &uris, &count, DBUS_TYPE_STRING,
                              &startup, DBUS_TYPE_INVALID)) {
        std::string call = "ShowItems";
        for (int i = 0; i < count; ++i) call += std::string(" ") + uris[i];
        service.record(call + " startup=\"" + std::string(startup) + "\"");
        dbus_free_string_array(uris);
        DBusMessage* reply = dbus_message_new_method_return(message);
        dbus_connection_send(connection, reply, nullptr);
        dbus_message_unref(reply);
    }
    dbus_error_free(&error);
}

/// An xdg-open stand-in first on PATH that writes its argument to `record`.
class FakeXdgOpen {
public:
    explicit FakeXdgOpen(const fs::path& dir) : record_(dir / "opened.txt") {
        const fs::path script = dir / "xdg-open";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << record_.string() << ".tmp' && mv '"
                              << record_.string() << ".tmp' '" << record_.string() << "'\n";
        fs::permissions(script, fs::perms::owner_all);
        oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        ::setenv("PATH", (dir.string() + ":" + oldPath_).c_str(), 1);
    }
    ~FakeXdgOpen() { ::setenv("PATH", oldPath_.c_str(), 1); }
    /// What it was asked to open, once it ran (within 5 s).
    std::string opened() const {
        for (int i = 0; i < 500 && !fs::exists(record_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(record_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    fs::path record_;
    std::string oldPath_;
};

TEST(FileRevealer, TheFileManagerShowsTheFileSelected) {
    DF_REQUIRE_TOOL("dbus-daemon");
    testsupport::TempDir dir;
    FakeXdgOpen xdgOpen(dir.path());  // PATH is changed before any thread of the test runs
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty());
    testsupport::FakeBusService manager(bus.address(), "org.freedesktop.FileManager1", showItems);
    ASSERT_TRUE(manager.owned());
    createDesktopFileRevealer(bus.address(), true)->reveal("/home/ana/Downloads/report 2#ü.pdf");
    EXPECT_EQ(manager.calls(), std::vector<std::string>{"ShowItems file:///home/ana/Downloads/report%202%23%C3%BC.pdf "
                                                        "startup=\"\""});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(dir / "opened.txt")) << "xdg-open only without a file manager";
}

TEST(FileRevealer, WithoutAFileManagerTheFolderIsOpenedElseNothingHappens) {
    DF_REQUIRE_TOOL("dbus-daemon");
    PrivateBus bus;  // a session bus on which no file manager runs
    testsupport::TempDir dir;
    FakeXdgOpen xdgOpen(dir.path());
    createDesktopFileRevealer(bus.address(), true)->reveal("/home/ana/Downloads/report.pdf");
    EXPECT_EQ(xdgOpen.opened(), "/home/ana/Downloads");

    fs::remove(dir / "opened.txt");
    createDesktopFileRevealer("", false)->reveal("/home/ana/Downloads/report.pdf");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(dir / "opened.txt"));
}

}  // namespace
}  // namespace df
