// A list of observer pointers that tolerates removal (and addition) while it
// is being notified: removed entries are nulled and compacted away when the
// outermost notification ends. Used by the message loops.
//
// Threads: not locked; a list belongs to one thread (its loop's).
#pragma once

#include <algorithm>
#include <vector>

namespace nbase {

template <typename Observer>
class ObserverList {
 public:
  void AddObserver(Observer* observer) {
    if (observer && std::find(items_.begin(), items_.end(), observer) == items_.end())
      items_.push_back(observer);
  }

  void RemoveObserver(Observer* observer) {
    auto it = std::find(items_.begin(), items_.end(), observer);
    if (it == items_.end()) return;
    if (depth_ > 0) {
      *it = nullptr;
    } else {
      items_.erase(it);
    }
  }

  bool HasObserver(const Observer* observer) const {
    return std::find(items_.begin(), items_.end(), observer) != items_.end();
  }

  size_t size() const {
    return static_cast<size_t>(
        std::count_if(items_.begin(), items_.end(), [](Observer* o) { return o != nullptr; }));
  }

  // Calls fn(observer) for every observer present when it is reached;
  // observers added during the walk are reached too.
  template <typename Fn>
  void Notify(Fn&& fn) {
    ++depth_;
    for (size_t i = 0; i < items_.size(); ++i) {
      if (Observer* o = items_[i]) fn(o);
    }
    if (--depth_ == 0) Compact();
  }

 private:
  void Compact() { items_.erase(std::remove(items_.begin(), items_.end(), nullptr), items_.end()); }

  std::vector<Observer*> items_;
  int depth_ = 0;
};

}  // namespace nbase
