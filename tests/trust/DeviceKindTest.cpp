// The device kind from product names and models, from a fake and from a prepared
// /proc + /sys tree read by the real Linux implementation.

#include "DuskFerryAgent/trust/DeviceKind.h"
#include "platform/fake/sysinfo/FakeSystemInfo.h"
#include "platform/linux/sysinfo/LinuxSystemInfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace df {
namespace {

namespace fs = std::filesystem;

TEST(DeviceKindTest, FirstMatchingTestWins) {
    struct Case {
        const char* name;
        const char* kind;
    } cases[] = {
        {"Mac mini (2024)", "macmini"},
        {"Macmini9,1", "macmini"},
        {"Mac Studio (2023)", "macstudio"},
        {"Mac Studio mini", "macmini"},  // "mini" is tested before "studio"
        {"MacBook Air (15-inch, M3, 2024)", "macbook"},
        {"MacBookPro18,3", "macbook"},
        {"iMac (24-inch, 2023)", "imac"},
        {"Mac Pro (2023)", "macpro"},
        {"MacPro7,1", "macpro"},
        {"Apple MacPro", "mac"},  // "macpro" only counts at the start
        {"Mac14,3", "mac"},
        {"", "mac"},
        {"ThinkPad X1 Carbon", "mac"},
    };
    for (const auto& c : cases) EXPECT_EQ(DeviceKind::fromName(c.name), c.kind) << c.name;
}

TEST(DeviceKindTest, ProductNameFirstThenModel) {
    fake::FakeSystemInfo info;
    EXPECT_EQ(DeviceKind::detect(info), "mac");

    info.model = "MacPro7,1";
    EXPECT_EQ(DeviceKind::detect(info), "macpro");

    std::string product("\0\0Mac mini (M2, 2023)\0", 22);
    info.product = Bytes(product.begin(), product.end());
    EXPECT_EQ(DeviceKind::detect(info), "macmini");

    info.product = Bytes{0xFF, 'i', 'M', 'a', 'c'};  // not UTF-8: the model decides
    EXPECT_EQ(DeviceKind::detect(info), "macpro");

    info.product = Bytes{};  // present but empty: the product name decides
    EXPECT_EQ(DeviceKind::detect(info), "mac");
}

class SysfsTree {
public:
    SysfsTree() {
        std::string pattern = (fs::temp_directory_path() / "duskferry-sysfs.XXXXXX").string();
        root = ::mkdtemp(pattern.data());
    }
    ~SysfsTree() { fs::remove_all(root); }
    void put(const std::string& path, std::string_view content) {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path, std::ios::binary) << content;
    }
    fs::path root;
};

TEST(DeviceKindTest, LinuxReadsDeviceTreeThenDmi) {
    SysfsTree tree;
    LinuxSystemInfo info(tree.root);
    EXPECT_FALSE(info.productName());
    EXPECT_FALSE(info.hardwareModel());
    EXPECT_EQ(DeviceKind::detect(info), "mac");

    tree.put("sys/class/dmi/id/product_name", "MacBookPro15,1\n");
    tree.put("sys/class/dmi/id/product_version", "1.0\n");
    EXPECT_EQ(info.hardwareModel(), "MacBookPro15,1 1.0");
    EXPECT_EQ(DeviceKind::detect(info), "macbook");

    tree.put("sys/class/dmi/id/product_name", "\n");  // blank: no model
    EXPECT_FALSE(info.hardwareModel());

    tree.put("proc/device-tree/model", std::string("Apple Mac Studio (M2 Max, 2023)\0", 32));
    EXPECT_EQ(DeviceKind::detect(info), "macstudio");
}

TEST(DeviceKindTest, ThisMachineIsOneOfTheSixKinds) {
    const std::set<std::string> kinds = {"macmini", "macstudio", "macbook", "imac", "macpro", "mac"};
    EXPECT_TRUE(kinds.contains(DeviceKind::detect(LinuxSystemInfo())));
}

}  // namespace
}  // namespace df
