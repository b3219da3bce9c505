#pragma once
// Host notifications: a host service that reports changes hands out an Observation per
// subscriber; the subscription ends when the token is destroyed. ObserverList is the piece
// implementations (real and fake) keep their subscribers in.
//
// Callbacks run on whatever thread the host reports on, with the list's lock held: once a
// token's destructor returned, its callback is never called again. A callback therefore
// must not subscribe or unsubscribe; the agent's callbacks only hand the news to a queue.

#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace df {

class Observation {
public:
    virtual ~Observation() = default;
};

template <typename... Args>
class ObserverList {
public:
    using Callback = std::function<void(Args...)>;

    ObserverList() : state_(std::make_shared<State>()) {}

    std::unique_ptr<Observation> add(Callback callback) {
        std::lock_guard lock(state_->mutex);
        auto it = state_->callbacks.insert(state_->callbacks.end(), std::move(callback));
        return std::make_unique<Token>(state_, it);
    }

    void notify(Args... args) const {
        std::lock_guard lock(state_->mutex);
        for (const auto& callback : state_->callbacks) callback(args...);
    }

    size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->callbacks.size();
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::list<Callback> callbacks;
    };
    // Tokens may outlive the service (the list's state is shared with them).
    class Token final : public Observation {
    public:
        Token(std::shared_ptr<State> state, typename std::list<Callback>::iterator it)
            : state_(std::move(state)), it_(it) {}
        ~Token() override {
            std::lock_guard lock(state_->mutex);
            state_->callbacks.erase(it_);
        }

    private:
        std::shared_ptr<State> state_;
        typename std::list<Callback>::iterator it_;
    };
    std::shared_ptr<State> state_;
};

}  // namespace df
