// Following the publisher: each look at the header is classified, then taken under
// the jump and lap rules.
#include <string.h>

#include "band_internal.h"
#include "band_rules.h"
#include "channel_clock.h"

void (*g_betweenHeaderReads)() = nullptr;

enum LookKind {
  kLookTorn,         // BufferSize changed while the look read the header
  kLookRingRefused,  // a new BufferSize that does not fit the view
  kLookNewRing,      // a new BufferSize that fits: the publisher started anew
  kLookUnusable,     // WritePos outside the ring or between two samples
  kLookWaiting,      // after a new BufferSize, WritePos still as read with it
  kLookUsable,       // WritePos to take under the jump and lap rules
};

struct Look {
  LookKind kind;
  int32_t ringSize;  // BufferSize as read
  int32_t pos;       // WritePos as read
};

// BufferSize on both sides of WritePos: a restarting publisher stores its new ring
// size before its new WritePos, and a pair read across that is not taken.
static Look Classify(const BandChannel& ch) {
  Look look = {kLookUsable, Header(ch)->BufferSize, 0};
  if (g_betweenHeaderReads) g_betweenHeaderReads();
  look.pos = ReadWritePos(ch);
  if (Header(ch)->BufferSize != look.ringSize)
    look.kind = kLookTorn;
  else if (look.ringSize != ch.ringSize)
    look.kind =
        CheckRing(ch, look.ringSize).reason == kNotRefused ? kLookNewRing : kLookRingRefused;
  else if (WriteOffset(look.pos, look.ringSize) < 0)
    look.kind = kLookUnusable;
  else if (ch.follow.restarting && look.pos == ch.follow.restartPos)
    look.kind = kLookWaiting;
  return look;
}

// Distance from one ring offset forward to another.
static int32_t Ahead(const BandChannel& ch, int32_t from, int32_t to) {
  int32_t distance = to - from;
  return distance < 0 ? distance + ch.ringSize : distance;
}

void MoveTo(BandChannel& ch, int32_t writeOffset, ULONGLONG now) {
  ch.readPtr = ch.ringStart + writeOffset;
  ch.follow.seenWriteOffset = writeOffset;
  ch.follow.seenAtMs = now;
}

void NoteWritePos(BandChannel& ch, int32_t pos, ULONGLONG now) {
  if (pos == ch.follow.lastPos) return;
  ch.follow.lastPos = pos;
  ch.follow.movedAtMs = now;
}

// The publisher started anew at the ring's start. The WritePos read with the new
// size may still be the old publisher's, so nothing is taken until WritePos has
// moved away from it.
static void BeginRestart(BandChannel& ch, const Look& look) {
  TakeRing(ch, look.ringSize);
  ch.readPtr = ch.ringStart;
  ch.follow.seenWriteOffset = 0;  // seenAtMs stays: the new publisher started after that look
  ch.follow.restarting = true;
  ch.follow.restartPos = look.pos;
  ch.resynced = true;
}

int32_t Advance(BandChannel& ch, int32_t writeOffset, ULONGLONG now, int32_t len) {
  const volatile BandHeader* h = Header(ch);
  ChannelFollow& f = ch.follow;
  f.restarting = false;
  LapLook look = {Ahead(ch, ReadOffset(ch), f.seenWriteOffset),
                  Ahead(ch, f.seenWriteOffset, writeOffset),
                  now - f.seenAtMs,
                  h->SampleRate,
                  h->BlockInSamples,
                  ch.ringSize,
                  len};
  int64_t overrun = OverrunBytes(look);
  if (IsJump(look, f.speedup) || overrun > 0) {
    ch.lostSamples += overrun / kSampleBytes;
    MoveTo(ch, writeOffset, now);
    ch.resynced = true;
    return -1;
  }
  f.seenWriteOffset = writeOffset;
  f.seenAtMs = now;
  return writeOffset;
}

// Where the publisher writes now, as a ring offset; -1 when there is nothing to
// take: WritePos is unusable, the band is let go, or the reader had to move (a
// restart, a jump, an overrun), in which case the channel is marked resynced.
static int32_t FollowPublisher(BandChannel& ch, ULONGLONG now, int32_t len) {
  if (!ch.view) return LookUpAgain(ch, now, len);
  Look look = Classify(ch);
  NoteWritePos(ch, look.pos, now);
  switch (look.kind) {
    case kLookNewRing:
      BeginRestart(ch, look);
      return -1;
    case kLookWaiting:
      ch.follow.seenAtMs = now;  // the new publisher has not begun: no time away
      return -1;
    case kLookUsable:
      return Advance(ch, WriteOffset(look.pos, look.ringSize), now, len);
    default:
      return -1;
  }
}

static void Copy(BandChannel& ch, int32_t len, uint8_t* out) {
  int32_t tail = int32_t(ch.ringEnd - ch.readPtr);
  if (len < tail) {
    memcpy(out, ch.readPtr, len);
    ch.readPtr += len;
    return;
  }
  memcpy(out, ch.readPtr, tail);
  memcpy(out + tail, ch.ringStart, len - tail);
  ch.readPtr = ch.ringStart + (len - tail);
}

bool Read(BandChannel& ch, int32_t len, void* dst) {
  // An empty chunk would let a catch-up loop spin forever.
  if (!ch.event || len <= 0) return false;
  // Before WritePos is read: a reader descheduled in between must not count its
  // own delay as time the publisher had to write.
  ULONGLONG now = g_channelClock.nowMs();
  int32_t writeOffset = FollowPublisher(ch, now, len);
  if (writeOffset >= 0 && Ahead(ch, ReadOffset(ch), writeOffset) >= len) {
    Copy(ch, len, static_cast<uint8_t*>(dst));
    return true;
  }
  // Every look that finds nothing to take may let a band go that stands still,
  // but not the look that resynchronised: its owner reads the header next.
  const volatile BandHeader* h = Header(ch);
  if (h && !ch.resynced &&
      now - ch.follow.movedAtMs > QuietLimitMs(h->SampleRate, h->BlockInSamples))
    LetGo(ch, now);
  return false;
}

bool TakeResync(BandChannel& ch) {
  bool resynced = ch.resynced;
  ch.resynced = false;
  return resynced;
}

int64_t TakeOverrun(BandChannel& ch) {
  int64_t lost = ch.lostSamples;
  ch.lostSamples = 0;
  return lost;
}

// A restart wait keeps the reader at the new ring's start, where the new publisher
// writes first.
void SkipToWritePos(BandChannel& ch) {
  ULONGLONG now = g_channelClock.nowMs();
  if (!ch.ringStart || ch.follow.restarting) return;
  int32_t writeOffset = WriteOffset(ReadWritePos(ch), ch.ringSize);
  if (writeOffset >= 0) MoveTo(ch, writeOffset, now);
}
