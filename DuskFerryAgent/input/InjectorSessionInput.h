#pragma once
// The session's view of an input injector: what SessionServices::makeInput hands back.
// Session queue only, like the injector's handle…() calls.

#include "DuskFerryAgent/input/InputInjector.h"
#include "DuskFerryAgent/session/SessionInput.h"

#include <memory>

namespace df {

class InjectorSessionInput final : public SessionInput {
public:
    explicit InjectorSessionInput(std::shared_ptr<InputInjector> injector) : injector_(std::move(injector)) {}
    void handlePointer(const PointerEvent& e) override { injector_->handle(e); }
    void handleScroll(const ScrollEvent& e) override { injector_->handle(e); }
    void handleKey(const KeyEvent& e) override { injector_->handle(e); }
    void handleText(const TextInput& e) override { injector_->handle(e); }
    void handleGesture(SystemGesture g) override { injector_->handle(g); }
    std::optional<std::pair<double, double>> currentNormalizedPosition() override {
        auto p = injector_->currentNormalizedPosition();
        if (!p) return std::nullopt;
        return std::make_pair(p->x, p->y);
    }
    void close() override { injector_->close(); }

private:
    std::shared_ptr<InputInjector> injector_;
};

}  // namespace df
