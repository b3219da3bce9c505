#pragma once
// Desktop notifications through org.freedesktop.Notifications on the session bus, where a
// notification server runs; without one (or without a bus) notify() does nothing. Main
// thread; a notification is sent without waiting for an answer.

#include <memory>
#include <string>

namespace df {

class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void notify(const std::string& title, const std::string& body) = 0;
};

/// `busAddress`: the session bus ($DBUS_SESSION_BUS_ADDRESS); nullptr when there is none
/// or no notification server owns the name.
std::unique_ptr<DesktopNotifier> createDBusNotifier(const std::string& busAddress);

}  // namespace df
