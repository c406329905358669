// The settings dialog: where the user picks the band and sets the scale factor.
#pragma once

#include "plugin_state.h"

// On the UI thread: creates the dialog at the desktop's top-right corner,
// top-most; nothing if it exists.
void ShowSettingsDialog();

// On the UI thread: destroys the dialog if it exists; the handle is forgotten once
// the window is gone.
void DestroySettingsDialog();

// On the UI thread: the up-down control shows ScaleFactor.
void ShowScaleFactor();

INT_PTR CALLBACK SettingsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Probes the bands and refills every control; reopens the selected band when it is
// not the one open or it changed since the last probe.
void FillSettingsDialog(HWND window);
