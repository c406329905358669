#include "spy_protocol.h"

#include <string.h>

static const uint32_t kDeviceTypeHfPlus = 2;  // a type every client names and accepts
static const uint32_t kResolutionBits = 16;
static const uint32_t kLowestStageRate = 3000;
static const uint32_t kFewestStages = 6;

uint32_t SpyGetU32(const uint8_t* in) {
  return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

static uint8_t* putU32(uint8_t* out, uint32_t v) {
  out[0] = uint8_t(v);
  out[1] = uint8_t(v >> 8);
  out[2] = uint8_t(v >> 16);
  out[3] = uint8_t(v >> 24);
  return out + 4;
}

SpyParseResult SpyFeed(SpyParser& p, const uint8_t* data, int n, int* used, SpyCommand* command) {
  int taken = 0;
  while (taken < n) {
    int want = kSpyCommandHeaderBytes;
    if (p.have >= kSpyCommandHeaderBytes) {
      uint32_t body = SpyGetU32(p.bytes + 4);
      if (body > uint32_t(kSpyMaxCommandBody)) {
        *used = taken;
        return kSpyBodyTooLong;
      }
      want += int(body);
      if (p.have == want) break;
    }
    int step = want - p.have < n - taken ? want - p.have : n - taken;
    memcpy(p.bytes + p.have, data + taken, size_t(step));
    p.have += step;
    taken += step;
  }
  *used = taken;
  if (p.have < kSpyCommandHeaderBytes) return kSpyNeedMore;
  uint32_t body = SpyGetU32(p.bytes + 4);
  if (body > uint32_t(kSpyMaxCommandBody)) return kSpyBodyTooLong;
  if (p.have < kSpyCommandHeaderBytes + int(body)) return kSpyNeedMore;
  command->type = SpyGetU32(p.bytes);
  command->bodySize = body;
  memcpy(command->body, p.bytes + kSpyCommandHeaderBytes, body);
  p.have = 0;
  return kSpyGotCommand;
}

void SpyDescribeBand(int32_t band, int32_t rate, int32_t l0, SpyDevice* device) {
  uint32_t r = uint32_t(rate);
  uint32_t divisible = 0;
  while (divisible < 16 && r % (2u << divisible) == 0) divisible++;
  uint32_t stages = 0;
  while ((r >> (stages + 1)) >= kLowestStageRate) stages++;
  if (stages < kFewestStages) stages = kFewestStages;
  if (stages > divisible) stages = divisible;
  device->serial = 0x56455800u + uint32_t(band);  // "VEX" and the band
  device->sampleRate = r;
  device->centre = uint32_t(l0);
  device->stages = stages;
}

// Half the width of the centres a stream decimated by 2^stage may take.
static uint32_t centreSpan(const SpyDevice& d, uint32_t stage) {
  return (d.sampleRate - (d.sampleRate >> stage)) / 2;
}

uint32_t SpyClampCentre(const SpyDevice& d, uint32_t stage, uint32_t wanted) {
  uint32_t span = centreSpan(d, stage);
  uint32_t lowest = d.centre > span ? d.centre - span : 0;
  uint32_t highest = d.centre + span;
  return wanted < lowest ? lowest : wanted > highest ? highest : wanted;
}

void SpyPutHeader(uint8_t* out, uint32_t type, uint32_t stream, uint32_t sequence,
                  uint32_t bodySize) {
  out = putU32(out, kSpyProtocolId);
  out = putU32(out, type);
  out = putU32(out, stream);
  out = putU32(out, sequence);
  putU32(out, bodySize);
}

static uint32_t lowEdge(const SpyDevice& d) {
  return d.centre > d.sampleRate / 2 ? d.centre - d.sampleRate / 2 : 0;
}

int SpyPutDeviceInfo(uint8_t* out, const SpyDevice& d) {
  const uint32_t fields[12] = {kDeviceTypeHfPlus,
                               d.serial,
                               d.sampleRate,
                               d.sampleRate,
                               d.stages,
                               0,
                               0,
                               lowEdge(d),
                               d.centre + d.sampleRate / 2,
                               kResolutionBits,
                               0,
                               0};
  SpyPutHeader(out, kSpyDeviceInfo, kSpyStreamStatus, 0, sizeof fields);
  uint8_t* p = out + kSpyHeaderBytes;
  for (uint32_t f : fields) p = putU32(p, f);
  return int(p - out);
}

int SpyPutClientSync(uint8_t* out, const SpyDevice& d, uint32_t iqCentre, uint32_t fftCentre,
                     bool canControl) {
  // The whole band, as a real server reports it, for the IQ and the FFT centres
  // alike (SDR# takes the FFT pair as its tuning range); the centres themselves
  // are clamped to keep the decimated stream and the display inside.
  uint32_t lowest = lowEdge(d);
  uint32_t highest = d.centre + d.sampleRate / 2;
  const uint32_t fields[9] = {
      canControl ? 1u : 0u, 0, d.centre, iqCentre, fftCentre, lowest, highest, lowest, highest};
  SpyPutHeader(out, kSpyClientSync, kSpyStreamStatus, 0, sizeof fields);
  uint8_t* p = out + kSpyHeaderBytes;
  for (uint32_t f : fields) p = putU32(p, f);
  return int(p - out);
}

bool SpyHelloGrantsControl(const uint8_t* body, uint32_t n) {
  static const char kSoapy[] = "SoapySDR";  // after the 4-byte version, no NUL
  const uint32_t length = sizeof kSoapy - 1;
  return n >= 4 + length && memcmp(body + 4, kSoapy, length) == 0;
}
