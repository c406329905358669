#include <stdio.h>

#include "band_channel.h"

void DescribeRefusal(const BandRefusal& r, const char* name, char* text, size_t size) {
  switch (r.reason) {
    case kNotRefused:
      snprintf(text, size, "%s opened", name);
      break;
    case kNoMapping:
      snprintf(text, size, "no band is published as %s", name);
      break;
    case kNoView:
      snprintf(text, size, "%s can't be mapped (error %d)", name, r.value);
      break;
    case kNoEvent:
      snprintf(text, size, "%s has no event e%s", name, name);
      break;
    case kRingNotPositive:
      snprintf(text, size, "BufferSize=%d is not a ring size", r.value);
      break;
    case kRingNotWhole:
      snprintf(text, size, "BufferSize=%d is not a whole number of samples", r.value);
      break;
    case kRingPastMapping:
      snprintf(text, size, "BufferSize=%d is larger than the %lld bytes the mapping holds", r.value,
               (long long)r.limit);
      break;
    case kWritePosOutside:
      snprintf(text, size, "WritePos=%d lies outside the ring of %lld bytes", r.value,
               (long long)r.limit);
      break;
    case kWritePosNotWhole:
      snprintf(text, size, "WritePos=%d is not on a whole sample", r.value);
      break;
    case kRingChanging:
      snprintf(text, size, "BufferSize changed from %lld to %d while it was read",
               (long long)r.limit, r.value);
      break;
  }
}
