// The thread the settings dialog lives on. Whichever host thread calls ShowGUI,
// HideGUI or CloseHW, the dialog is created, driven and destroyed on this one
// thread, through a message loop of its own, so it answers even when the host's
// calling thread runs no loop and is destroyed even when another thread asks.
// Host threads only send or post it requests and wait for it with a time-out,
// answering what other threads send them meanwhile.
#pragma once

#include "plugin_state.h"

// Starts the UI thread if none runs and has it create the dialog; returns once
// the dialog is there (or the request timed out).
void RequestShowDialog();

// Has the UI thread destroy the dialog and end; returns once it runs none of our
// code, or after a bound, the dialog then going on its own. Harmless while there
// is none.
void RequestCloseDialog();

// Has the dialog show ScaleFactor after the host changed it.
void RequestShowScale();
