// vexa_monitor: follows one published band and reports what arrives, to check a
// publisher (the receiver's or vexa_sim) without recording anything.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "band_channel.h"
#include "band_probe.h"
#include "numbers.h"

static const char kUsage[] =
    "Usage: vexa_monitor --list\n"
    "       vexa_monitor <BandNr> [--seconds S] [--counter]\n"
    "\n"
    "--list prints every published band: its number, centre and range in kHz (the\n"
    "range a frequency given to VEXA_File or VEXA_Wave picks it by), SampleRate,\n"
    "BlockInSamples and how many seconds its ring holds; a band not in use or\n"
    "refused says so.\n"
    "\n"
    "Opens band BandNr (mapping VEXA<BandNr>Band), prints its header, then once a\n"
    "second the blocks and samples that arrived. --counter checks vexa_sim's counter\n"
    "signal sample by sample. A band published anew, or a WritePos that jumps, is\n"
    "followed from its new position and counted as a resync. Stops after S seconds\n"
    "or on Ctrl+C.\n";

static volatile LONG g_stop = 0;

static BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop = 1;
  return TRUE;
}

struct MonitorStats {
  long long blocks;
  long long samples;
  long long counterErrors;
  long long nextIndex;  // expected counter index mod 65536, -1 before the first block
  long long resyncs;
};

static void CheckCounter(MonitorStats& s, const float* iq, int32_t samples) {
  for (int32_t i = 0; i < samples; i++) {
    long long m = (long long)(iq[2 * i] / 65536.0f) + 32768;
    bool qMatches = iq[2 * i + 1] == float((32767 - m) * 65536);
    if (s.nextIndex >= 0 && (m != s.nextIndex || !qMatches)) s.counterErrors++;
    s.nextIndex = (m + 1) & 0xFFFF;
  }
}

static bool ParseArgs(int argc, char** argv, int32_t* band, int32_t* seconds, bool* counter) {
  if (argc < 2) return false;
  if (!ParseInt32(argv[1], band) || *band < 0 || *band >= kBandCount) {
    fprintf(stderr, "vexa_monitor: bad band number '%s'\n", argv[1]);
    return false;
  }
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--counter") == 0) {
      *counter = true;
    } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc &&
               ParseInt32(argv[i + 1], seconds) && *seconds > 0) {
      i++;
    } else {
      fprintf(stderr, "vexa_monitor: bad argument '%s'\n", argv[i]);
      return false;
    }
  }
  return true;
}

static void Follow(BandChannel& ch, int32_t seconds, bool counter) {
  int32_t block = Header(ch)->BlockInSamples;
  std::vector<float> buffer(size_t(block) * 2);
  MonitorStats s = {0, 0, 0, -1, 0};
  DWORD start = GetTickCount();
  long long lastBlocks = 0;
  for (int32_t second = 1; !g_stop && (seconds == 0 || second <= seconds); second++) {
    while (!g_stop && GetTickCount() - start < DWORD(second) * 1000) {
      WaitForData(ch, kResponsiveWaitMs);
      while (Read(ch, block * kSampleBytes, buffer.data())) {
        s.blocks++;
        s.samples += block;
        if (counter) CheckCounter(s, buffer.data(), block);
      }
      if (TakeResync(ch)) {
        s.resyncs++;
        s.nextIndex = -1;  // the counter starts anew where the publisher is now
      }
    }
    printf("%d s: %lld blocks\n", second, s.blocks - lastBlocks);
    lastBlocks = s.blocks;
  }
  printf("total: %lld blocks, %lld samples", s.blocks, s.samples);
  if (counter) printf(", %lld counter errors", s.counterErrors);
  printf(", %lld resyncs\n", s.resyncs);
}

static void ListBand(int band, const BandEntry& e) {
  if (e.refusal.reason != kNotRefused) {
    char name[kBandNameSize], why[kRefusalTextSize];
    BandName(band, name);
    DescribeRefusal(e.refusal, name, why, sizeof why);
    printf("%4d  refused: %s\n", band, why);
  } else if (e.SampleRate <= 0) {
    printf("%4d  not in use (SampleRate=%d)\n", band, e.SampleRate);
  } else {
    double half = e.SampleRate / 2 / 1000.0;  // as LocateBand takes the range
    double centre = e.L0 / 1000.0;
    char range[48];
    snprintf(range, sizeof range, "%.3f..%.3f", centre - half, centre + half);
    printf("%4d  %10.3f  %-22s %10d %8d %7.2f\n", band, centre, range, e.SampleRate,
           e.BlockInSamples, double(e.BufferSize) / kSampleBytes / e.SampleRate);
  }
}

// Every band the publisher has, in one table; 1 when there is none.
static int ListBands() {
  BandEntry table[kBandCount];
  int32_t count = ProbeBandTable(table);
  if (count == 0) {
    fprintf(stderr, "vexa_monitor: no band is published (VEXA0Band .. VEXA%dBand)\n",
            kBandCount - 1);
    return 1;
  }
  printf("band  centre kHz  range kHz              SampleRate    block  ring s\n");
  for (int band = 0; band < count; band++) {
    const BandEntry& e = table[band];
    if (e.refusal.reason != kNotRefused || e.BufferSize > 0) ListBand(band, e);  // else not there
  }
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 2 && strcmp(argv[1], "--list") == 0) return ListBands();
  int32_t band = 0, seconds = 0;
  bool counter = false;
  if (!ParseArgs(argc, argv, &band, &seconds, &counter)) {
    fputs(kUsage, stderr);
    return 2;
  }
  BandChannel ch;
  ChannelInit(ch);
  char name[kBandNameSize];
  BandName(band, name);
  if (!Open(ch, name)) {
    char why[kRefusalTextSize] = "";
    if (ch.refusal.reason != kNoMapping) DescribeRefusal(ch.refusal, name, why, sizeof why);
    fprintf(stderr, "vexa_monitor: can't open band %d (%s)%s%s\n", band, name, why[0] ? ": " : "",
            why);
    return 1;
  }
  const volatile BandHeader* h = Header(ch);
  printf("band %d: SampleRate=%d BlockInSamples=%d L0=%d BufferSize=%d\n", band, h->SampleRate,
         h->BlockInSamples, h->L0, h->BufferSize);
  if (h->BlockInSamples < 1 || int64_t(h->BlockInSamples) * kSampleBytes >= h->BufferSize) {
    fprintf(stderr, "vexa_monitor: BlockInSamples %d does not fit the ring\n", h->BlockInSamples);
  } else {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    Follow(ch, seconds, counter);
  }
  Close(ch);
  return 0;
}
