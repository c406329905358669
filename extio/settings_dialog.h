// The settings dialog: the only place where the band and the scale factor change.
#pragma once

#include "plugin_state.h"

// Creates the dialog at the desktop's top-right corner, top-most; nothing if it exists.
void ShowSettingsDialog();

// Destroys the dialog if it exists.
void DestroySettingsDialog();

// At unload: unhooks the module's procedure from the dialog, so no message reaches
// the unmapped code. Destroying or hiding it under the loader lock can stall.
void ForgetSettingsDialog();

INT_PTR CALLBACK SettingsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Probes the bands, refills every control and reopens the selected band.
void FillSettingsDialog(HWND window);
