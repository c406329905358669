// VEXA_Wave: plays one band of the band publisher on a wave-out device as 16-bit
// stereo sound at the band's own sample rate, I left and Q right, until a key is
// pressed.
#include <stdio.h>

#include "band_channel.h"
#include "console_mode.h"
#include "numbers.h"
#include "play_loop.h"
#include "receiver_band.h"

static const int32_t kDefaultScaleFactor = 16;

// A script tells a key press from a failure that a retry may mend (no band
// yet, a busy device) and from arguments that need a person.
enum ExitStatus { kStopped = 0, kFailed = 1, kBadArguments = 2 };

// One block of complex samples, I then Q, reused for every block.
static float g_block[kMaxBlockSamples * 2];

static void ListDevices() {
  UINT count = waveOutGetNumDevs();
  fprintf(stderr, "\nWaveOut devices:\n----------------------------------------\n");
  for (UINT i = 0; i < count; i++) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) {
      snprintf(caps.szPname, sizeof caps.szPname, "%s", "(no capabilities)");
    }
    fprintf(stderr, " %2i - %-32s\n", int(i), caps.szPname);
  }
}

// Reads one argument as a 32-bit integer within lo..hi; prints message otherwise.
static bool ReadArgument(const char* text, int32_t lo, int32_t hi, const char* message,
                         int32_t* value) {
  if (ParseInt32(text, value) && *value >= lo && *value <= hi) return true;
  fprintf(stderr, message, text);
  return false;
}

static bool ReadArguments(int argc, char** argv, int32_t* bandValue, int32_t* device,
                          int32_t* scaleFactor) {
  return ReadArgument(argv[1], 0, INT32_MAX, "Bad Bad BandNr|Frequency_in_band_in_kHz (%s)\n",
                      bandValue) &&
         ReadArgument(argv[2], -1, 255, "Bad WaveOutdNr (%s)\n", device) &&
         (argc < 4 || ReadArgument(argv[3], 0, 24, "Bad Scale_factor (%s)\n", scaleFactor));
}

// Opens the band and the device and plays; returns with both possibly open.
static ExitStatus Run(int argc, char** argv, BandChannel& ch, CWaveOut& player) {
  int32_t bandValue = 0, device = 0, scaleFactor = kDefaultScaleFactor, band = 0;
  if (!ReadArguments(argc, argv, &bandValue, &device, &scaleFactor)) return kBadArguments;
  BandHeader header;
  if (!OpenReceiverBand(ch, "play", bandValue, &band, &header)) return kFailed;
  if (!CanFollowBand("play", band, header.SampleRate, header.BlockInSamples, kMaxBlockSamples,
                     ch.ringSize)) {
    Close(ch);
    return kFailed;
  }
  const int32_t sampleRate = header.SampleRate, blockInSamples = header.BlockInSamples;
  if (!player.Open(blockInSamples, device, sampleRate)) {
    Close(ch);
    fprintf(stderr, "Can't open waveout device %d \n", device);
    return kFailed;
  }
  printf("%d waveout device\n", device);
  // A device that failed to restart ends the playing as a failure.
  return PlayUntilKey(ch, player, blockInSamples, scaleFactor, g_block) ? kStopped : kFailed;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  BandChannel ch;
  ChannelInit(ch);
  CWaveOut player;
  ExitStatus status = kBadArguments;  // the usage text too: the arguments need a person
  QuickEditOff();
  if (argc < 3) {
    fputs("Usage: VEXA_Wave <BandNr|Frequency_in_band_in_kHz> <WaveOutNr> [Scale_factor]\n",
          stderr);
    ListDevices();
  } else {
    status = Run(argc, argv, ch, player);
  }
  player.Close();
  Close(ch);
  QuickEditRestore();
  return status;
}
