#pragma once
#include "platform/DnsSd.h"

namespace df {

/// An advertiser on the Avahi daemon over D-Bus, with its own poll thread. Works without a
/// running daemon: reports `daemonUnavailable` once and publishes when the daemon appears.
std::unique_ptr<DnsSdAdvertiser> createAvahiAdvertiser();

}  // namespace df
