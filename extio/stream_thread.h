// The streaming thread: follows SelectedChannel and hands the host blocks of the
// count StartHW returned.
#pragma once

#include "plugin_state.h"

// Fixes the count of every data call from the selected band (0 while none is
// selected: the band the dialog picks later fixes it) and starts the thread unless
// one is running; returns the count. The thread holds its own reference on the
// module, so the host's FreeLibrary never unmaps code it runs.
int32_t StartStreamThread();

// Asks the thread to end and waits for it, bounded; closes its handle. True when
// the thread has ended; false when it is still inside a host callback (it ends
// once the callback returns and delivers nothing more) or when called from it.
bool StopStreamThread();
