#include "recorder.h"

#include <conio.h>
#include <stdio.h>
#include <stdlib.h>

#include "console_events.h"
#include "sample_pack.h"

// The system ends the process soon after a console-close handler returns; the
// handler waits this long at most for the last file to be completed.
static const DWORD kCloseGraceMs = 4000;

static volatile LONG g_stop = 0;     // set by the control handler, read by the loop
static HANDLE g_loopDone = nullptr;  // set once the last file is completed

bool AllocateBlockBuffers(BlockBuffers& b, int32_t blockInSamples, int32_t ringSize) {
  b.input = nullptr;
  b.output = nullptr;
  b.blockInSamples = 0;
  if (blockInSamples > kMaxBlockInSamples || !ChunkFitsRing(blockInSamples, ringSize)) return false;
  b.input = static_cast<float*>(malloc(size_t(blockInSamples) * kSampleBytes));
  b.output = static_cast<uint8_t*>(malloc(size_t(blockInSamples) * 6));
  if (!b.input || !b.output) {
    FreeBlockBuffers(b);
    return false;
  }
  b.blockInSamples = blockInSamples;
  return true;
}

void FreeBlockBuffers(BlockBuffers& b) {
  free(b.output);
  free(b.input);
  b.output = nullptr;
  b.input = nullptr;
  b.blockInSamples = 0;
}

BOOL WINAPI OnConsoleEvent(DWORD controlType) {
  const char* text = ConsoleEventText(controlType);
  if (!text) return FALSE;
  fputs(text, stdout);
  InterlockedExchange(&g_stop, 1);
  if (controlType == CTRL_CLOSE_EVENT && g_loopDone) WaitForSingleObject(g_loopDone, kCloseGraceMs);
  return TRUE;
}

bool StopRequested() {
  return g_stop != 0;
}

void ClearStopRequest() {
  InterlockedExchange(&g_stop, 0);
}

bool InstallStopHandler() {
  g_loopDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

void RemoveStopHandler() {
  if (g_loopDone) SetEvent(g_loopDone);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  if (g_loopDone) CloseHandle(g_loopDone);
  g_loopDone = nullptr;
}

void CaptureLoop(BandChannel& ch, WavWriter& w, const BlockBuffers& b, int scaleFactor) {
  if (_kbhit()) return;
  const int32_t len = b.blockInSamples * kSampleBytes;
  while (!StopRequested()) {
    WaitForData(ch, kResponsiveWaitMs);
    while (!StopRequested() && Read(ch, len, b.input)) {
      uint32_t bytes = ConvertBlock(b.input, b.blockInSamples, w.format, scaleFactor, b.output);
      WriteBlock(w, bytes, b.output);
    }
    if (_kbhit()) return;
  }
}
