#include "spool_command_line.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "numbers.h"
#include "spool.h"

static const char* const kModeNames[] = {"USB", "LSB", "CW", "AM", "FM"};

bool WantsChannel(int argc, char** argv) {
  return argc > 2 && strncmp(argv[2], "--", 2) == 0;
}

// A whole decimal number and nothing else: a frequency of "14074k" or "7.074"
// must not be read as 14074 Hz or 7 Hz.
static bool WholeNumber(const char* text, int32_t* value) {
  const char* p = text;
  if (*p == '-' || *p == '+') p++;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  while (isdigit(static_cast<unsigned char>(*p))) p++;
  return *p == '\0' && ParseInt32(text, value);
}

static bool Bad(const char* option, const char* value, const char* expected) {
  fprintf(stderr, "Bad %s (%s): %s\n", option, value, expected);
  return false;
}

// One option and its value. seen: the options given so far, by their letter.
static bool ReadOption(const char* option, const char* value, SpoolSettings* s, char* seen) {
  static const char* const kNames[] = {"--demod", "--freq", "--spool", "--width", "--budget"};
  int which = -1;
  for (int i = 0; i < 5; i++) {
    if (strcmp(option, kNames[i]) == 0) which = i;
  }
  if (which < 0) {
    fprintf(stderr, "Unknown option (%s): --demod, --freq, --spool, --width or --budget\n", option);
    return false;
  }
  if (seen[which]) return Bad(option, value ? value : "", "given twice");
  seen[which] = 1;
  if (!value) return Bad(option, "missing", "a value must follow it");
  switch (which) {
    case 0:
      return DemodParseMode(value, s->mode) || Bad(option, value, "usb, lsb, cw, am or fm");
    case 1:
      return (WholeNumber(value, &s->freqHz) && s->freqHz > 0) ||
             Bad(option, value, "the channel's frequency in Hz (the dial for usb and lsb)");
    case 2:
      return (WholeNumber(value, &s->seconds) && SpoolCycleValid(s->seconds)) ||
             Bad(option, value,
                 "whole seconds from 5 to 3600 that divide 3600 (15 for FT8, 120 for WSPR)");
    case 3:
      return (WholeNumber(value, &s->widthHz) && s->widthHz > 0) ||
             Bad(option, value, "the passband in Hz");
    default:
      return ParseBudget(value, &s->budget) ||
             Bad(option, value, "decimal GB (500G) or hours (72h) of this channel's files");
  }
}

static bool WidthFits(const SpoolSettings* s) {
  if (s->widthHz == 0) return true;
  DemodWidths w = DemodWidthRange(s->mode);
  if (s->widthHz >= w.lowest && s->widthHz <= w.highest) return true;
  fprintf(stderr, "Bad --width (%d): %d to %d Hz for %s\n", s->widthHz, w.lowest, w.highest,
          kModeNames[s->mode]);
  return false;
}

bool ParseSpoolCommandLine(int argc, char** argv, SpoolSettings* s) {
  memset(s, 0, sizeof *s);
  s->budget = Budget{NoBudget, 0, ""};
  if (!ParseInt32(argv[1], &s->band) || s->band < 0) {
    fprintf(stderr, "Bad BandNr|Frequency_in_band_in_kHz (%s)\n", argv[1]);
    return false;
  }
  char seen[5] = {0, 0, 0, 0, 0};
  for (int i = 2; i < argc; i += 2) {
    if (!ReadOption(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, s, seen)) return false;
  }
  if (!seen[0] || !seen[1] || !seen[2]) {
    fprintf(stderr, "A channel needs --demod, --freq and --spool (missing: %s)\n",
            !seen[0]   ? "--demod"
            : !seen[1] ? "--freq"
                       : "--spool");
    return false;
  }
  if (!WidthFits(s)) return false;
  printf("Channel: %s at %d Hz, one %d s file of 12000 Hz mono 16-bit audio per cycle\n",
         kModeNames[s->mode], s->freqHz, s->seconds);
  return true;
}
