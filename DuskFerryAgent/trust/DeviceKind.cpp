#include "DuskFerryAgent/trust/DeviceKind.h"

#include "DuskFerryAgent/shell/Utf8.h"

#include <algorithm>

namespace df {

namespace {
std::string lowercased(std::string_view text) {
    // ASCII only: the words we look for are ASCII, and other letters must not change length.
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

// The product name decoded as UTF-8 with NULs stripped at both ends; nothing when there is
// no product name or it is not valid text.
std::optional<std::string> productNameText(const SystemInfo& info) {
    auto bytes = info.productName();
    if (!bytes) return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (!Utf8::isValid(text)) return std::nullopt;
    while (!text.empty() && text.front() == '\0') text.remove_prefix(1);
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    return std::string(text);
}
}  // namespace

std::string DeviceKind::fromName(std::string_view name) {
    std::string lower = lowercased(name);
    auto contains = [&lower](std::string_view word) { return lower.find(word) != std::string::npos; };
    if (contains("mini")) return "macmini";
    if (contains("studio")) return "macstudio";
    if (contains("macbook")) return "macbook";
    if (contains("imac")) return "imac";
    if (contains("mac pro")) return "macpro";
    if (lower.starts_with("macpro")) return "macpro";
    return "mac";
}

std::string DeviceKind::detect(const SystemInfo& info) {
    std::string name;
    if (auto product = productNameText(info)) name = std::move(*product);
    else if (auto model = info.hardwareModel()) name = std::move(*model);
    return fromName(name);
}

}  // namespace df
