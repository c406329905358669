#include "demod_options.h"

#include <stdio.h>
#include <string.h>

#include "numbers.h"

bool IsOption(const char* arg) {
  return arg[0] == '-' && arg[1] == '-' && arg[2] != '\0';
}

// A whole number and nothing else, from lo to hi.
static bool ReadHz(const char* text, int32_t lo, int32_t hi, int32_t* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') p++;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') p++;
  return *p == '\0' && ParseInt32(text, value) && *value >= lo && *value <= hi;
}

static bool Bad(const char* name, const char* value) {
  fprintf(stderr, "VEXA_Wave: bad value for %s: '%s'\n", name, value ? value : "(missing)");
  return false;
}

// Takes one option and its value.
static bool TakeOption(const char* name, const char* value, DemodRequest& request) {
  if (strcmp(name, "--demod") == 0) {
    request.on = true;
    return (value && DemodParseMode(value, request.mode)) || Bad(name, value);
  }
  if (strcmp(name, "--freq") == 0)
    return (value && ReadHz(value, 1, INT32_MAX, &request.freqHz)) || Bad(name, value);
  if (strcmp(name, "--width") == 0)
    return (value && ReadHz(value, 1, INT32_MAX, &request.widthHz)) || Bad(name, value);
  fprintf(stderr, "VEXA_Wave: unknown option '%s'\n", name);
  return false;
}

// The options together: --freq and --width belong to --demod, which needs --freq,
// and the width must suit the mode.
static bool CheckTogether(const DemodRequest& request, bool freqGiven) {
  if (!request.on && (freqGiven || request.widthHz)) {
    fprintf(stderr, "VEXA_Wave: --freq and --width need --demod MODE (usb, lsb, cw, am, fm)\n");
    return false;
  }
  if (request.on && !freqGiven) {
    fprintf(stderr, "VEXA_Wave: --demod needs --freq HZ\n");
    return false;
  }
  const DemodWidths w = DemodWidthRange(request.mode);
  if (request.on && request.widthHz &&
      (request.widthHz < w.lowest || request.widthHz > w.highest)) {
    fprintf(stderr, "VEXA_Wave: --width %d is outside %d..%d Hz for this mode\n",
            int(request.widthHz), w.lowest, w.highest);
    return false;
  }
  return true;
}

bool ReadDemodOptions(int argc, char** argv, int first, DemodRequest& request) {
  request = DemodRequest{false, kDemodUsb, 0, 0};
  bool freqGiven = false, optionSeen = false;
  for (int i = first; i < argc; i++) {
    if (!IsOption(argv[i])) {
      if (!optionSeen) continue;
      fprintf(stderr, "VEXA_Wave: unexpected argument '%s'\n", argv[i]);
      return false;
    }
    optionSeen = true;
    freqGiven = freqGiven || strcmp(argv[i], "--freq") == 0;
    const char* value = i + 1 < argc && !IsOption(argv[i + 1]) ? argv[i + 1] : nullptr;
    if (!TakeOption(argv[i], value, request)) return false;
    i++;
  }
  return CheckTogether(request, freqGiven);
}

bool DemodFitsBand(const DemodRequest& request, int32_t band, int32_t sampleRate, int32_t l0) {
  double low, high;
  DemodPassband(request.mode, request.widthHz, low, high);
  const double bottom = l0 - 0.5 * double(sampleRate), top = l0 + 0.5 * double(sampleRate);
  const double from = request.freqHz + low, to = request.freqHz + high;
  if (from >= bottom && to <= top) return true;
  fprintf(stderr,
          "VEXA_Wave: --freq %d: the channel's passband, %.0f to %.0f Hz, is not within band %d, "
          "%.0f to %.0f Hz\n",
          int(request.freqHz), from, to, int(band), bottom, top);
  return false;
}
