#pragma once
// System information for unit tests: the test sets what the machine reports.

#include "platform/SystemInfo.h"

namespace df::fake {

class FakeSystemInfo final : public SystemInfo {
public:
    std::optional<Bytes> product;
    std::optional<std::string> model;
    std::vector<std::string> languages;

    std::optional<Bytes> productName() const override { return product; }
    std::optional<std::string> hardwareModel() const override { return model; }
    std::vector<std::string> preferredLanguages() const override { return languages; }
};

}  // namespace df::fake
