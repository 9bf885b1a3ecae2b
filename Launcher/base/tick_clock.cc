#include "base/tick_clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace nbase {

namespace {
uint32_t SystemTicks() { return timeGetTime(); }
}  // namespace

TickClock::TickClock(TickSource source) : source_(source ? source : &SystemTicks) {}

TickClock& TickClock::Instance() {
  static TickClock clock(&SystemTicks);
  return clock;
}

int64_t TickClock::NowMilliseconds() {
  AutoLock hold(lock_);
  const uint32_t now = source_();
  if (now < last_) rollover_ += int64_t{1} << 32;
  last_ = now;
  return rollover_ + now;
}

int64_t NowMicroseconds() { return TickClock::Instance().NowMicroseconds(); }

}  // namespace nbase
