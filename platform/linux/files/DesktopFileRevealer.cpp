#include "platform/linux/files/PosixFiles.h"
#include "platform/linux/dbus/SessionBus.h"

#include <dbus/dbus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace df {
namespace {

constexpr const char* kService = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";
constexpr const char* kInterface = "org.freedesktop.FileManager1";
/// How long a reveal waits for the file manager's answer (on the main queue).
constexpr int kReplyTimeoutMs = 2000;

std::string fileURI(const std::filesystem::path& path) {
    std::string out = "file://";
    for (unsigned char c : path.string()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

class DesktopFileRevealer final : public FileRevealer {
public:
    DesktopFileRevealer(std::string busAddress, bool xdgOpen) : busAddress_(std::move(busAddress)), xdgOpen_(xdgOpen) {}

    void reveal(const std::filesystem::path& file) override {
        if (showItems(file)) return;
        if (xdgOpen_) openFolder(file.parent_path());
    }

    /// True when the file manager took the request.
    bool showItems(const std::filesystem::path& file) const {
        DBusConnection* connection = connectToSessionService(busAddress_, kService);
        if (!connection) return false;
        bool shown = false;
        DBusMessage* call = dbus_message_new_method_call(kService, kPath, kInterface, "ShowItems");
        if (call) {
            const std::string uri = fileURI(file);
            const char* item = uri.c_str();
            const char* const* items = &item;
            const char* startupID = "";
            dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &items, 1, DBUS_TYPE_STRING, &startupID,
                                     DBUS_TYPE_INVALID);
            DBusError error;
            dbus_error_init(&error);
            DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, kReplyTimeoutMs, &error);
            shown = reply != nullptr;
            if (reply) dbus_message_unref(reply);
            dbus_message_unref(call);
            dbus_error_free(&error);
        }
        closeSessionBus(connection);
        return shown;
    }

    static void openFolder(const std::filesystem::path& folder) {
        // Built before fork: the children only fork, exec and exit. The middle child ends at
        // once, so xdg-open (and what it starts) is nobody's child here and needs no reaping.
        std::string program = "xdg-open";
        std::string argument = folder.string();
        std::vector<char*> argv{program.data(), argument.data(), nullptr};
        pid_t child = ::fork();
        if (child == 0) {
            if (::fork() == 0) {
                ::execvp(argv[0], argv.data());
                ::_exit(127);
            }
            ::_exit(0);
        }
        if (child > 0) ::waitpid(child, nullptr, 0);
    }

private:
    std::string busAddress_;
    bool xdgOpen_;
};

}  // namespace

std::shared_ptr<FileRevealer> createDesktopFileRevealer(std::string busAddress, bool xdgOpen) {
    return std::make_shared<DesktopFileRevealer>(std::move(busAddress), xdgOpen);
}

}  // namespace df
