#include "platform/linux/desktop/XdgAutostartLoginItem.h"

#include "platform/AtomicFile.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace df {

namespace {

// A desktop entry's Exec value: an argument with a space or a special character is quoted,
// and inside quotes `"`, "`", "$" and "\" are escaped.
std::string execArgument(const std::string& arg) {
    if (arg.find_first_of(" \t\"'\\$`;&|<>()*?#~") == std::string::npos) return arg;
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path autostartDir, std::string program)
    : dir_(std::move(autostartDir)), program_(std::move(program)) {}

bool XdgAutostartLoginItem::enabled() const {
    std::ifstream in(entryPath());
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true") return false;
    }
    return true;
}

bool XdgAutostartLoginItem::setEnabled(bool enabled) {
    std::error_code ec;
    if (!enabled) {
        std::filesystem::remove(entryPath(), ec);
        return !ec;
    }
    std::filesystem::create_directories(dir_, ec);
    if (ec) return false;
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Brevox\n"
             "Comment=Lets a paired iPhone view and control this computer\n"
             "Exec="
          << execArgument(program_) << ' ' << kFlag
          << "\n"
             "Icon=duskferry-agent\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n";
    const std::string text = entry.str();
    const Bytes data(text.begin(), text.end());
    return AtomicFile::write(entryPath(), data, 0644);
}

}  // namespace df
