// The streaming thread: follows SelectedChannel and hands each block to the host.
#pragma once

#include "plugin_state.h"

// Starts the thread unless one is running; waits until it runs the module's code,
// so an unload right after cannot unmap code a starting thread is about to enter.
void StartStreamThread();

// Asks the thread to end and waits for it, bounded; closes its handle. True when
// the thread has ended.
bool StopStreamThread();
