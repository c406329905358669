#include "sim_file.h"

#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

static const uint16_t kPcm = 1;
static const uint16_t kFloat = 3;
static const uint16_t kExtensible = 0xFFFE;
// The chunks ahead of the samples that a file may carry, and the file size, are
// bounded so that a broken file cannot run the simulator out of memory.
static const int kMaxChunks = 64;
static const long kMaxBytes = 1L << 30;

static uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

static bool Refuse(const char* path, const char* why) {
  fprintf(stderr, "vexa_sim: can't publish %s: %s\n", path, why);
  return false;
}

struct WavFormat {
  uint16_t tag, channels, bits;
  uint32_t rate;
};

static bool ReadFormat(const uint8_t* body, uint32_t size, WavFormat& w) {
  if (size < 16) return false;
  w.tag = Le16(body);
  w.channels = Le16(body + 2);
  w.rate = Le32(body + 4);
  w.bits = Le16(body + 14);
  if (w.tag == kExtensible && size >= 26) w.tag = Le16(body + 24);  // the sub-format's tag
  return true;
}

static void Convert(const uint8_t* data, uint32_t bytes, const WavFormat& w, SimFile& f) {
  size_t values = bytes / (w.bits / 8);
  values -= values % 2;
  f.iq.resize(values);
  for (size_t i = 0; i < values; i++) {
    if (w.tag == kPcm) {
      f.iq[i] = float(int16_t(Le16(data + 2 * i))) * 65536.0f;
    } else {
      uint32_t bits = Le32(data + 4 * i);
      float v;
      memcpy(&v, &bits, sizeof v);
      f.iq[i] = v * 2147483648.0f;
    }
  }
}

static bool ReadWhole(const char* path, std::vector<uint8_t>& bytes) {
  FILE* file = fopen(path, "rb");
  if (!file) return false;
  bool ok = fseek(file, 0, SEEK_END) == 0;
  long size = ok ? ftell(file) : -1;
  ok = size > 12 && size <= kMaxBytes && fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    bytes.resize(size_t(size));
    ok = fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  }
  fclose(file);
  return ok;
}

bool SimFileLoad(SimFile& f, const char* path) {
  std::vector<uint8_t> b;
  if (!ReadWhole(path, b)) return Refuse(path, "it can't be read (or is empty or over 1 GB)");
  if (memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0)
    return Refuse(path, "it is no WAV file");
  WavFormat w = {0, 0, 0, 0};
  size_t at = 12;
  for (int n = 0; n < kMaxChunks && at + 8 <= b.size(); n++) {
    uint32_t size = Le32(&b[at + 4]);
    size_t body = at + 8;
    if (size > b.size() - body) size = uint32_t(b.size() - body);  // a file cut short
    if (memcmp(&b[at], "fmt ", 4) == 0 && !ReadFormat(&b[body], size, w))
      return Refuse(path, "its fmt chunk is too short");
    if (memcmp(&b[at], "data", 4) == 0) {
      bool pcm16 = w.tag == kPcm && w.bits == 16, float32 = w.tag == kFloat && w.bits == 32;
      if (w.channels != 2 || !(pcm16 || float32) || w.rate == 0 || w.rate > 0x7FFFFFFF)
        return Refuse(path, "it is not stereo I/Q in 16-bit PCM or 32-bit float");
      Convert(&b[body], size, w, f);
      if (f.iq.empty()) return Refuse(path, "it holds no samples");
      f.rate = int32_t(w.rate);
      return true;
    }
    at = body + size + (size & 1);
  }
  return Refuse(path, "it has no data chunk after its fmt chunk");
}

void SimFileSchedule(SimFile& f, int32_t block, double nowUtcSeconds) {
  double wait = 0;
  if (f.startOn > 0) wait = (floor(nowUtcSeconds / f.startOn) + 1) * f.startOn - nowUtcSeconds;
  f.firstIndex = int64_t(llround(wait * f.rate)) + block;
}

void SimFileFill(const SimFile& f, uint64_t first, int32_t n, float* iq) {
  int64_t length = int64_t(f.iq.size() / 2);
  for (int32_t i = 0; i < n; i++) {
    int64_t k = int64_t(first) + i - f.firstIndex;
    bool inside = k >= 0 && k < length;
    iq[2 * i] = inside ? f.iq[size_t(2 * k)] : 0.0f;
    iq[2 * i + 1] = inside ? f.iq[size_t(2 * k + 1)] : 0.0f;
  }
}

double SimUtcSeconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);  // the precise one needs Windows 8
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return double(t.QuadPart - 116444736000000000ull) / 1e7;
}
