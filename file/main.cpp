// VEXA_File: records one band of the receiver to WAV files in the current directory.
#include <stdio.h>

#include "command_line.h"
#include "receiver_band.h"
#include "recorder.h"

// One writer for the run; its buffers are too large for the stack.
static WavWriter g_writer;

// False when the band can't be recorded; true after an orderly stop.
static bool Record(BandChannel& ch, const RecorderSettings& s, int32_t band, const BandHeader& h) {
  if (!CanRecord(band, h.SampleRate, h.BlockInSamples, ch.ringSize)) return false;
  Recording r = {&ch, &g_writer, {}, band, s.scaleFactor, false, {}};
  if (!AllocateBlockBuffers(r.buffers, h.BlockInSamples)) {
    fprintf(stderr, "Can't record %d receiver: no memory for BlockInSamples=%d\n", band,
            h.BlockInSamples);
    return false;
  }
  Setup(g_writer, s.format, h.SampleRate, h.L0, band, s.timeBase, s.rotation);
  if (!InstallStopHandler()) printf("Can't register console control handler!\n");
  CaptureLoop(r);
  CloseFile(g_writer);
  RemoveStopHandler();
  FreeBlockBuffers(r.buffers);
  return true;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  BandChannel ch;
  ChannelInit(ch);
  RecorderSettings settings;
  int32_t band;
  BandHeader header;
  // A script or a service wrapper tells a failure from a normal stop by the status.
  bool recorded = ParseCommandLine(argc, argv, &settings) &&
                  OpenReceiverBand(ch, "record", settings.band, &band, &header) &&
                  Record(ch, settings, band, header);
  Close(ch);
  return recorded ? 0 : 1;
}
