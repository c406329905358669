// The streaming thread: follows SelectedChannel and hands the host blocks of the
// count StartHW returned.
#pragma once

#include "plugin_state.h"

// Fixes the count of every data call from the selected band (0 while none is
// selected: the band the dialog picks later fixes it) and starts the thread unless
// one is running; returns the count. The thread holds its own reference on the
// module, so the host's FreeLibrary never unmaps code it runs.
int32_t StartStreamThread();

// Asks the thread to end and waits, bounded, until it is out of the host's code and
// will make no more calls; closes its handle. True when it is; false when called
// from the thread's own callback, or when a callback still runs after the bound (the
// thread makes no call once it returns).
bool StopStreamThread();
