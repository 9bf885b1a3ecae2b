// Weak callbacks: work bound to an object that does nothing once the object is
// gone. Every object that receives posted, repeated or event work derives from
// SupportWeakCallback and hands out callbacks made by ToWeakCallback.
//
// Threads: the flag's counts are atomic and the flag is made and dropped with
// atomic shared-pointer operations, so WeakRef, Cancel and the expiry test may
// race safely. The expiry test and the call that follows are not one step:
// an object bound into a task must be destroyed only on the thread that runs
// that task, or after that thread has ended.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace nbase {

// Carries no data: only its shared-ownership record matters. While an owner
// holds it the flag is alive and every callback made from it is armed.
struct WeakFlag {};

template <typename F>
class WeakCallback {
 public:
  WeakCallback(std::weak_ptr<WeakFlag> flag, F callable)
      : flag_(std::move(flag)), callable_(std::move(callable)) {}

  // Rewraps another callable type (a lambda into a std::function, say) bound
  // to the same flag.
  template <typename G, typename = std::enable_if_t<!std::is_same_v<G, F>>>
  WeakCallback(const WeakCallback<G>& other)  // NOLINT: implicit on purpose
      : flag_(other.flag_), callable_(other.callable_) {}

  // Calls the callable while the flag lives; otherwise returns the result
  // type's value-initialised default (nothing, false, null, 0).
  template <typename... Args>
  auto operator()(Args&&... args) const
      -> decltype(std::declval<F&>()(std::forward<Args>(args)...)) {
    using Result = decltype(std::declval<F&>()(std::forward<Args>(args)...));
    if (flag_.expired()) return Result();
    return callable_(std::forward<Args>(args)...);
  }

  bool Expired() const { return flag_.expired(); }

 private:
  template <typename G>
  friend class WeakCallback;

  std::weak_ptr<WeakFlag> flag_;
  mutable F callable_;
};

class SupportWeakCallback {
 public:
  SupportWeakCallback() = default;
  // A copy is a new object with no callbacks of its own yet.
  SupportWeakCallback(const SupportWeakCallback&) {}
  SupportWeakCallback& operator=(const SupportWeakCallback&) { return *this; }
  // Releasing the flag disarms every callback made from this object.
  virtual ~SupportWeakCallback() { std::atomic_store(&flag_, std::shared_ptr<WeakFlag>()); }

  // A weak reference to this object's flag, made on first need (and anew
  // after a cancel).
  std::weak_ptr<WeakFlag> WeakRef() {
    std::shared_ptr<WeakFlag> current = std::atomic_load(&flag_);
    if (!current) {
      auto fresh = std::make_shared<WeakFlag>();
      if (std::atomic_compare_exchange_strong(&flag_, &current, fresh)) current = fresh;
    }
    return current;
  }

  template <typename F>
  WeakCallback<std::decay_t<F>> ToWeakCallback(F&& callable) {
    return WeakCallback<std::decay_t<F>>(WeakRef(), std::forward<F>(callable));
  }

 protected:
  // Disarms every callback made so far; later ones are armed again.
  void ResetWeakFlag() { std::atomic_store(&flag_, std::shared_ptr<WeakFlag>()); }

 private:
  std::shared_ptr<WeakFlag> flag_;
};

// A stand-alone cancel token: owners keep one as a member and bind callbacks
// to it; Cancel disarms all of them at once.
class WeakCallbackFlag final : public SupportWeakCallback {
 public:
  void Cancel() { ResetWeakFlag(); }
};

}  // namespace nbase
