#include "settings_dialog.h"

#include <stdio.h>

#include <commctrl.h>

#include "resource.h"

static const int kTextSize = 128;
static const int kItemTextBytes = 64;  // storage hint per band list item

void ShowSettingsDialog() {
  if (State.Dialog) return;
  // The up-down control's class, whether or not the host registered it.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  HWND desktop = GetDesktopWindow();
  RECT desk;
  GetWindowRect(desktop, &desk);
  HWND dialog = CreateDialogParamA(State.Module, MAKEINTRESOURCEA(IDD_SETTINGS), desktop,
                                   SettingsDialogProc, 0);
  State.Dialog = dialog;
  if (!dialog) return;
  RECT dlg;
  GetWindowRect(dialog, &dlg);
  SetWindowPos(dialog, HWND_TOPMOST, desk.right - (dlg.right - dlg.left), desk.top, 0, 0,
               SWP_NOSIZE | SWP_SHOWWINDOW);
}

void DestroySettingsDialog() {
  HWND dialog = State.Dialog;
  if (!dialog) return;
  if (DestroyWindow(dialog) || !IsWindow(dialog)) State.Dialog = nullptr;
}

static void SetSpinPosition(HWND window) {
  SendDlgItemMessageA(window, IDC_SCALE_SPIN, UDM_SETPOS, 0,
                      MAKELPARAM(LOWORD(State.ScaleFactor), 0));
}

void ShowScaleFactor() {
  if (State.Dialog) SetSpinPosition(State.Dialog);
}

// UDM_GETPOS answers the position in its low word and an error flag in its high
// word; only a valid position within the range reaches ScaleFactor. A change is
// announced, so the host's gain control follows.
static void TakeScaleFactor(HWND window) {
  HWND spin = GetDlgItem(window, IDC_SCALE_SPIN);
  if (!spin) return;  // a message to no window answers 0, which is no position
  LRESULT answer = SendMessageA(spin, UDM_GETPOS, 0, 0);
  if (HIWORD(answer) != 0) return;
  int32_t pos = static_cast<short>(LOWORD(answer));
  if (pos < kMinScaleFactor) pos = kMinScaleFactor;
  if (pos > kMaxScaleFactor) pos = kMaxScaleFactor;
  if (pos == State.ScaleFactor) return;
  State.ScaleFactor = pos;
  SendStatus(kStatusAttenuatorChanged);
}

static void OnBandListChange(HWND window) {
  HWND list = GetDlgItem(window, IDC_BAND_LIST);
  LRESULT item = SendMessageA(list, CB_GETCURSEL, 0, 0);
  if (item < 0) return;
  LRESULT band = SendMessageA(list, CB_GETITEMDATA, item, 0);
  if (band < 0 || band >= State.BandCount) return;
  State.SelectedBand = int32_t(band);
  FillSettingsDialog(window);
}

INT_PTR CALLBACK SettingsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NOTIFY:
      TakeScaleFactor(window);
      return TRUE;
    case WM_VSCROLL:
      // The up-down control notifies before it moves (WM_NOTIFY) and scrolls after
      // it (WM_VSCROLL): the keyboard's arrows send nothing else.
      if (reinterpret_cast<HWND>(lParam) != GetDlgItem(window, IDC_SCALE_SPIN)) return FALSE;
      TakeScaleFactor(window);
      return TRUE;
    case WM_INITDIALOG:
      // Known before the fill: a host that answers its status calls with ShowGUI
      // finds the dialog there and gets no second one.
      State.Dialog = window;
      FillSettingsDialog(window);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_BAND_LIST && HIWORD(wParam) == CBN_SELCHANGE)
        OnBandListChange(window);
      return TRUE;
    default:
      return FALSE;
  }
}

// Lists every band with a positive sample rate, its index as the item data, and
// every band refused, with the reason and -1 as the item data: it can't be chosen.
static void FillBandList(HWND list, const BandEntry* table, int32_t bandCount) {
  SendMessageA(list, CB_RESETCONTENT, 0, 0);
  SendMessageA(list, CB_INITSTORAGE, bandCount, bandCount * kItemTextBytes);
  for (int32_t i = 0; i < bandCount; i++) {
    char text[kTextSize];
    LPARAM data = i;
    if (table[i].refusal.reason != kNotRefused) {
      char name[kBandNameSize];
      char why[kRefusalTextSize];
      BandName(i, name);
      DescribeRefusal(table[i].refusal, name, why, sizeof why);
      snprintf(text, sizeof text, "%2d - refused: %s", i, why);
      data = -1;
    } else if (table[i].SampleRate > 0) {
      snprintf(text, sizeof text, "%2d - %9u Hz", i, unsigned(table[i].L0));
    } else {
      continue;
    }
    LRESULT pos = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (pos >= 0) SendMessageA(list, CB_SETITEMDATA, pos, data);
  }
}

// The listed band the host restored by its frequency, else the first band that can
// be chosen; -1 when there is none.
static int32_t FirstChoice(HWND list, LRESULT count, const BandEntry* table, int32_t bandCount) {
  for (LRESULT j = 0; State.WantedL0 != 0 && j < count; j++) {
    LRESULT band = SendMessageA(list, CB_GETITEMDATA, j, 0);
    if (band >= 0 && band < bandCount && table[band].L0 == State.WantedL0) return int32_t(band);
  }
  for (LRESULT j = 0; j < count; j++) {
    LRESULT band = SendMessageA(list, CB_GETITEMDATA, j, 0);
    if (band >= 0) return int32_t(band);
  }
  return -1;
}

// Picks a band when none is selected, and shows the selected one.
static void SelectListedBand(HWND list, const BandEntry* table, int32_t bandCount) {
  LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
  if (count < 0) count = 0;
  if (State.SelectedBand < 0 && count > 0)
    State.SelectedBand = FirstChoice(list, count, table, bandCount);
  for (LRESULT j = 0; j < count; j++) {
    LRESULT band = SendMessageA(list, CB_GETITEMDATA, j, 0);
    if (band >= 0 && band < bandCount && band == State.SelectedBand) {
      SendMessageA(list, CB_SETCURSEL, j, 0);
      return;
    }
  }
}

static void ShowBandFigures(HWND window) {
  char rate[kTextSize] = "";
  char block[kTextSize] = "";
  if (State.SelectedBand >= 0) {
    BandEntry e = SelectedEntry();
    snprintf(rate, sizeof rate, "%d Hz", e.SampleRate);
    snprintf(block, sizeof block, "%d Smpls", e.BlockInSamples);
  }
  SetWindowTextA(GetDlgItem(window, IDC_SAMPLE_RATE), rate);
  SetWindowTextA(GetDlgItem(window, IDC_BLOCK_LEN), block);
}

static bool SameEntry(const BandEntry& a, const BandEntry& b) {
  return a.SampleRate == b.SampleRate && a.BlockInSamples == b.BlockInSamples && a.L0 == b.L0;
}

void FillSettingsDialog(HWND window) {
  int32_t beforeBand = State.SelectedBand;
  BandEntry before = SelectedEntry();
  ProbeBands();
  BandEntry table[kBandCount];
  int32_t bandCount = CopyBandTable(table);
  HWND list = GetDlgItem(window, IDC_BAND_LIST);
  FillBandList(list, table, bandCount);
  SelectListedBand(list, table, bandCount);
  SendDlgItemMessageA(window, IDC_SCALE_SPIN, UDM_SETRANGE, 0,
                      MAKELPARAM(kMaxScaleFactor, kMinScaleFactor));
  SetSpinPosition(window);
  ShowBandFigures(window);
  // An open band is never reopened here: that would start at the publisher's
  // position and skip what the stream has not delivered yet. Its figures changed
  // while it stayed selected (the probe above took the change before the streaming
  // thread saw it): the host hears of it as from that thread. A band not open yet
  // is opened (the streaming thread may open it first).
  bool changed = beforeBand == State.SelectedBand && !SameEntry(before, SelectedEntry());
  if (!SelectedBandOpen())
    OpenSelectedBand(false);
  else if (changed)
    SendBandChanged();
}
