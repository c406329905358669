// vexa_sim: a stand-in for the receiver's band publisher. It publishes bands in
// shared memory exactly as the receiver does, so the VEXA tools can be tried and
// tested without a receiver.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "numbers.h"
#include "publisher.h"
#include "sim_file.h"

#include <mmsystem.h>

static const char kUsage[] =
    "Usage: vexa_sim [global options] --band N [band options] [--band M [band options]]...\n"
    "\n"
    "Publishes receiver bands in shared memory (mapping VEXA<N>Band, event eVEXA<N>Band)\n"
    "so that the VEXA tools can run without a receiver. Stops on Ctrl+C. A band whose\n"
    "name readers still hold with a smaller ring is created once they let it go.\n"
    "\n"
    "Band options, for the --band before them:\n"
    "  --rate R            SampleRate in samples/s (default 192000; 0 publishes an unused band)\n"
    "  --block B           BlockInSamples (default 2048)\n"
    "  --l0 HZ             L0, the centre frequency in Hz (default 7050000)\n"
    "  --ring BYTES        ring size, a multiple of 8 (default 4194304)\n"
    "  --signal KIND       counter (default), tone or silence\n"
    "  --file PATH         publish an I/Q WAV file (stereo, 16-bit or float) once, at\n"
    "                      its own rate, then silence\n"
    "  --start-on S        the file's first sample on the next UTC multiple of S seconds\n"
    "  --tone HZ           tone offset from L0 in Hz, I = cos, Q = sin (default 1000)\n"
    "  --level DB          tone level in dB below full scale (default -6)\n"
    "  --blocks N          write N blocks, then stay silent (default: no limit)\n"
    "  --at SEC FIELD=V    at SEC seconds set FIELD (l0, rate, block or writepos) to V;\n"
    "                      ring=N publishes the band anew in the same mapping: a ring of\n"
    "                      N bytes (at most --ring), WritePos 0, the counter from 0;\n"
    "                      buffersize=N sets the header's BufferSize alone, a broken\n"
    "                      header for the readers to refuse (the ring stays as it is)\n"
    "  --pause SEC DUR     at SEC seconds write nothing for DUR seconds, then go on at\n"
    "                      the band's pace from there, with no burst for the blocks missed\n"
    "\n"
    "Global options:\n"
    "  --speed X           pace blocks at X times real time (default 1), or max\n"
    "  --seconds S         stop after S seconds (default: until Ctrl+C)\n"
    "\n"
    "Counter signal: sample k has m = k mod 65536, I = (m - 32768) * 65536 and\n"
    "Q = (32767 - m) * 65536; at scale factor 16 that is I = m - 32768, Q = 32767 - m.\n";

static const int kMaxBands = kBandCount;
static const int kMaxChanges = 16;
static const int32_t kMaxBlock = 1 << 20;
static const double kPi = 3.14159265358979323846;
// Longer than the readers take to let a quiet band go (five seconds and two blocks).
static const ULONGLONG kTakeOverMs = 30000;

enum SignalKind { kCounter, kTone, kSilence, kFile };

// Made at its time: a header field, a new ring or a pause.
struct TimedChange {
  double atSeconds;
  char field;  // 'l' L0, 'r' SampleRate, 'b' BlockInSamples, 'w' WritePos, 'g' a new ring,
               // 's' BufferSize alone, 'p' a pause of `value` milliseconds
  int32_t value;
  bool done;
};

struct SimBand {
  int band;
  int32_t rate, block, l0, ring;
  SignalKind signal;
  double toneHz, levelDb, phase;
  int64_t blockLimit;  // -1: no limit
  int64_t blocksWritten;
  double nextDue;  // seconds since start
  TimedChange changes[kMaxChanges];
  int changeCount;
  Publisher pub;
  std::vector<float> samples;
  const char* filePath;  // null unless --file
  SimFile file;
};

struct SimOptions {
  SimBand bands[kMaxBands];
  int bandCount;
  double speed;    // 0: as fast as possible
  double seconds;  // 0: until Ctrl+C
};

static volatile LONG g_stop = 0;

static BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop = 1;
  return TRUE;
}

static bool Fail(const char* option, const char* value) {
  fprintf(stderr, "vexa_sim: bad value for %s: '%s' (see vexa_sim --help)\n", option, value);
  return false;
}

static bool ParseDouble(const char* text, double* value) {
  char* end;
  *value = strtod(text, &end);
  return end != text && *end == 0 && isfinite(*value);
}

static void BandDefaults(SimBand& b, int band) {
  memset(&b.pub, 0, sizeof b.pub);
  b.band = band;
  b.rate = 192000;
  b.block = 2048;
  b.l0 = 7050000;
  b.ring = 4194304;
  b.signal = kCounter;
  b.toneHz = 1000;
  b.levelDb = -6;
  b.phase = 0;
  b.blockLimit = -1;
  b.blocksWritten = 0;
  b.nextDue = 0;
  b.changeCount = 0;
  b.filePath = nullptr;
  b.file.startOn = 0;
}

// The band's next change, due `when` seconds after the start; null after a message.
static TimedChange* NewChange(SimBand& b, const char* option, const char* when) {
  if (b.changeCount == kMaxChanges) {
    fprintf(stderr, "vexa_sim: band %d: more than %d --at and --pause (see vexa_sim --help)\n",
            b.band, kMaxChanges);
    return nullptr;
  }
  TimedChange& c = b.changes[b.changeCount];
  if (!ParseDouble(when, &c.atSeconds) || c.atSeconds < 0) {
    Fail(option, when);
    return nullptr;
  }
  c.done = false;
  b.changeCount++;
  return &c;
}

static bool ParseChange(SimBand& b, const char* when, const char* what) {
  TimedChange* change = NewChange(b, "--at", when);
  if (!change) return false;
  TimedChange& c = *change;
  const char* eq = strchr(what, '=');
  if (!eq || !ParseInt32(eq + 1, &c.value)) return Fail("--at", what);
  size_t n = size_t(eq - what);
  if (n == 2 && strncmp(what, "l0", 2) == 0)
    c.field = 'l';
  else if (n == 4 && strncmp(what, "rate", 4) == 0)
    c.field = 'r';
  else if (n == 5 && strncmp(what, "block", 5) == 0)
    c.field = 'b';
  else if (n == 8 && strncmp(what, "writepos", 8) == 0)
    c.field = 'w';
  else if (n == 4 && strncmp(what, "ring", 4) == 0)
    c.field = 'g';
  else if (n == 10 && strncmp(what, "buffersize", 10) == 0)
    c.field = 's';
  else
    return Fail("--at", what);
  if (c.field == 'b' && (c.value < 1 || c.value > kMaxBlock)) return Fail("--at", what);
  if (c.field == 'g' && (c.value < 8 || c.value % 8 != 0)) return Fail("--at", what);
  return true;
}

// Up to a day, kept in milliseconds with the header changes.
static bool ParsePause(SimBand& b, const char* when, const char* length) {
  TimedChange* c = NewChange(b, "--pause", when);
  if (!c) return false;
  double seconds;
  if (!ParseDouble(length, &seconds) || seconds < 0 || seconds > 86400)
    return Fail("--pause", length);
  c->field = 'p';
  c->value = int32_t(seconds * 1000 + 0.5);
  return true;
}

static bool ParseSignal(SimBand& b, const char* v) {
  if (strcmp(v, "counter") == 0)
    b.signal = kCounter;
  else if (strcmp(v, "tone") == 0)
    b.signal = kTone;
  else if (strcmp(v, "silence") == 0)
    b.signal = kSilence;
  else
    return Fail("--signal", v);
  return true;
}

static bool ParseInt(const char* option, const char* v, int32_t lo, int32_t hi, int32_t* out) {
  if (!ParseInt32(v, out) || *out < lo || *out > hi) return Fail(option, v);
  return true;
}

// One band option and its value; *used is how many arguments it took.
static bool ParseBandOption(SimBand& b, char** argv, int left, int* used) {
  const char* o = argv[0];
  *used = 2;
  if (left < 2) return Fail(o, "(missing)");
  const char* v = argv[1];
  int32_t n;
  if (strcmp(o, "--rate") == 0) return ParseInt(o, v, INT32_MIN, INT32_MAX, &b.rate);
  if (strcmp(o, "--block") == 0) return ParseInt(o, v, 1, kMaxBlock, &b.block);
  if (strcmp(o, "--l0") == 0) return ParseInt(o, v, INT32_MIN, INT32_MAX, &b.l0);
  if (strcmp(o, "--ring") == 0) {
    if (!ParseInt(o, v, 8, 1 << 30, &b.ring) || b.ring % 8 != 0) return Fail(o, v);
    return true;
  }
  if (strcmp(o, "--signal") == 0) return ParseSignal(b, v);
  if (strcmp(o, "--file") == 0) {
    b.filePath = v;
    b.signal = kFile;
    return true;
  }
  if (strcmp(o, "--start-on") == 0) return ParseInt(o, v, 1, 86400, &b.file.startOn);
  if (strcmp(o, "--tone") == 0) return ParseDouble(v, &b.toneHz) || Fail(o, v);
  if (strcmp(o, "--level") == 0) return ParseDouble(v, &b.levelDb) || Fail(o, v);
  if (strcmp(o, "--blocks") == 0) {
    if (!ParseInt(o, v, 0, INT32_MAX, &n)) return false;
    b.blockLimit = n;
    return true;
  }
  if (strcmp(o, "--at") == 0 || strcmp(o, "--pause") == 0) {
    *used = 3;
    if (left < 3) return Fail(o, "(missing)");
    return o[2] == 'a' ? ParseChange(b, v, argv[2]) : ParsePause(b, v, argv[2]);
  }
  fprintf(stderr, "vexa_sim: unknown option '%s' (see vexa_sim --help)\n", o);
  return false;
}

static bool ParseGlobalOption(SimOptions& opt, const char* o, const char* v) {
  if (strcmp(o, "--speed") == 0) {
    if (strcmp(v, "max") == 0)
      opt.speed = 0;
    else if (!ParseDouble(v, &opt.speed) || opt.speed <= 0)
      return Fail(o, v);
    return true;
  }
  if (!ParseDouble(v, &opt.seconds) || opt.seconds <= 0) return Fail(o, v);
  return true;
}

static bool ParseArgs(int argc, char** argv, SimOptions& opt) {
  opt.bandCount = 0;
  opt.speed = 1;
  opt.seconds = 0;
  for (int i = 1; i < argc;) {
    const char* o = argv[i];
    if (strcmp(o, "--speed") == 0 || strcmp(o, "--seconds") == 0) {
      if (i + 1 >= argc) return Fail(o, "(missing)");
      if (!ParseGlobalOption(opt, o, argv[i + 1])) return false;
      i += 2;
    } else if (strcmp(o, "--band") == 0) {
      int32_t band;
      if (i + 1 >= argc || !ParseInt(o, argv[i + 1], 0, kBandCount - 1, &band)) return false;
      for (int k = 0; k < opt.bandCount; k++) {
        if (opt.bands[k].band == band) return Fail("--band (named twice)", argv[i + 1]);
      }
      BandDefaults(opt.bands[opt.bandCount++], band);
      i += 2;
    } else if (opt.bandCount == 0) {
      fprintf(stderr, "vexa_sim: '%s' comes before any --band (see vexa_sim --help)\n", o);
      return false;
    } else {
      int used;
      if (!ParseBandOption(opt.bands[opt.bandCount - 1], argv + i, argc - i, &used)) return false;
      i += used;
    }
  }
  if (opt.bandCount > 0) return true;
  fprintf(stderr, "vexa_sim: no --band given\n%s", kUsage);
  return false;
}

static void FillBlock(SimBand& b) {
  float* iq = b.samples.data();
  if (b.signal == kCounter) {
    CounterPattern(b.pub.samplesWritten, b.block, iq);
    return;
  }
  if (b.signal == kFile) {
    SimFileFill(b.file, b.pub.samplesWritten, b.block, iq);
    return;
  }
  double amplitude = b.signal == kTone ? 2147483648.0 * pow(10.0, b.levelDb / 20) : 0;
  double step = b.rate > 0 ? 2 * kPi * b.toneHz / b.rate : 0;
  for (int32_t i = 0; i < b.block; i++) {
    iq[2 * i] = float(amplitude * cos(b.phase));
    iq[2 * i + 1] = float(amplitude * sin(b.phase));
    b.phase = fmod(b.phase + step, 2 * kPi);
  }
}

// A receiver that stalls: no block until the pause is over, then blocks at the
// band's pace from there, as if the pause had not been (no burst to catch up).
static void Pause(SimBand& b, const TimedChange& c, double now) {
  b.nextDue = now + c.value / 1000.0;
  printf("band %d at %.3f s: paused for %.3f s\n", b.band, now, c.value / 1000.0);
}

static void ApplyChanges(SimBand& b, double now) {
  for (int k = 0; k < b.changeCount; k++) {
    TimedChange& c = b.changes[k];
    if (c.done || now < c.atSeconds) continue;
    c.done = true;
    if (c.field == 'p') {
      Pause(b, c, now);
      continue;
    }
    if (c.field == 'l') b.pub.header->L0 = b.l0 = c.value;
    if (c.field == 'r') b.pub.header->SampleRate = b.rate = c.value;
    if (c.field == 'b') b.pub.header->BlockInSamples = b.block = c.value;
    if (c.field == 'w') b.pub.header->WritePos = c.value;
    if (c.field == 's') b.pub.header->BufferSize = c.value;
    if (c.field == 'g') {
      b.pub.ringSize = b.pub.header->BufferSize = c.value;
      b.pub.header->WritePos = 0;
      b.pub.samplesWritten = 0;
    }
    if (b.nextDue < now) b.nextDue = now;
    printf("band %d at %.3f s: SampleRate=%d BlockInSamples=%d L0=%d BufferSize=%d WritePos=%d\n",
           b.band, now, b.rate, b.block, b.l0, b.pub.header->BufferSize, b.pub.header->WritePos);
  }
}

static bool Writing(const SimBand& b) {
  return b.rate > 0 && (b.blockLimit < 0 || b.blocksWritten < b.blockLimit);
}

// Writes every block of b that is due by `now`; returns when b's next block is due.
static double ServeBand(SimBand& b, double now, double speed) {
  ApplyChanges(b, now);
  if (!Writing(b)) return now + 0.01;
  if (b.nextDue > now) return b.nextDue;  // paused
  do {
    FillBlock(b);
    PublisherWrite(b.pub, b.samples.data(), b.block);
    b.blocksWritten++;
    b.nextDue += speed > 0 ? double(b.block) / b.rate / speed : 0;
  } while (speed > 0 && b.nextDue <= now && Writing(b) && !g_stop);
  return b.nextDue;
}

static double Seconds(LARGE_INTEGER start, LARGE_INTEGER freq) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return double(now.QuadPart - start.QuadPart) / double(freq.QuadPart);
}

static void Run(SimOptions& opt) {
  LARGE_INTEGER freq, start;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&start);
  double utc = SimUtcSeconds();
  for (int k = 0; k < opt.bandCount; k++) {
    if (opt.bands[k].signal == kFile) SimFileSchedule(opt.bands[k].file, opt.bands[k].block, utc);
  }
  timeBeginPeriod(1);
  while (!g_stop) {
    double now = Seconds(start, freq);
    if (opt.seconds > 0 && now >= opt.seconds) break;
    double nextDue = now + 0.01;
    for (int k = 0; k < opt.bandCount; k++) {
      SimBand& b = opt.bands[k];
      double due = b.nextDue <= now ? ServeBand(b, now, opt.speed) : b.nextDue;
      if (due < nextDue) nextDue = due;
    }
    double wait = nextDue - Seconds(start, freq);
    if (wait > 0.0015) Sleep(DWORD(wait * 1000));
  }
  timeEndPeriod(1);
}

// A new ring must fit in the mapping the band was created with.
static bool RingChangesFit(const SimBand& b) {
  for (int k = 0; k < b.changeCount; k++) {
    if (b.changes[k].field == 'g' && b.changes[k].value > b.ring) {
      fprintf(stderr, "vexa_sim: band %d: ring=%d is larger than --ring %d\n", b.band,
              b.changes[k].value, b.ring);
      return false;
    }
  }
  return true;
}

static int32_t LargestBlock(const SimBand& b) {
  int32_t largest = b.block;
  for (int k = 0; k < b.changeCount; k++) {
    if (b.changes[k].field == 'b' && b.changes[k].value > largest) largest = b.changes[k].value;
  }
  return largest;
}

// A restarted receiver whose band's name is still bound to the old, smaller mapping
// (readers hold it) waits for the readers to let it go, which they do once the band
// has been quiet for a while, and then creates it afresh.
static bool CreateBand(SimBand& b) {
  ULONGLONG start = GetTickCount64();
  bool told = false;
  while (!PublisherCreate(b.pub, b.band, b.rate, b.block, b.l0, b.ring)) {
    DWORD error = GetLastError();
    if (!b.pub.heldSmaller || g_stop || GetTickCount64() - start > kTakeOverMs) {
      fprintf(stderr, "vexa_sim: can't create band %d (error %lu)\n", b.band, error);
      return false;
    }
    if (!told)
      printf("band %d: VEXA%dBand is held smaller by its readers, waiting\n", b.band, b.band);
    told = true;
    Sleep(200);
  }
  return true;
}

static bool CreateBands(SimOptions& opt) {
  for (int k = 0; k < opt.bandCount; k++) {
    SimBand& b = opt.bands[k];
    if (!RingChangesFit(b)) return false;
    if (b.filePath && !SimFileLoad(b.file, b.filePath)) return false;
    if (b.filePath) b.rate = b.file.rate;
    b.samples.assign(size_t(LargestBlock(b)) * 2, 0.0f);
    if (!CreateBand(b)) return false;
    static const char* kSignalNames[] = {"counter", "tone", "silence", "file"};
    printf("band %d: VEXA%dBand SampleRate=%d BlockInSamples=%d L0=%d BufferSize=%d signal=%s\n",
           b.band, b.band, b.rate, b.block, b.l0, b.ring, kSignalNames[b.signal]);
  }
  return true;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  static SimOptions opt;
  if (!ParseArgs(argc, argv, opt)) return 2;
  int status = 1;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  if (CreateBands(opt)) {
    if (opt.speed > 0)
      printf("publishing at %gx real time, Ctrl+C to stop\n", opt.speed);
    else
      printf("publishing as fast as possible, Ctrl+C to stop\n");
    Run(opt);
    status = 0;
  }
  for (int k = opt.bandCount - 1; k >= 0; k--) {
    SimBand& b = opt.bands[k];
    if (b.pub.view) printf("band %d: %lld blocks written\n", b.band, (long long)b.blocksWritten);
    PublisherClose(b.pub);
  }
  printf("stopped\n");
  return status;
}
