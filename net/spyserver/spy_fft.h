// One SpyServer client's FFT stream (modes 4, 5 and 6): its display settings,
// the shared view of the band it shows, and its frames, one byte per pixel:
// byte 0 = (offset - range) dB, 255 = offset dB, relative to the band's full
// scale. The display spans the band's width >> decimation, centred where the
// client asked as far as the band allows.
#pragma once

#include <stdint.h>

#include "fft_views.h"
#include "spy_protocol.h"
#include "stream_client.h"

struct SpyFft {
  uint32_t wantedCentre;  // FFT_FREQUENCY as the client sent it
  uint32_t centre;        // after clamping: the display's centre
  uint32_t stage;         // FFT_DECIMATION: span = band width >> stage
  uint32_t pixels;        // FFT_DISPLAY_PIXELS
  int32_t dbOffset;       // FFT_DB_OFFSET: dB of byte 255
  int32_t dbRange;        // FFT_DB_RANGE: dB from byte 0 to byte 255
  SpectrumView* view;     // while the stream runs
  ViewKey key;            // of view
  int64_t seen;           // the view's last frame this client has had
  uint32_t sequence;      // of the next FFT message
};

// The settings of a client that sends none: the whole band on 1024 pixels, -127..0 dB.
void SpyFftInit(SpyFft& f, const SpyDevice& d);

// Takes one of the FFT settings (200..205), clamping what is out of range; true
// when the display's centre or span may have moved, which ClientSync reports.
bool SpyFftSet(SpyFft& f, uint32_t setting, uint32_t value);

// Clamps the decimation and the centre to the band d describes, and holds the
// view the settings name while on, none while off; logs each change.
void SpyFftApply(SpyFft& f, const StreamClient& c, const SpyDevice& d, bool on);

// Queues the view's newest frame, if the client has not had it, when the queue
// has room for it; a frame without room is dropped whole and counted.
void SpyFftPump(SpyFft& f, StreamClient& c);

// Lets the view go; harmless twice.
void SpyFftEnd(SpyFft& f);
