#include "stream_client.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "iq_path_state.h"

static const char* const kProtocolNames[kStreamProtocols] = {"spyserver", "rtltcp"};
static StreamClient g_pool[kStreamProtocols][kStreamPoolMax];
static int g_poolSize[kStreamProtocols];
static const int kMessagesPerSecond = 100;  // 10 ms of samples per message

static void recordFree(StreamClient& c) {
  QueueFree(c.queue);
  delete c.path;
  free(c.input);
  free(c.output);
  free(c.staged);
  c.path = nullptr;
  c.input = c.output = c.staged = nullptr;
}

static bool recordInit(StreamClient& c, StreamProtocol protocol, int index) {
  c.protocol = protocol;
  c.socket = INVALID_SOCKET;
  c.socketEvent = nullptr;
  snprintf(c.tag, kTagSize, "%s %02d", kProtocolNames[protocol], index);
  c.taken = false;
  ChannelInit(c.channel);
  c.mixing = false;
  c.path = new IqPath();
  c.input = static_cast<float*>(malloc(sizeof(float) * 2 * kIqPathMaxIn));
  c.output = static_cast<float*>(malloc(sizeof(float) * 2 * kStreamOutSamples));
  c.staged = static_cast<float*>(malloc(sizeof(float) * 2 * kStreamMessageMax));
  return QueueInit(c.queue) && c.path && c.input && c.output && c.staged;
}

bool StreamPoolInit(StreamProtocol protocol, int count) {
  for (int i = 0; i < count; i++) {
    if (!recordInit(g_pool[protocol][i], protocol, i)) return false;
    g_poolSize[protocol] = i + 1;
  }
  return true;
}

void StreamPoolFree() {
  for (int p = 0; p < kStreamProtocols; p++) {
    for (int i = 0; i < g_poolSize[p]; i++) recordFree(g_pool[p][i]);
    g_poolSize[p] = 0;
  }
}

StreamClient* StreamPoolTake(StreamProtocol protocol) {
  for (int i = 0; i < g_poolSize[protocol]; i++) {
    StreamClient& c = g_pool[protocol][i];
    if (!c.taken) {
      c.taken = true;
      return &c;
    }
  }
  return nullptr;
}

int StreamPoolSize(StreamProtocol protocol) {
  return g_poolSize[protocol];
}

int StreamPoolBusy() {
  int busy = 0;
  for (int p = 0; p < kStreamProtocols; p++) {
    for (int i = 0; i < g_poolSize[p]; i++) busy += g_pool[p][i].taken ? 1 : 0;
  }
  return busy;
}

void StreamSetFormat(StreamClient& c, IqFormat format, double outRate, int headerBytes) {
  c.filled = 0;
  c.format = format;
  c.headerBytes = headerBytes;
  int most = (kQueueBufferBytes - headerBytes) / IqFormatBytes(format);
  int wanted = int(outRate / kMessagesPerSecond);
  c.messageSamples = wanted < 1 ? 1 : wanted > most ? most : wanted;
}

void StreamSetAutoGain(StreamClient& c, bool on, double outRate) {
  c.autoGainOn = on;
  AutoGainReset(c.autoGain, c.format, outRate);
}

// A message is packed only once it is whole, so that all its samples get the
// one gain its header states.
void StreamEndMessage(StreamClient& c) {
  if (c.filled == 0) return;
  float gain = c.gain;
  c.messageGainDb = 0;
  if (c.autoGainOn) {
    c.messageGainDb = AutoGainNext(c.autoGain, c.staged, c.filled);
    gain *= AutoGainFactor(c.messageGainDb);
  }
  uint8_t* buffer = QueueTake(c.queue);
  int body = IqPack(c.format, c.staged, c.filled, gain, buffer + c.headerBytes);
  if (c.seal) c.seal(c, buffer, body);
  QueuePush(c.queue, buffer, c.headerBytes + body, false);
  c.filled = 0;
}

void StreamEmit(StreamClient& c, const float* iq, int n) {
  while (n > 0) {
    int room = c.messageSamples - c.filled;
    int take = n < room ? n : room;
    memcpy(c.staged + 2 * c.filled, iq, sizeof(float) * 2 * size_t(take));
    c.filled += take;
    iq += 2 * take;
    n -= take;
    if (c.filled == c.messageSamples) StreamEndMessage(c);
  }
}

int32_t StreamChunkSamples(const BandChannel& channel) {
  int32_t chunk = Header(channel)->BlockInSamples;
  if (chunk < 256) chunk = 256;
  if (chunk > kIqPathMaxIn) chunk = kIqPathMaxIn;
  while (chunk > 1 && !ChunkFitsRing(chunk, channel.ringSize)) chunk /= 2;
  return chunk;
}

bool StreamOpenBand(StreamClient& c, int32_t band, char* why) {
  Close(c.channel);
  char name[kBandNameSize];
  BandName(band, name);
  if (!Open(c.channel, name)) {
    if (c.channel.refusal.reason == kNoMapping) {
      snprintf(why, kReasonSize, "band %d is not published", band);
    } else {
      char text[kRefusalTextSize];
      DescribeRefusal(c.channel.refusal, name, text, sizeof text);
      snprintf(why, kReasonSize, "band %d refused: %s", band, text);
    }
    return false;
  }
  const volatile BandHeader* h = Header(c.channel);
  c.chunkSamples = StreamChunkSamples(c.channel);
  c.band = band;
  c.bandRate = h->SampleRate;
  c.bandL0 = h->L0;
  return true;
}

bool StreamBandMoved(StreamClient& c) {
  if (!IsOpen(c.channel) || !c.channel.view) return false;
  const volatile BandHeader* h = Header(c.channel);
  int32_t rate = h->SampleRate;
  int32_t l0 = h->L0;
  if (rate == c.bandRate && l0 == c.bandL0) return false;
  c.bandRate = rate;
  c.bandL0 = l0;
  return true;
}
