// Letting a quiet band go, so that a publisher restarted with a larger ring can
// create a fresh mapping, and looking it up again by name.
#include "band_internal.h"
#include "band_rules.h"

const int32_t kFingerprintBytes = 64;

// FNV-1a of the ring's bytes just before `end`: a band found again whose ring holds
// other bytes there is another band, whatever its header says.
static uint64_t Fingerprint(const BandChannel& ch, int32_t end) {
  int32_t count = ch.ringSize < kFingerprintBytes ? ch.ringSize : kFingerprintBytes;
  int32_t at = end - count;
  if (at < 0) at += ch.ringSize;
  uint64_t hash = 14695981039346656037ull;
  for (int32_t i = 0; i < count; i++) {
    hash = (hash ^ ch.ringStart[at]) * 1099511628211ull;
    if (++at == ch.ringSize) at = 0;
  }
  return hash;
}

void LetGo(BandChannel& ch, ULONGLONG now) {
  const volatile BandHeader* h = Header(ch);
  ChannelHold& held = ch.held;
  held.readOffset = ReadOffset(ch);
  held.SampleRate = h->SampleRate;
  held.BlockInSamples = h->BlockInSamples;
  held.L0 = h->L0;
  held.BufferSize = ch.ringSize;
  held.fingerprint = Fingerprint(ch, ch.follow.seenWriteOffset);
  held.triedAtMs = now;
  Unmap(ch);
}

static bool SameBand(const BandChannel& ch, int32_t ringSize) {
  const volatile BandHeader* h = Header(ch);
  const ChannelHold& held = ch.held;
  return h->SampleRate == held.SampleRate && h->BlockInSamples == held.BlockInSamples &&
         h->L0 == held.L0 && ringSize == held.BufferSize &&
         Fingerprint(ch, ch.follow.seenWriteOffset) == held.fingerprint;
}

// WritePos where the reader left it (or, in a restart wait, where it was when the
// new ring size was seen).
static bool NothingNew(const BandChannel& ch, int32_t pos) {
  const ChannelFollow& f = ch.follow;
  return f.restarting ? pos == f.restartPos : WriteOffset(pos, ch.ringSize) == f.seenWriteOffset;
}

// Another band under the name: its publisher started at its ring's start after the
// last look, so the ring holds all it wrote unless it can have gone round since.
static void FoundAnew(BandChannel& ch, int32_t pos, ULONGLONG now) {
  const volatile BandHeader* h = Header(ch);
  int32_t writeOffset = WriteOffset(pos, ch.ringSize);
  LapLook look = {
      0, writeOffset, now - ch.follow.seenAtMs, h->SampleRate, h->BlockInSamples, ch.ringSize, 0};
  if (RingHoldsAllSince(look)) {
    ch.readPtr = ch.ringStart;
    ch.follow.seenWriteOffset = 0;  // seenAtMs stays: the time away counts from that look
  } else {
    ch.lostSamples += (writeOffset + HiddenRings(look) * ch.ringSize) / kSampleBytes;
    MoveTo(ch, writeOffset, now);
  }
  ch.follow.restarting = false;
  ch.follow.lastPos = pos;
  ch.follow.movedAtMs = now;
  ch.resynced = true;
}

int32_t LookUpAgain(BandChannel& ch, ULONGLONG now, int32_t len) {
  if (now - ch.held.triedAtMs < kLookUpAgainMs) return -1;
  ch.held.triedAtMs = now;
  int32_t ringSize = 0, pos = 0;
  BandRefusal refusal = MapBand(ch, ch.name, &ringSize, &pos);
  if (refusal.reason != kNotRefused) {
    Unmap(ch);
    // A publisher that comes later starts after this look.
    if (refusal.reason == kNoMapping) ch.follow.seenAtMs = now;
    return -1;
  }
  TakeRing(ch, ringSize);
  if (!SameBand(ch, ringSize)) {
    FoundAnew(ch, pos, now);
    return -1;  // the resync is seen before any of the new band's data
  }
  ch.readPtr = ch.ringStart + ch.held.readOffset;
  if (NothingNew(ch, pos)) {
    ch.follow.seenAtMs = now;
    Unmap(ch);
    return -1;
  }
  NoteWritePos(ch, pos, now);
  return Advance(ch, WriteOffset(pos, ringSize), now, len);
}
