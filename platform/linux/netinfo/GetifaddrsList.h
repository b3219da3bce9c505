#pragma once
// The host's interface address list (getifaddrs). Stateless: each read() asks the kernel.

#include "platform/NetInfo.h"

#include <memory>

namespace df {

std::shared_ptr<InterfaceAddressList> createGetifaddrsList();

}  // namespace df
