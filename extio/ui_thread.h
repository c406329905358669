// The thread the settings dialog lives on. Whichever host thread calls ShowGUI,
// HideGUI or CloseHW, the dialog is created, driven and destroyed on this one
// thread, through a message loop of its own, so it answers even when the host's
// calling thread runs no loop and is destroyed even when another thread asks.
// Host threads only send it requests, with a time-out.
#pragma once

#include "plugin_state.h"

// Starts the UI thread if none runs and has it create the dialog; returns once
// the dialog is there (or the request timed out).
void RequestShowDialog();

// Has the UI thread destroy the dialog and end; returns once it has ended (or the
// request timed out). Harmless while there is none.
void RequestCloseDialog();

// Has the dialog show ScaleFactor after the host changed it.
void RequestShowScale();
