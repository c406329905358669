// The band channel's clock, behind one seam so tests can move the time at will.
#pragma once

#include <windows.h>

struct ChannelClock {
  // Milliseconds on a clock that stands still while the machine sleeps or
  // hibernates: the publisher writes nothing then, so that time is no time away.
  ULONGLONG (*nowMs)();
};

// The clock every channel reads; tests replace its member and restore it.
extern ChannelClock g_channelClock;

// The real clock (QueryUnbiasedInterruptTime).
ChannelClock SystemChannelClock();
