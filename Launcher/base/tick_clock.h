// The millisecond clock that every task time is measured on: the system's
// 32-bit millisecond tick extended with a roll-over count, so that it never
// goes backwards across the tick's 49.7-day wrap.
//
// Threads: any thread may read it; readings are serialised by one lock, so
// they never decrease for any caller. The tick source is a seam: the process
// clock reads timeGetTime, tests build their own clock over a fake source.
#pragma once

#include <cstdint>

#include "base/lock.h"

namespace nbase {

class TickClock {
 public:
  using TickSource = uint32_t (*)();

  explicit TickClock(TickSource source);
  TickClock(const TickClock&) = delete;
  TickClock& operator=(const TickClock&) = delete;

  // The process clock over timeGetTime, made on first use.
  static TickClock& Instance();

  // Milliseconds since the tick origin; never decreasing.
  int64_t NowMilliseconds();
  int64_t NowMicroseconds() { return NowMilliseconds() * 1000; }

 private:
  Lock lock_;
  TickSource source_;
  int64_t rollover_ = 0;  // a multiple of 2^32
  uint32_t last_ = 0;
};

// Shorthand for TickClock::Instance().NowMicroseconds(): the time scale of
// delayed tasks.
int64_t NowMicroseconds();

}  // namespace nbase
