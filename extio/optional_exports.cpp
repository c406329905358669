// Exports that newer ExtIO hosts look up and older ones never call: settings the
// host saves and restores, the scale factor as the host's gain control, and the
// band's rate as the one rate on offer.
#include <math.h>
#include <stdio.h>

#include "numbers.h"
#include "plugin_state.h"
#include "ui_thread.h"

// Hosts pass buffers of this size for a setting's description and its value.
static const size_t kSettingTextSize = 1024;
static const double kDbPerScaleStep = 6.020599913279624;  // 20 log10(2)

enum Setting { kSettingBandL0, kSettingScaleFactor, kSettingCount };

static void SetScaleFactor(int32_t scale) {
  State.ScaleFactor = scale;
  RequestShowScale();
}

extern "C" {

// 0 with the setting's description and value, -1 past the last setting.
int32_t __stdcall ExtIoGetSetting(int32_t index, char* description, char* value) {
  switch (index) {
    case kSettingBandL0:
      snprintf(description, kSettingTextSize, "%s", "Band centre frequency (Hz)");
      snprintf(value, kSettingTextSize, "%d", SelectedEntry().L0);
      return 0;
    case kSettingScaleFactor:
      snprintf(description, kSettingTextSize, "%s", "Scale factor (0..24)");
      snprintf(value, kSettingTextSize, "%d", int(State.ScaleFactor));
      return 0;
    default:
      return -1;
  }
}

// A value that does not read as the setting's number is ignored.
void __stdcall ExtIoSetSetting(int32_t index, const char* value) {
  int32_t number = 0;
  if (!value || !ParseInt32(value, &number)) return;
  if (index == kSettingBandL0)
    State.WantedL0 = number;  // the band with this frequency, when the dialog first picks one
  else if (index == kSettingScaleFactor && number >= kMinScaleFactor && number <= kMaxScaleFactor)
    SetScaleFactor(number);
}

// Sixteen entries, index 0 the most damping (scale factor 24), each 6.02 dB louder,
// up to scale factor 9. Entry 8 is the default, scale factor 16 (0 dB): a host
// that starts at count / 2 gets it, and so does one that counts the list with a
// post-increment (count + 1) and takes half of that; one that takes (count - 1) / 2
// starts 6 dB quieter, never louder. The dialog still reaches 0..8, which report
// the loudest entry.
static const int32_t kAttenuatorCount = 16;
static const int32_t kMostDamping = kDefaultScaleFactor + kAttenuatorCount / 2;
static const int32_t kLoudestListed = kMostDamping - (kAttenuatorCount - 1);

static int32_t ScaleOfEntry(int32_t index) {
  return kMostDamping - index;
}

// 0 for an entry, with its gain in dB against the default; 1 past the last.
int32_t __stdcall GetAttenuators(int32_t index, float* attenuation) {
  if (index < 0 || index >= kAttenuatorCount) return 1;
  *attenuation = float((kDefaultScaleFactor - ScaleOfEntry(index)) * kDbPerScaleStep);
  return 0;
}

// The entry nearest to the scale factor.
int32_t __stdcall GetActualAttIdx() {
  int32_t scale = State.ScaleFactor;
  return ScaleOfEntry(0) - (scale < kLoudestListed ? kLoudestListed : scale);
}

// 0 when the index names an entry, which then sets the scale factor; 1 otherwise.
int32_t __stdcall SetAttenuator(int32_t index) {
  if (index < 0 || index >= kAttenuatorCount) return 1;
  SetScaleFactor(ScaleOfEntry(index));
  return 0;
}

// The selected band's rate is the one entry; 1 past it or while no band is selected.
int32_t __stdcall ExtIoGetSrates(int32_t index, double* sampleRate) {
  int32_t rate = SelectedEntry().SampleRate;
  if (index != 0 || rate <= 0) return 1;
  *sampleRate = rate;
  return 0;
}

int32_t __stdcall ExtIoGetActualSrateIdx() {
  return 0;
}

// Only the one entry is accepted: 0 for it, 1 otherwise.
int32_t __stdcall ExtIoSetSrate(int32_t index) {
  return index == 0 ? 0 : 1;
}

}  // extern "C"
