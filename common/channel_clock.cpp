#include "channel_clock.h"

static ULONGLONG UnbiasedNowMs() {
  ULONGLONG hundredNs = 0;
  QueryUnbiasedInterruptTime(&hundredNs);
  return hundredNs / 10000;
}

ChannelClock SystemChannelClock() {
  ChannelClock clock = {UnbiasedNowMs};
  return clock;
}

ChannelClock g_channelClock = SystemChannelClock();
