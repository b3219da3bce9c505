#pragma once
// Shared fixture of the injector's unit tests: an injector on manual queues that share one
// clock, recording event and window services, and scriptable display choices.

#include "DuskFerryAgent/input/InputInjector.h"
#include "platform/fake/input/FakeInputEvents.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>

#include <map>

namespace df::testsupport {

class ScriptedDisplays final : public TargetDisplays {
public:
    std::optional<uint32_t> virtualID;
    std::optional<uint32_t> selectedID;
    std::optional<uint32_t> mainID = 1;
    std::map<uint32_t, DisplayBounds> boundsByID{{1, DisplayBounds{0, 0, 1920, 1080}}};

    std::optional<uint32_t> virtualDisplayID() override { return virtualID; }
    std::optional<uint32_t> selectedDisplayID() override { return selectedID; }
    size_t queries = 0;

    std::optional<uint32_t> systemMainID() override {
        ++queries;
        return mainID;
    }
    DisplayBounds bounds(uint32_t id) override {
        ++queries;
        auto it = boundsByID.find(id);
        return it == boundsByID.end() ? DisplayBounds{} : it->second;
    }
};

class InjectorTest : public ::testing::Test {
protected:
    InjectorTest() {
        events->setCursorPosition(ScreenPoint{100, 100});
        eventQueue->setCurrentByDefault(true);
        InputInjector::Services services{events, windows, displays, axQueue, momentumQueue, typingQueue};
        injector = InputInjector::create(eventQueue, services);
    }

    using T = InputEvent::Type;

    std::vector<InputEvent> take() {
        auto e = events->events();
        events->clearEvents();
        return e;
    }
    static std::vector<T> types(const std::vector<InputEvent>& e) {
        std::vector<T> out;
        for (const auto& x : e) out.push_back(x.type);
        return out;
    }

    std::shared_ptr<fake::ManualClock> clock = std::make_shared<fake::ManualClock>(1000.0);
    std::shared_ptr<fake::ManualQueue> eventQueue = std::make_shared<fake::ManualQueue>("duskferry.server", clock);
    std::shared_ptr<fake::ManualQueue> axQueue = std::make_shared<fake::ManualQueue>("duskferry.input.ax", clock);
    std::shared_ptr<fake::ManualQueue> momentumQueue =
        std::make_shared<fake::ManualQueue>("duskferry.input.momentum", clock);
    std::shared_ptr<fake::ManualQueue> typingQueue = std::make_shared<fake::ManualQueue>("duskferry.input.typing", clock);
    std::shared_ptr<fake::FakeInputEvents> events = std::make_shared<fake::FakeInputEvents>();
    std::shared_ptr<fake::FakeWindowServices> windows = std::make_shared<fake::FakeWindowServices>();
    std::shared_ptr<ScriptedDisplays> displays = std::make_shared<ScriptedDisplays>();
    std::shared_ptr<InputInjector> injector;
};

}  // namespace df::testsupport
