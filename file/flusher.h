// Hands the open file to the disk on a thread of its own: a slow disk then holds
// up that thread, never the capture loop, whose ring lasts only seconds.
#pragma once

#include <windows.h>

// From now on FlushSoon leaves the flushing to the thread. Without a thread
// (none could be had, or before the start) FlushSoon flushes at once.
void FlusherStart();

// Waits a few seconds at most for a flush under way; FlushSoon flushes at once
// again. Harmless twice.
void FlusherStop();

// Flushes the file through g_fileIo.flush: at once, or on the thread with a
// handle of its own, so that the file may be closed meanwhile. While the thread
// is still busy with an earlier flush the request is left out: that flush
// takes most of what this one would.
void FlushSoon(HANDLE file);
