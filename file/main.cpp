// VEXA_File: records one band of the receiver to WAV files in the current directory.
#include <stdio.h>

#include "command_line.h"
#include "console_mode.h"
#include "console_queue.h"
#include "file_io.h"
#include "flusher.h"
#include "numbers.h"
#include "receiver_band.h"
#include "recorder.h"
#include "spool_loop.h"

// One writer for the run; its buffers are too large for the stack.
static WavWriter g_writer;

static ExitStatus Record(BandChannel& ch, const RecorderSettings& s, int32_t band,
                         const BandHeader& h) {
  if (!CanRecord(band, h.SampleRate, h.BlockInSamples, ch.ringSize)) return kFailed;
  Setup(g_writer, s.format, h.SampleRate, h.L0, band, s.timeBase, s.rotation);
  if (!HoldsOneFile(s.budget, g_writer)) return kBadArguments;
  SetBudget(g_writer, BudgetBytes(s.budget, g_writer));
  Recording r = {&ch, &g_writer, {}, band, s.scaleFactor, false, {}, {}};
  if (!AllocateBlockBuffers(r.buffers, h.BlockInSamples)) {
    fprintf(stderr, "Can't record %d receiver: no memory for BlockInSamples=%d\n", band,
            h.BlockInSamples);
    return kFailed;
  }
  PrintForecast(g_writer, s.budget);
  if (!InstallStopHandler()) printf("Can't register console control handler!\n");
  ConsoleQueueStart();  // neither the console
  FlusherStart();       // nor the disk can hold up the capture loop
  CaptureLoop(r);
  CloseFile(g_writer);
  FlusherStop();
  ConsoleQueueStop();
  RemoveStopHandler();
  FreeBlockBuffers(r.buffers);
  return kStopped;
}

static bool NoFlush(HANDLE) {
  return true;
}

// VEXA_FILE_FLUSH=0 leaves the flushing to the system: the benchmark's baseline.
static void ChooseFlushing() {
  int32_t flush = 1;
  if (EnvironmentInt32("VEXA_FILE_FLUSH", &flush) && flush == 0) g_fileIo.flush = NoFlush;
}

static ExitStatus Run(int argc, char** argv, BandChannel& ch) {
  RecorderSettings settings;
  int32_t band;
  BandHeader header;
  if (WantsChannel(argc, argv)) return SpoolChannel(argc, argv, ch);
  if (!ParseCommandLine(argc, argv, &settings)) return kBadArguments;
  ChooseFlushing();
  if (!OpenReceiverBand(ch, "record", settings.band, &band, &header)) return kFailed;
  return Record(ch, settings, band, header);
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  QuickEditOff();
  BandChannel ch;
  ChannelInit(ch);
  ExitStatus status = Run(argc, argv, ch);
  Close(ch);
  QuickEditRestore();
  return status;
}
