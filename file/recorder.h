// The capture loop: takes the band's blocks as they come, converts them and
// hands them to the WAV writer until a stop request or a key press.
#pragma once

#include <stdint.h>

#include "band_channel.h"
#include "wav_writer.h"

// Larger blocks than this are refused rather than buffered.
const int32_t kMaxBlockInSamples = 1 << 20;

// Made once at start-up for the band's block length; nothing is allocated per block.
//   input:  blockInSamples * 8 bytes, I and Q as floats
//   output: blockInSamples * 6 bytes, room for the 16-bit or the 24-bit block
struct BlockBuffers {
  float* input;  // null while not allocated
  uint8_t* output;
  int32_t blockInSamples;
};

// False, with nothing allocated, for a block length that is not positive, is
// above kMaxBlockInSamples or can never fit in a ring of ringSize bytes.
bool AllocateBlockBuffers(BlockBuffers& b, int32_t blockInSamples, int32_t ringSize);
void FreeBlockBuffers(BlockBuffers& b);

// Registers the console control handler; false when the system refuses it.
bool InstallStopHandler();
// Lets a handler that waits for the last file go, and unregisters it.
void RemoveStopHandler();

// What the handler does for Ctrl+C, Ctrl+Break and console close: prints the
// event's text and sets the stop flag. FALSE for any other event.
BOOL WINAPI OnConsoleEvent(DWORD controlType);
bool StopRequested();
void ClearStopRequest();

// Runs until the stop flag is set or a key is pressed. Waits for the publisher
// with a time-out, so a stop request is heard while the band is silent.
void CaptureLoop(BandChannel& ch, WavWriter& w, const BlockBuffers& b, int scaleFactor);
