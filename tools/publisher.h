// A band publisher: creates a band's mapping and event under the names the readers
// open, and writes blocks into its ring. The simulator runs one per band; unit
// tests use it in-process to write exactly the blocks they need.
#pragma once

#include "band_channel.h"

struct Publisher {
  int band;
  HANDLE mapping;  // null while closed
  uint8_t* view;   // writable view of the whole mapping
  HANDLE event;    // manual-reset, so every waiting reader wakes
  volatile BandHeader* header;
  uint8_t* ring;
  int32_t ringSize;
  uint64_t samplesWritten;  // complex samples written since creation
  bool heldSmaller;         // the last create found the name bound to a smaller mapping
};

// Creates "VEXA<band>Band" with the header filled in and WritePos 0. ringBytes
// must be a positive multiple of 8. Where a reader still holds the band of an
// earlier publisher, its mapping is taken over when the new ring fits in it;
// otherwise the create fails with heldSmaller set, and can be tried again once the
// readers let the old mapping go.
bool PublisherCreate(Publisher& pub, int band, int32_t sampleRate, int32_t blockInSamples,
                     int32_t l0, int32_t ringBytes);

// Writes samples complex samples (I, Q floats) into the ring, wrapping at its end,
// then advances WritePos and sets the event. A write that ends at the ring's end
// leaves WritePos equal to the ring size, as the receiver's publisher does.
void PublisherWrite(Publisher& pub, const float* iq, int32_t samples);

// Counter pattern: sample k has m = k mod 65536, I = (m - 32768) * 65536 and
// Q = (32767 - m) * 65536, exact in float and in every conversion the readers make
// (16-bit with scale factor 16 gives I = m - 32768, Q = 32767 - m), so a reader
// can tell each sample's index and prove that nothing was lost or repeated.
void CounterPattern(uint64_t first, int32_t samples, float* iq);

void PublisherClose(Publisher& pub);
