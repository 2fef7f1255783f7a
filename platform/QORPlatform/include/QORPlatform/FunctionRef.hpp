#pragma once
// A non-owning reference to something callable.

#include <memory>
#include <type_traits>
#include <utility>

namespace qor {

template <class Signature>
class FunctionRef;

/// Refers to a callable for the duration of one call: two pointers, no allocation, no copy of
/// the callable. The callable must outlive the reference (pass a lambda straight to the function
/// that takes the reference). Used on hot paths where `std::function` would allocate for
/// captures that do not fit its small buffer.
template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F,
              class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                                       std::is_invocable_r_v<R, F&, Args...>>>
    FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor): a reference converts implicitly
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace qor
