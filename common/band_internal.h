// What the band channel's files share: the mapping with its checks (band_map.cpp),
// following the publisher (band_follow.cpp), letting a quiet band go and looking it
// up again (band_letgo.cpp).
#pragma once

#include "band_channel.h"

// WritePos as a ring offset, or -1 while it lies outside a ring of ringSize bytes or
// between two samples. An offset equal to the ring size is the ring start.
int32_t WriteOffset(int32_t pos, int32_t ringSize);

// The publisher's WritePos, with the samples before it in place.
int32_t ReadWritePos(const BandChannel& ch);

BandRefusal CheckRing(const BandChannel& ch, int32_t ringSize);

// Maps `name` read-only and opens its event when the channel has none yet; ringSize
// and pos get a BufferSize and WritePos that were checked and belong together.
BandRefusal MapBand(BandChannel& ch, const char* name, int32_t* ringSize, int32_t* pos);

// Closes the mapping and the view, keeping the event and the ring's size.
void Unmap(BandChannel& ch);

void TakeRing(BandChannel& ch, int32_t ringSize);

inline int32_t ReadOffset(const BandChannel& ch) {
  return int32_t(ch.readPtr - ch.ringStart);
}

// Puts the reader at writeOffset, as seen by a look at `now`.
void MoveTo(BandChannel& ch, int32_t writeOffset, ULONGLONG now);

// Notes WritePos as read by a look at `now`: a change renews the hold on the band.
void NoteWritePos(BandChannel& ch, int32_t pos, ULONGLONG now);

// Takes WritePos at writeOffset under the jump and lap rules; returns it, or -1 when
// the reader had to move (the channel is then marked resynced).
int32_t Advance(BandChannel& ch, int32_t writeOffset, ULONGLONG now, int32_t len);

void LetGo(BandChannel& ch, ULONGLONG now);

// A look at a band let go: -1 unless the same band is found moved on, which is then
// followed as Advance does.
int32_t LookUpAgain(BandChannel& ch, ULONGLONG now, int32_t len);
