// The rtl_tcp protocol: a 12-byte header once ("RTL0", tuner type, gain count,
// both u32 big-endian), then unsigned 8-bit I/Q; the client sends 5-byte
// commands (u8 id, u32 big-endian value) and never hears back.
#pragma once

#include <stdint.h>

#include "band_probe.h"

const int kRtlHeaderBytes = 12;
const int kRtlCommandBytes = 5;
const uint32_t kRtlTunerR820T = 5;  // accepted by every client, 24 MHz up in gr-osmosdr's view
const uint32_t kRtlGainCount = 29;  // R820T's gain list

enum RtlCommandId : uint8_t {
  kRtlFrequency = 0x01,
  kRtlSampleRate = 0x02,
  kRtlGainMode = 0x03,
  kRtlGain = 0x04,
  kRtlLastKnown = 0x0e,  // 05..0e: correction, IF gain, AGC, direct sampling, ...
  kRtlTunerBandwidth = 0x40,
};

// What rtl_tcp itself starts with.
const uint32_t kRtlStartFrequency = 100000000;
const uint32_t kRtlStartRate = 2048000;

struct RtlParser {
  uint8_t bytes[kRtlCommandBytes];
  int have;
};

struct RtlCommand {
  uint8_t id;
  uint32_t value;
};

// Takes one byte of the stream; true when it ends a command, which is then in
// command.
bool RtlFeedByte(RtlParser& p, uint8_t byte, RtlCommand* command);

void RtlPutHeader(uint8_t* out);

// The sample rates librtlsdr takes; rtl_tcp keeps its rate on any other.
bool RtlRateValid(uint32_t rate);

// The band of table (count entries from ProbeBandTable) whose range covers
// frequency, else the nearest one; -1 when no band is published. *inside tells
// whether the band covers it.
int32_t RtlPickBand(const BandEntry* table, int32_t count, uint32_t frequency, bool* inside);

// True when the whole band lies inside a stream of rate centred on frequency.
bool RtlBandFits(const BandEntry& band, uint32_t frequency, uint32_t rate);
