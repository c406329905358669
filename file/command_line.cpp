#include "command_line.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "numbers.h"

static const char* const kUsage[] = {
    "\n",
    "Usage: VEXA_File <BandNr|Frequency_in_band_in_kHz> [Scale_factor] [Flags] [Budget]\n",
    "\n",
    "       Scale_factor can be:\n",
    "          from 0 to 24 for conversion to 16-bit samples\n",
    "          -1 for 24-bit wav files with WAVEFORMATEXTENSIBLE in header\n",
    "          -2 for 24-bit wav files with WAVEFORMATEX in header\n",
    "\n",
    "       Flags: L - File names in local time\n",
    "              H - One file per half of hour\n",
    "              Q - One file per quarter of hour\n",
    "              C - 16-bit files with a 16-byte fmt chunk\n",
    "                  (no effect on 24-bit files)\n",
    "              - - none, to give a budget without flags\n",
    "\n",
    "       Budget: the most this band's recordings may take in the folder,\n",
    "               in decimal GB (500G) or hours (72h); the oldest are deleted\n",
    "\n",
    "   or: VEXA_File <BandNr|Frequency_in_band_in_kHz> --demod <usb|lsb|cw|am|fm>\n",
    "                 --freq <Hz> --spool <seconds> [--width <Hz>] [--budget <500G|72h>]\n",
    "\n",
    "       Writes one channel as 12000 Hz mono 16-bit files for WSJT-X's decoders,\n",
    "       one per cycle (--spool 15 for FT8, 120 for WSPR), named YYMMDD_HHMMSS.wav\n",
    "       after the UTC of their first sample. --freq is the dial for usb and lsb,\n",
    "       the signal itself for cw, am and fm\n",
    "\n",
};

static void ChooseFormat(RecorderSettings* s) {
  if (s->scaleFactor >= 0) {
    s->format = Pcm16;
    printf("Scale factor = %d bits\n", s->scaleFactor);
    return;
  }
  s->format = s->scaleFactor == -1 ? Pcm24Extensible : Pcm24Plain;
  printf("Wav files are in 24-bit format\n");
  if (s->format == Pcm24Plain) printf("Wav files using WAVEFORMATEX in format tag\n");
}

// Characters that are no flag are skipped without a message, so a word like
// "x" or "-" gives no flags: the way to give a budget without them.
static void ApplyFlags(const char* flags, RecorderSettings* s) {
  for (const char* p = flags; *p; p++) {
    switch (toupper(static_cast<unsigned char>(*p))) {
      case 'L':
        s->timeBase = LocalTime;
        printf("File names in local time\n");
        break;
      case 'H':
        s->rotation = HalfHour;
        printf("One file per half of hour\n");
        break;
      case 'Q':
        s->rotation = QuarterHour;
        printf("One file per quarter of hour\n");
        break;
      case 'C':
        // 24-bit headers keep their one layout.
        if (s->format == Pcm16 || s->format == Pcm16ShortFmt) {
          s->format = Pcm16ShortFmt;
          printf("16-bit files with a 16-byte fmt chunk\n");
        } else {
          printf("Flag C has no effect on 24-bit files\n");
        }
        break;
      default:
        break;
    }
  }
}

bool ParseCommandLine(int argc, char** argv, RecorderSettings* s) {
  s->scaleFactor = 16;
  s->timeBase = Utc;
  s->rotation = Hour;
  if (argc < 2) {
    for (const char* line : kUsage) fputs(line, stderr);
    return false;
  }
  if (!ParseInt32(argv[1], &s->band) || s->band < 0) {
    fprintf(stderr, "Bad BandNr|Frequency_in_band_in_kHz (%s)\n", argv[1]);
    return false;
  }
  if (argc > 2 &&
      (!ParseInt32(argv[2], &s->scaleFactor) || s->scaleFactor < -2 || s->scaleFactor > 24)) {
    fprintf(stderr, "Bad Scale_factor (%s)\n", argv[2]);
    return false;
  }
  ChooseFormat(s);
  if (argc > 3) ApplyFlags(argv[3], s);
  s->budget = Budget{NoBudget, 0, ""};
  if (argc > 4 && !ParseBudget(argv[4], &s->budget)) {
    fprintf(stderr, "Bad Budget (%s)\n", argv[4]);
    return false;
  }
  return true;
}
