// A span of time as a signed count of microseconds: the unit of every task
// delay (500000 is 500 ms). A plain value, safe on any thread.
#pragma once

#include <cstdint>

namespace nbase {

class TimeDelta {
 public:
  constexpr TimeDelta() = default;

  static constexpr TimeDelta FromMicroseconds(int64_t us) { return TimeDelta(us); }
  static constexpr TimeDelta FromMilliseconds(int64_t ms) { return TimeDelta(ms * 1000); }
  static constexpr TimeDelta FromSeconds(int64_t s) { return TimeDelta(s * 1000000); }

  constexpr int64_t ToMicroseconds() const { return us_; }
  constexpr int64_t ToMilliseconds() const { return us_ / 1000; }

  constexpr bool operator==(TimeDelta o) const { return us_ == o.us_; }
  constexpr bool operator<(TimeDelta o) const { return us_ < o.us_; }

 private:
  constexpr explicit TimeDelta(int64_t us) : us_(us) {}
  int64_t us_ = 0;
};

}  // namespace nbase
