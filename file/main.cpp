// VEXA_File: records one band of the receiver to WAV files in the current directory.
#include <stdio.h>

#include "command_line.h"
#include "receiver_band.h"
#include "recorder.h"

// One writer for the run; its buffers are too large for the stack.
static WavWriter g_writer;

static void Record(BandChannel& ch, const RecorderSettings& s, int32_t band) {
  const volatile BandHeader* h = Header(ch);
  int32_t sampleRate = h->SampleRate;
  int32_t blockInSamples = h->BlockInSamples;
  int32_t l0 = h->L0;
  BlockBuffers buffers;
  if (!AllocateBlockBuffers(buffers, blockInSamples, ch.ringSize)) {
    fprintf(stderr, "Can't record %d receiver: BlockInSamples=%d is not supported\n", band,
            blockInSamples);
    return;
  }
  Setup(g_writer, s.format, sampleRate, l0, band, s.timeBase, s.rotation);
  if (!InstallStopHandler()) printf("Can't register console control handler!\n");
  CaptureLoop(ch, g_writer, buffers, s.scaleFactor);
  CloseFile(g_writer);
  RemoveStopHandler();
  FreeBlockBuffers(buffers);
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  BandChannel ch;
  ChannelInit(ch);
  RecorderSettings settings;
  int32_t band;
  if (ParseCommandLine(argc, argv, &settings) && OpenReceiverBand(ch, settings.band, &band)) {
    Record(ch, settings, band);
  }
  Close(ch);
  return 0;
}
