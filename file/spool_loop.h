// VEXA_File for one demodulated channel: opens the band, demodulates each block
// with a steady level (decoders want one) and hands the audio and the block's
// time to the spool, until a stop request or a key press.
#pragma once

#include "band_channel.h"
#include "command_line.h"
#include "demod.h"
#include "spool.h"
#include "spool_command_line.h"

// What one channel's capture loop works with; the large parts live for the run.
struct ChannelRun {
  BandChannel* ch;
  Demod* demod;
  Spool* spool;
  const SpoolSettings* settings;
  int32_t band;
  int32_t blockInSamples;  // read at a time, as the band announced at the start
  float* input;            // blockInSamples complex samples
  int16_t* audio;          // audioCapacity samples
  int audioCapacity;       // DemodMaxOut of a whole kDemodMaxIn at the starting rate
  int chunkIn;             // input samples one DemodRun takes: its output fits audio
  bool paused;             // the channel does not fit the band as it is now published
  int32_t rate, l0;        // the band's values the channel was last tuned for
};

// Designs the demodulator for the band's values; false, with a line naming the
// channel and the band, when the channel does not fit in the band.
bool TuneChannel(ChannelRun& r, int32_t sampleRate, int32_t l0);

// One wake-up: takes every whole block there is, demodulated, into the spool;
// a resync or lap breaks the spool's cycle, and so does a band retuned in place
// (its L0 or SampleRate changed): the channel follows it. False when the run
// must end.
bool ChannelPass(ChannelRun& r);

// The whole program for a channel's command line: parses it, opens the band,
// spools until stopped. Returns the exit status.
ExitStatus SpoolChannel(int argc, char** argv, BandChannel& ch);
