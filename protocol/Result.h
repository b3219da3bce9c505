#pragma once
// A value or a failure description. Decoders return failures as values, never throw.

#include <string>
#include <utility>
#include <variant>

namespace df {

/// Why an operation failed; the text is for logs and tests, never shown to the user.
struct Failure {
    std::string description;
    bool operator==(const Failure&) const = default;
};

template <class T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The value; only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    /// The failure description; empty when ok().
    const std::string& error() const {
        static const std::string none;
        return ok() ? none : std::get<1>(state_).description;
    }

private:
    std::variant<T, Failure> state_;
};

}  // namespace df
