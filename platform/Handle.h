// One RAII owner for every kind of operating-system handle (file, event, key, service, mailslot, socket).
//
// A Traits type says what an invalid value is and how to close a valid one:
//
//     struct Traits {
//         using value_type = ...;                  // the raw handle type
//         static value_type Invalid() noexcept;    // the value that owns nothing
//         void Close(value_type) const noexcept;   // releases a valid value
//     };
//
// Close may be a non-static member: a Traits object can carry state (for instance the interface that
// opened the handle), and the owner keeps a copy of it. The owner is move-only; moving it in transfers
// ownership, and move-assignment closes whatever the target held before.
#pragma once

#include <utility>

namespace kestrel {

template <class Traits>
class UniqueHandle {
public:
    using value_type = typename Traits::value_type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(value_type value, Traits traits = Traits()) noexcept : value_(value), traits_(traits) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()), traits_(other.traits_) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            traits_ = other.traits_;
            value_ = other.release();
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }
    value_type get() const noexcept { return value_; }
    const Traits& traits() const noexcept { return traits_; }

    // Gives up ownership without closing.
    value_type release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Closes the held value (if any) and takes ownership of the new one.
    void reset(value_type value = Traits::Invalid()) noexcept {
        value_type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) traits_.Close(old);
    }

private:
    value_type value_ = Traits::Invalid();
    [[no_unique_address]] Traits traits_{};
};

}  // namespace kestrel
