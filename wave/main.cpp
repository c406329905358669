// VEXA_Wave: plays one band of the band publisher on a wave-out device as 16-bit
// stereo sound at the band's own sample rate, I left and Q right, or one channel
// of it demodulated at 48000 Hz on both channels, until a key is pressed.
#include <stdio.h>

#include "band_channel.h"
#include "console_mode.h"
#include "demod_options.h"
#include "numbers.h"
#include "play_loop.h"
#include "receiver_band.h"

static const int32_t kDefaultScaleFactor = 16;

// A script tells a key press from a failure that a retry may mend (no band
// yet, a busy device) and from arguments that need a person.
enum ExitStatus { kStopped = 0, kFailed = 1, kBadArguments = 2 };

static const char kUsage[] =
    "Usage: VEXA_Wave <BandNr|Frequency_in_band_in_kHz> <WaveOutNr> [Scale_factor]\n"
    "                 [--demod usb|lsb|cw|am|fm --freq Hz [--width Hz]]\n";

// One block of complex samples, I then Q, reused for every block.
static float g_block[kMaxBlockSamples * 2];
// The demodulated channel, when one is asked for.
static DemodPlay g_demod;

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
         (argc < 4 || IsOption(argv[3]) ||
          ReadArgument(argv[3], 0, 24, "Bad Scale_factor (%s)\n", scaleFactor));
}

// Designs the channel asked for on the band as opened; otherwise says why and
// what the exit status is: bad arguments when the channel does not fit the band.
static bool PrepareDemod(const DemodRequest& request, int32_t band, const BandHeader& header,
                         int32_t scaleFactor, ExitStatus* failure) {
  if (!DemodFitsBand(request, band, header.SampleRate, header.L0)) {
    fputs(kUsage, stderr);
    *failure = kBadArguments;
    return false;
  }
  if (!DemodPlayInit(g_demod, request.mode, header.SampleRate, double(request.freqHz) - header.L0,
                     request.widthHz, scaleFactor, header.BlockInSamples)) {
    fprintf(stderr, "Can't play %d receiver: SampleRate=%d is too low to demodulate\n", int(band),
            int(header.SampleRate));
    *failure = kFailed;
    return false;
  }
  return true;
}

static void PrintDemod(const DemodRequest& request) {
  double low, high;
  DemodPassband(request.mode, request.widthHz, low, high);
  printf(
      "Playing %s at %d Hz: passband %.0f to %.0f Hz, %d Hz audio on both channels, %.2f s "
      "of queue\n",
      DemodModeName(request.mode), int(request.freqHz), request.freqHz + low, request.freqHz + high,
      int(kDemodAudioRate), double(kWaveRingSize) * kDemodBufferFrames / kDemodAudioRate);
}

// Opens the band and the device and plays; returns with both possibly open.
static ExitStatus Run(int argc, char** argv, BandChannel& ch, CWaveOut& player) {
  int32_t bandValue = 0, device = 0, scaleFactor = kDefaultScaleFactor, band = 0;
  if (!ReadArguments(argc, argv, &bandValue, &device, &scaleFactor)) return kBadArguments;
  DemodRequest request;
  if (!ReadDemodOptions(argc, argv, 3, request)) {
    fputs(kUsage, stderr);
    return kBadArguments;
  }
  BandHeader header;
  if (!OpenReceiverBand(ch, "play", bandValue, &band, &header)) return kFailed;
  if (!CanFollowBand("play", band, header.SampleRate, header.BlockInSamples, kMaxBlockSamples,
                     ch.ringSize)) {
    Close(ch);
    return kFailed;
  }
  ExitStatus failure = kFailed;
  if (request.on && !PrepareDemod(request, band, header, scaleFactor, &failure)) {
    Close(ch);
    return failure;
  }
  const int32_t blockInSamples = header.BlockInSamples;
  const bool opened = request.on ? player.Open(kDemodBufferFrames, device, kDemodAudioRate)
                                 : player.Open(blockInSamples, device, header.SampleRate);
  if (!opened) {
    Close(ch);
    fprintf(stderr, "Can't open waveout device %d \n", device);
    return kFailed;
  }
  printf("%d waveout device\n", device);
  if (request.on) PrintDemod(request);
  // A device that failed to restart ends the playing as a failure.
  return PlayUntilKey(ch, player, blockInSamples, scaleFactor, g_block,
                      request.on ? &g_demod : nullptr)
             ? kStopped
             : kFailed;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  BandChannel ch;
  ChannelInit(ch);
  CWaveOut player;
  ExitStatus status = kBadArguments;  // the usage text too: the arguments need a person
  QuickEditOff();
  if (argc < 3) {
    fputs(kUsage, stderr);
    ListDevices();
  } else {
    status = Run(argc, argv, ch, player);
  }
  player.Close();
  Close(ch);
  QuickEditRestore();
  return status;
}
