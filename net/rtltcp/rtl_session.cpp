#include "rtl_session.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "command_guard.h"
#include "rtl_protocol.h"
#include "stream_client.h"
#include "stream_server.h"

static const uint32_t kMaxGainTenths = 500;
static const DWORD kZerosPaceMs = 10;  // a zero stream is made by the clock

struct RtlSession {
  StreamClient* c;
  RtlParser parser;
  CommandGuard guard;
  uint32_t frequency;
  uint32_t rate;
  bool manualGain;
  uint32_t gainTenths;
  bool zeros;            // no band covers the frequency: the stream is zero at the rate
  bool beside;           // the frequency lies outside the band, which the stream holds whole
  ULONGLONG zerosSince;  // when the zero stream began
  ULONGLONG lookedAt;    // when the zero stream last looked for a band to serve
  int64_t zerosSent;     // samples of it so far
};

static void logSettings(const RtlSession& s) {
  StreamClient& c = *s.c;
  if (s.zeros) {
    printf("%s settings: %u Hz, %u samples/s, gain %.1f dB: no band covers it, zeros\n", c.tag,
           s.frequency, s.rate, s.manualGain ? s.gainTenths / 10.0 : 0.0);
  } else {
    printf("%s settings: %u Hz, %u samples/s, gain %.1f dB: band %d (centre %d Hz)%s\n", c.tag,
           s.frequency, s.rate, s.manualGain ? s.gainTenths / 10.0 : 0.0, c.band, int(c.bandL0),
           s.beside ? ", zeros outside it" : "");
  }
}

static void enterZeros(RtlSession& s) {
  StreamClient& c = *s.c;
  s.zeros = true;
  Close(c.channel);
  c.band = -1;
  memset(c.output, 0, sizeof(float) * 2 * kStreamOutSamples);
  s.zerosSince = GetTickCount64();
  s.zerosSent = 0;
}

// The band that serves the frequency, or -1: one that covers it, or one beside
// it that the stream holds whole (beside says which).
static int32_t pickBand(const RtlSession& s, BandEntry table[kBandCount], bool* inside,
                        bool* beside) {
  int32_t count = ProbeBandTable(table);
  int32_t band = RtlPickBand(table, count, s.frequency, inside);
  *beside = band >= 0 && !*inside && RtlBandFits(table[band], s.frequency, s.rate);
  return *inside || *beside ? band : -1;
}

// Picks the band for the frequency and designs the path to the rate.
static void retune(RtlSession& s) {
  StreamClient& c = *s.c;
  BandEntry table[kBandCount];
  bool inside = false;
  int32_t band = pickBand(s, table, &inside, &s.beside);
  // A shift at the band's own rate wraps what passes its edges, so a stream at
  // least as fast as the band keeps the band's centre through the path and is
  // shifted at its own rate.
  bool shiftAfter = s.beside || (inside && s.rate >= uint32_t(table[band].SampleRate));
  char why[kReasonSize];
  s.zeros = band < 0 || ((band != c.band || !IsOpen(c.channel)) && !StreamOpenBand(c, band, why));
  StreamEndMessage(c);
  QueueFlush(c.queue);
  StreamSetFormat(c, kIqU8Centre1275, s.rate, 0);
  if (s.zeros) {
    enterZeros(s);
  } else {
    double offset = double(s.frequency) - double(c.bandL0);
    StreamShiftOutput(c, shiftAfter ? -offset : 0.0, s.rate);
    if (!IqPathInit(*c.path, c.bandRate, s.rate, shiftAfter ? 0.0 : offset)) {
      printf("%s no signal path from %d to %u samples/s\n", c.tag, int(c.bandRate), s.rate);
      enterZeros(s);
    }
    SkipToWritePos(c.channel);
  }
  logSettings(s);
}

// The tuner's gain becomes a digital gain; automatic gain is 0 dB, where the
// band's full scale is the byte's.
static void setGain(RtlSession& s) {
  double db = s.manualGain ? s.gainTenths / 10.0 : 0.0;
  float gain = float(pow(10.0, db / 20.0));
  if (gain == s.c->gain) return;
  s.c->gain = gain;
  logSettings(s);
}

static void runCommand(RtlSession& s, const RtlCommand& cmd) {
  switch (cmd.id) {
    case kRtlFrequency:
      s.frequency = cmd.value;
      retune(s);
      break;
    case kRtlSampleRate:
      if (!RtlRateValid(cmd.value)) {
        printf("%s sample rate %u refused (librtlsdr's ranges): %u kept\n", s.c->tag, cmd.value,
               s.rate);
        break;
      }
      s.rate = cmd.value;
      retune(s);
      break;
    case kRtlGainMode:
      s.manualGain = cmd.value == 1;
      setGain(s);
      break;
    case kRtlGain:
      s.gainTenths = cmd.value > kMaxGainTenths ? kMaxGainTenths : cmd.value;
      setGain(s);
      break;
    default:
      if (cmd.id > kRtlLastKnown && cmd.id != kRtlTunerBandwidth) {
        printf("%s unknown command 0x%02x (value %u) ignored\n", s.c->tag, cmd.id, cmd.value);
      }
  }
}

// Takes every command in the bytes; false, with why, on a flood.
static bool takeCommands(RtlSession& s, const uint8_t* data, int n, char* why) {
  for (int i = 0; i < n; i++) {
    RtlCommand cmd;
    if (!RtlFeedByte(s.parser, data[i], &cmd)) continue;
    if (!GuardCommand(s.guard, why)) return false;
    runCommand(s, cmd);
  }
  GuardBytes(s.guard, s.parser.have > 0);
  return true;
}

// A client that tuned where no band was (the receiver not started yet) gets its
// band once one is published there: the zero stream looks once a second.
static bool bandAppeared(RtlSession& s) {
  const ULONGLONG kLookAgainMs = 1000;
  ULONGLONG now = GetTickCount64();
  if (now - s.lookedAt < kLookAgainMs) return false;
  s.lookedAt = now;
  BandEntry table[kBandCount];
  bool inside = false, beside = false;
  return pickBand(s, table, &inside, &beside) >= 0;
}

// The zero stream keeps the asked rate by the clock.
static void pumpZeros(RtlSession& s) {
  int64_t due = int64_t((GetTickCount64() - s.zerosSince) * s.rate / 1000) - s.zerosSent;
  while (due > 0) {
    int n = due < kStreamOutSamples ? int(due) : kStreamOutSamples;
    StreamEmit(*s.c, s.c->output, n);
    s.zerosSent += n;
    due -= n;
  }
}

static void sessionInit(RtlSession& s, StreamClient& c) {
  memset(&s, 0, sizeof s);
  s.c = &c;
  s.frequency = kRtlStartFrequency;
  s.rate = kRtlStartRate;
  c.band = -1;
  c.seal = nullptr;
  c.gain = 1.0f;
  GuardInit(s.guard, GetTickCount64());
  uint8_t* header = QueueTake(c.queue);
  RtlPutHeader(header);
  QueuePush(c.queue, header, kRtlHeaderBytes, true);
  retune(s);
}

// Serves the client until it goes, floods or the server stops; why says which.
static void serve(RtlSession& s, char* why) {
  StreamClient& c = *s.c;
  uint8_t received[4096];
  while (!StreamStopping()) {
    StreamWait(c, s.zeros ? kZerosPaceMs : kResponsiveWaitMs);
    for (;;) {
      int n = StreamReceive(c, received, sizeof received, why);
      if (n < 0 || (n > 0 && !takeCommands(s, received, n, why))) return;
      if (n == 0) break;
    }
    if (!GuardTimeout(s.guard, GetTickCount64(), why)) return;
    if (s.zeros) {
      pumpZeros(s);
      if (bandAppeared(s)) retune(s);
    } else {
      StreamPump(c);
    }
    // A band that moved may no longer be the one for the frequency.
    if (StreamBandMoved(c)) retune(s);
    if (!StreamSend(c, why)) return;
  }
  snprintf(why, kReasonSize, "the server stops");
}

DWORD WINAPI RtlClientThread(LPVOID param) {
  StreamClient& c = *static_cast<StreamClient*>(param);
  char why[kReasonSize];
  RtlSession s;
  sessionInit(s, c);
  serve(s, why);
  StreamEnd(c, why);
  return 0;
}
