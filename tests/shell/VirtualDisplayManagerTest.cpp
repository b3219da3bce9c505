// The shell's virtual-display management on fakes: the main queue is a ManualQueue, the
// display server a FakeDisplays list with a recording FakeVirtualDisplays over it.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/capture/VirtualDisplayShim.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/VirtualDisplayManager.h"
#include "platform/fake/displays/FakeVirtualDisplays.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace df {
namespace {

using Placements = std::vector<DisplayPlacement>;

class VirtualDisplayManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{11, "DUMMY0", {0, 0, 1920, 1080}, true, 60}});
        VirtualDisplayManager::Services s;
        s.mainQueue = queue;
        s.shim = shim;
        s.displays = target;
        s.onStatus = [this](const std::string& text) { statuses.push_back(text); };
        s.l10n = l10n;
        s.onVirtualDisplayOn = [this](bool on) { panel.push_back(on); };
        manager = VirtualDisplayManager::create(std::move(s));
        manager->install(control);
    }
    void run() { queue->runUntilIdle(); }
    const DisplayDescription* find(uint32_t id) {
        list = displays->activeDisplays(16);
        for (const auto& d : list) {
            if (d.id == id) return &d;
        }
        return nullptr;
    }

    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("main");
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    std::shared_ptr<fake::FakeVirtualDisplays> host = std::make_shared<fake::FakeVirtualDisplays>(displays);
    std::vector<std::string> diagnostics;
    int64_t unixTime = 1700000000;
    std::shared_ptr<VirtualDisplayShim> shim = std::make_shared<VirtualDisplayShim>(
        host, [this] { return unixTime; }, [this](const std::string& line) { diagnostics.push_back(line); });
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(displays);
    std::shared_ptr<L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    VirtualDisplayControl control;
    std::vector<std::string> statuses;
    std::vector<bool> panel;
    std::shared_ptr<VirtualDisplayManager> manager;
    std::vector<DisplayDescription> list;
};

TEST_F(VirtualDisplayManagerTest, ShimAsksForTheDividedModeWithAFreshSerialEachTime) {
    struct Row {
        uint32_t factor;
        uint32_t width, height;
    };
    for (const auto& row : std::vector<Row>{{2, 2560, 1440}, {0, 5120, 2880}, {1, 5120, 2880}, {3, 1706, 960}}) {
        std::unique_ptr<VirtualDisplayHandle> handle;
        ASSERT_NE(DFVirtualDisplayCreate(*shim, 5120, 2880, row.factor, "Brevox Display", 120, handle), 0u);
        EXPECT_EQ(host->created().back().width, row.width) << row.factor;
        EXPECT_EQ(host->created().back().height, row.height) << row.factor;
        DFVirtualDisplayDestroy(*shim, std::move(handle));
    }
    const auto& spec = host->created().front();
    EXPECT_EQ(spec.name, "Brevox Display");
    EXPECT_EQ(spec.refreshRate, 120);
    EXPECT_EQ(spec.widthMillimetres, 600u);
    EXPECT_EQ(spec.heightMillimetres, 340u);
    EXPECT_EQ(spec.productID, 17478u);
    EXPECT_EQ(spec.vendorID, 7761u);
    // Counter plus Unix time, in 32 bits.
    std::vector<uint32_t> serials;
    for (const auto& s : host->created()) serials.push_back(s.serialNumber);
    EXPECT_EQ(serials, (std::vector<uint32_t>{1700000000, 1700000001, 1700000002, 1700000003}));
    unixTime = int64_t{0x1'0000'0005};
    std::unique_ptr<VirtualDisplayHandle> handle;
    DFVirtualDisplayCreate(*shim, 5120, 2880, 2, "Brevox Display", 120, handle);
    EXPECT_EQ(host->created().back().serialNumber, 9u);
    EXPECT_EQ(diagnostics.back(), "[DFVDisplay] created successfully displayID=1004 serial=9 name=\"Brevox Display\"");
    DFVirtualDisplayDestroy(*shim, nullptr);  // an absent handle is ignored
    EXPECT_EQ(host->destroyed().size(), 4u);
}

TEST_F(VirtualDisplayManagerTest, MakeMainPutsItAtTheOriginAndTheOthersInARowToItsLeft) {
    displays->setDisplays({{1, "A", {0, 0, 1920, 1080}, true, 60},
                           {2, "B", {1920, 0, 2560, 1440}, false, 60},
                           {3, "C", {4480, 0, 5120, 2880}, false, 60}});
    manager->makeMainDisplay(3);
    ASSERT_EQ(host->configurations().size(), 1u);
    EXPECT_EQ(host->configurations()[0].placements, (Placements{{3, 0, 0}, {1, -1920, 0}, {2, -4480, 0}}));
    EXPECT_EQ(host->configurations()[0].mainID, 3u);
    manager->makeMainDisplay(99);  // not active: nothing
    EXPECT_EQ(host->configurations().size(), 1u);
    // Back as it was, main display included.
    manager->restoreOriginalMainDisplay();
    ASSERT_EQ(host->configurations().size(), 2u);
    EXPECT_EQ(host->configurations()[1].placements, (Placements{{1, 0, 0}, {2, 1920, 0}, {3, 4480, 0}}));
    EXPECT_EQ(host->configurations()[1].mainID, 1u);
    // Nothing of ours to put back: the user's arrangement is left alone.
    manager->restoreOriginalMainDisplay();
    EXPECT_EQ(host->configurations().size(), 2u);
}

TEST_F(VirtualDisplayManagerTest, MainDisplayFollowsTheSessionWithADelayedRestore) {
    control.setEnabled(true);  // the phone's request, from the server queue
    run();
    const auto id = manager->virtualDisplayID();
    ASSERT_TRUE(id);
    EXPECT_EQ(target->virtualDisplayID(), id);
    EXPECT_EQ(panel, std::vector<bool>{true});

    control.setSessionActive(true);
    run();
    ASSERT_NE(find(*id), nullptr);
    EXPECT_TRUE(find(*id)->isMain);
    EXPECT_EQ(find(*id)->bounds.x, 0);
    EXPECT_EQ(find(11)->bounds.x, -1920);

    // The session ends; a new one within 3 s keeps the role.
    control.setSessionActive(false);
    queue->advance(2.9);
    run();
    control.setSessionActive(true);
    queue->advance(5.0);
    run();
    EXPECT_TRUE(find(*id)->isMain);

    // Ended for good: 3 s later the old arrangement is back and the user's display stays.
    control.setSessionActive(false);
    queue->advance(2.9);
    run();
    EXPECT_TRUE(find(*id)->isMain);
    queue->advance(0.2);
    run();
    EXPECT_TRUE(find(11)->isMain);
    EXPECT_FALSE(find(*id)->isMain);
    EXPECT_EQ(find(11)->bounds.x, 0);
    EXPECT_EQ(find(*id)->bounds.x, 1920);
    EXPECT_TRUE(manager->virtualDisplayOn());
    EXPECT_TRUE(host->destroyed().empty());
}

TEST_F(VirtualDisplayManagerTest, AnAutomaticDisplayGoesWithTheSessionOneTurnedOnByHandStays) {
    struct Row {
        const char* name;
        bool alsoByHand;  // the phone turns it on while it exists
        bool stays;
    };
    for (const auto& row : std::vector<Row>{{"automatic", false, false}, {"automatic, then by hand", true, true}}) {
        SCOPED_TRACE(row.name);
        control.setSessionActive(true);
        control.enableAuto();
        run();
        ASSERT_TRUE(manager->virtualDisplayID());
        EXPECT_TRUE(manager->virtualDisplayAutoCreated());
        control.enableAuto();  // one exists: no second one
        if (row.alsoByHand) control.setEnabled(true);
        run();
        EXPECT_EQ(manager->virtualDisplayAutoCreated(), !row.alsoByHand);
        queue->advance(VirtualDisplayManager::refreshDelay);
        run();
        const auto id = *manager->virtualDisplayID();
        EXPECT_TRUE(find(id)->isMain);  // created during the session: made main

        control.setSessionActive(false);
        queue->advance(VirtualDisplayManager::restoreDelay);
        run();
        EXPECT_EQ(manager->virtualDisplayID().has_value(), row.stays);
        EXPECT_EQ(target->virtualDisplayID().has_value(), row.stays);
        EXPECT_EQ(find(id) != nullptr, row.stays);
        EXPECT_TRUE(find(11)->isMain);
        EXPECT_EQ(find(11)->bounds.x, 0);
        manager->disableVirtualDisplay();
        run();
    }
    EXPECT_EQ(host->created().size(), 2u);
}

TEST_F(VirtualDisplayManagerTest, ADisplayServerWithoutASpareOutputIsReportedOnceAndChangesNothing) {
    host->failWith(VirtualDisplayFailure{VirtualDisplayFailure::Kind::noOutput, "no disconnected output"});
    control.setSessionActive(true);
    for (int i = 0; i < 3; ++i) {
        control.setEnabled(true);
        control.enableAuto();
        queue->advance(1.0);
        run();
    }
    EXPECT_EQ(statuses, std::vector<std::string>{"This computer's display server cannot add a virtual display"});
    EXPECT_FALSE(manager->virtualDisplayID());
    EXPECT_FALSE(target->virtualDisplayID());
    EXPECT_FALSE(manager->virtualDisplayOn());
    EXPECT_TRUE(host->configurations().empty());
    ASSERT_EQ(displays->activeDisplays(16).size(), 1u);
    EXPECT_EQ(diagnostics.front().rfind("[DFVDisplay] no output can take a virtual display (no disconnected output)", 0),
              0u);
}

TEST_F(VirtualDisplayManagerTest, ShutdownLeavesTheDisplayServerAsItWasFound) {
    control.setSessionActive(true);
    control.setEnabled(true);
    queue->advance(1.0);
    run();
    ASSERT_TRUE(manager->virtualDisplayID());
    manager->shutdown();
    EXPECT_EQ(host->destroyed().size(), 1u);
    ASSERT_EQ(displays->activeDisplays(16).size(), 1u);
    EXPECT_TRUE(find(11)->isMain);
    EXPECT_EQ(find(11)->bounds.x, 0);
}

}  // namespace
}  // namespace df
