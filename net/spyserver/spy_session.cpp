#include "spy_session.h"

#include <stdio.h>
#include <string.h>

#include "command_guard.h"
#include "spy_fft.h"
#include "spy_protocol.h"
#include "stream_client.h"
#include "stream_server.h"

// A client that connects must say HELLO within this time.
static const ULONGLONG kHelloMs = 5000;

struct SpySession {
  StreamClient* c;
  SpyDevice device;
  SpyParser parser;
  CommandGuard guard;
  bool helloSeen;
  uint32_t mode;          // 1 IQ, 2 AF, 4 FFT, 5 FFT+IQ, 6 FFT+AF
  bool enabled;           // STREAMING_ENABLED
  uint32_t formatCode;    // kSpyU8, kSpyS16, kSpyS24 or kSpyF32
  uint32_t stage;         // decimation 2^stage
  uint32_t wantedCentre;  // IQ_FREQUENCY as the client sent it
  uint32_t centre;        // after clamping: the stream's centre
  uint32_t sequence;      // of the next IQ message
  bool streaming;         // the path runs and IQ messages go out
  SpyFft fft;
  bool autoGainAsked;  // IQ_DIGITAL_GAIN 0xFFFFFFFF
  bool canControl;     // what ClientSync tells: see SpyHelloGrantsControl
};

// Per format code 1..4 (the only ones a session takes): the IQ message type and
// the packing.
struct SpyWireFormat {
  uint32_t messageType;
  IqFormat pack;
};
static const SpyWireFormat kWireFormats[] = {{kSpyIqS16, kIqS16},
                                             {kSpyIqU8, kIqU8Centre128},
                                             {kSpyIqS16, kIqS16},
                                             {kSpyIqS24, kIqS24},
                                             {kSpyIqF32, kIqF32}};

static uint32_t messageType(uint32_t formatCode) {
  return kWireFormats[formatCode].messageType;
}

static IqFormat packFormat(uint32_t formatCode) {
  return kWireFormats[formatCode].pack;
}

static void queueReply(SpySession& s, bool deviceInfo) {
  uint8_t* buffer = QueueTake(s.c->queue);
  int length = deviceInfo ? SpyPutDeviceInfo(buffer, s.device) : 0;
  length += SpyPutClientSync(buffer + length, s.device, s.centre, s.fft.centre, s.canControl);
  QueuePush(s.c->queue, buffer, length, true);
}

static void logSettings(SpySession& s) {
  static const char* const kNames[] = {"?", "8-bit", "16-bit", "24-bit", "float"};
  printf("%s settings: %s, decimation %u (%u samples/s), IQ centre %u Hz, %s%s\n", s.c->tag,
         kNames[s.formatCode], 1u << s.stage, s.device.sampleRate >> s.stage, s.centre,
         s.streaming ? "streaming" : "not streaming", s.c->autoGainOn ? ", auto gain" : "");
}

// The gain of each 8- or 16-bit message follows its level when the client asked
// for it; the header's high 16 bits tell the client the dB (clients that did
// not ask drop IQ with those bits set, and float needs no gain).
static bool autoGain(const SpySession& s) {
  return s.autoGainAsked && (s.formatCode == kSpyU8 || s.formatCode == kSpyS16);
}

// Brings the path, the format and the stream in line with the settings.
static void applySettings(SpySession& s, bool redesign) {
  StreamClient& c = *s.c;
  bool stream = s.enabled && (s.mode & kSpyModeIq) != 0;
  uint32_t before = s.centre;
  s.centre = SpyClampCentre(s.device, s.stage, s.wantedCentre);
  double outRate = double(s.device.sampleRate >> s.stage);
  double shift = double(s.centre) - double(s.device.centre);
  StreamEndMessage(c);
  if (redesign || (stream && !s.streaming)) {
    if (!IqPathInit(*c.path, s.device.sampleRate, outRate, shift)) {
      printf("%s no signal path from %u to %.0f samples/s\n", c.tag, s.device.sampleRate, outRate);
      stream = false;
    }
    StreamSetFormat(c, packFormat(s.formatCode), outRate, kSpyHeaderBytes);
    QueueFlush(c.queue);
  } else {
    IqPathRetune(*c.path, shift);
  }
  if (stream && !s.streaming) SkipToWritePos(c.channel);
  // Another channel, rate or format: the level starts over.
  bool restart = redesign || before != s.centre || (stream && !s.streaming);
  if (restart || autoGain(s) != c.autoGainOn) StreamSetAutoGain(c, autoGain(s), outRate);
  s.streaming = stream;
  SpyFftApply(s.fft, c, s.device, s.enabled && (s.mode & kSpyModeFft) != 0);
}

static void setSetting(SpySession& s, uint32_t setting, uint32_t value) {
  bool redesign = false;
  switch (setting) {
    case kSpyStreamingMode:
      if (value == 1 || value == 2 || value == 4 || value == 5 || value == 6) s.mode = value;
      break;
    case kSpyStreamingEnabled:
      s.enabled = value != 0;
      break;
    case kSpyIqFormat:
      redesign = value == kSpyU8 || value == kSpyS16 || value == kSpyS24 || value == kSpyF32;
      if (redesign) s.formatCode = value;
      break;
    case kSpyIqFrequency:
      s.wantedCentre = value;
      break;
    case kSpyIqDecimation:
      s.stage = value > s.device.stages ? s.device.stages : value;
      redesign = true;
      break;
    case kSpyIqDigitalGain:
      s.autoGainAsked = value == kSpyAutoGain;  // any other value: accepted, ignored
      break;
  }
  bool fftMoved = setting >= kSpyFftFormat && SpyFftSet(s.fft, setting, value);
  uint32_t before = s.centre;
  bool wasStreaming = s.streaming;
  applySettings(s, redesign);
  if (setting == kSpyGain || setting == kSpyIqFrequency || setting == kSpyIqDecimation ||
      fftMoved) {
    queueReply(s, false);
  }
  if (redesign || before != s.centre || wasStreaming != s.streaming ||
      setting == kSpyIqDigitalGain) {
    logSettings(s);
  }
}

static bool knownSetting(uint32_t setting) {
  return setting <= kSpyGain || (setting >= kSpyIqFormat && setting <= kSpyIqDigitalGain) ||
         (setting >= kSpyFftFormat && setting <= kSpyFftDisplayPixels);
}

static void logHello(SpySession& s, const SpyCommand& cmd) {
  char name[64];
  int n = 0;
  for (uint32_t i = 4; i < cmd.bodySize && n < int(sizeof name) - 1; i++) {
    uint8_t b = cmd.body[i];
    if (b >= 0x20 && b < 0x7F) name[n++] = char(b);
  }
  name[n] = '\0';
  uint32_t version = cmd.bodySize >= 4 ? SpyGetU32(cmd.body) : 0;
  printf("%s HELLO from '%s', protocol 0x%08X\n", s.c->tag, name, version);
}

// Carries out one command; false, with why, closes the client.
static bool runCommand(SpySession& s, const SpyCommand& cmd, char* why) {
  if (cmd.type == kSpyHello) {
    logHello(s, cmd);
    s.helloSeen = true;
    s.canControl = SpyHelloGrantsControl(cmd.body, cmd.bodySize);
    queueReply(s, true);
    return true;
  }
  if (cmd.type == kSpyPing) {
    uint8_t* buffer = QueueTake(s.c->queue);
    SpyPutHeader(buffer, kSpyPong, kSpyStreamStatus, 0, 4);
    memset(buffer + kSpyHeaderBytes, 0, 4);
    QueuePush(s.c->queue, buffer, kSpyHeaderBytes + 4, true);
    return true;
  }
  if (cmd.type != kSpySetSetting) {
    snprintf(why, kReasonSize, "unknown command %u", cmd.type);
    return false;
  }
  if (cmd.bodySize < 8) {
    snprintf(why, kReasonSize, "setting command with a body of %u bytes", cmd.bodySize);
    return false;
  }
  uint32_t setting = SpyGetU32(cmd.body);
  if (!knownSetting(setting)) {
    snprintf(why, kReasonSize, "unknown setting %u", setting);
    return false;
  }
  setSetting(s, setting, SpyGetU32(cmd.body + 4));
  return true;
}

// Takes every command in the bytes received; false, with why, closes the client.
static bool takeCommands(SpySession& s, const uint8_t* data, int n, char* why) {
  while (n > 0) {
    SpyCommand cmd;
    int used = 0;
    SpyParseResult r = SpyFeed(s.parser, data, n, &used, &cmd);
    data += used;
    n -= used;
    GuardBytes(s.guard, s.parser.have > 0);
    if (r == kSpyBodyTooLong) {
      snprintf(why, kReasonSize, "command body of %u bytes, more than %d",
               SpyGetU32(s.parser.bytes + 4), kSpyMaxCommandBody);
      return false;
    }
    if (r == kSpyNeedMore) return true;
    if (!GuardCommand(s.guard, why) || !runCommand(s, cmd, why)) return false;
  }
  return true;
}

static void sealIq(StreamClient& c, uint8_t* buffer, int bodyBytes) {
  SpySession& s = *static_cast<SpySession*>(c.sealContext);
  uint32_t type = messageType(s.formatCode) | uint32_t(c.messageGainDb) << 16;
  SpyPutHeader(buffer, type, kSpyStreamIq, s.sequence++, uint32_t(bodyBytes));
}

static void sessionInit(SpySession& s, StreamClient& c) {
  memset(&s, 0, sizeof s);
  s.c = &c;
  SpyDescribeBand(c.band, c.bandRate, c.bandL0, &s.device);
  // What a client that sends no settings gets: IQ in 16-bit at the full rate.
  s.mode = 1;
  s.formatCode = kSpyS16;
  s.wantedCentre = s.device.centre;
  SpyFftInit(s.fft, s.device);
  GuardInit(s.guard, GetTickCount64());
  c.seal = sealIq;
  c.sealContext = &s;
  c.gain = 1.0f;
  applySettings(s, true);
}

// Follows a band whose centre moved; false, with why, when its rate changed,
// which the protocol cannot tell a client.
static bool followBand(SpySession& s, char* why) {
  StreamClient& c = *s.c;
  if (!StreamBandMoved(c)) return true;
  if (uint32_t(c.bandRate) != s.device.sampleRate) {
    snprintf(why, kReasonSize, "the band's sample rate changed from %u to %d", s.device.sampleRate,
             int(c.bandRate));
    return false;
  }
  printf("%s the band's centre moved from %u to %d Hz\n", c.tag, s.device.centre, int(c.bandL0));
  SpyDescribeBand(c.band, c.bandRate, c.bandL0, &s.device);
  applySettings(s, true);
  queueReply(s, false);
  return true;
}

// Serves the client until it goes, misbehaves or the server stops; why says which.
static void serve(SpySession& s, char* why) {
  StreamClient& c = *s.c;
  uint8_t received[4096];
  ULONGLONG start = GetTickCount64();
  while (!StreamStopping()) {
    StreamWait(c, kResponsiveWaitMs);
    for (;;) {
      int n = StreamReceive(c, received, sizeof received, why);
      if (n < 0 || (n > 0 && !takeCommands(s, received, n, why))) return;
      if (n == 0) break;
    }
    ULONGLONG now = GetTickCount64();
    if (!s.helloSeen && now - start > kHelloMs) {
      snprintf(why, kReasonSize, "no HELLO within %llu s", kHelloMs / 1000);
      return;
    }
    if (!GuardTimeout(s.guard, now, why) || !followBand(s, why)) return;
    if (s.streaming) {
      StreamPump(c);
    } else if (IsOpen(c.channel)) {
      SkipToWritePos(c.channel);
    }
    SpyFftPump(s.fft, c);
    if (!StreamSend(c, why)) return;
  }
  snprintf(why, kReasonSize, "the server stops");
}

DWORD WINAPI SpyClientThread(LPVOID param) {
  StreamClient& c = *static_cast<StreamClient*>(param);
  char why[kReasonSize];
  if (StreamOpenBand(c, c.band, why)) {
    SpySession s;
    sessionInit(s, c);
    serve(s, why);
    SpyFftEnd(s.fft);
  }
  StreamEnd(c, why);
  return 0;
}
