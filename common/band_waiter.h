// A band that one thread waits on and reads while other threads open, close or
// replace it: the channel sits under a lock, and the waiting thread waits on its
// own duplicate of the band's event, so a close never pulls a handle from under
// its wait.
#pragma once

#include "band_channel.h"

struct BandWaiter {
  CRITICAL_SECTION lock;  // guards channel, band and serial; held briefly
  BandChannel channel;    // open while a band is installed
  int32_t band;           // the band installed, -1 while closed
  uint32_t serial;        // bumped by every install and close, so a waiter notices
                          // a new band even when handle values repeat
  HANDLE wake;            // auto-reset: install, close and WakeWaiter set it
  bool live;              // between WaiterInit and WaiterFree
};

// The waiting thread's own handle on the installed band's event.
struct WaiterEvent {
  HANDLE event;     // null while no band is installed
  uint32_t serial;  // the install the duplicate belongs to
};

// False when the wake event cannot be created; the waiter is then not live.
bool WaiterInit(BandWaiter& w);

// Closes the band and releases the rest, once no thread waits on it (it takes no
// lock); harmless twice.
void WaiterFree(BandWaiter& w);

// Opens band aside, then installs it in place of the previous one under the lock;
// false, with the waiter closed, when the band does not open.
bool WaiterOpen(BandWaiter& w, int32_t band);

// Closes the installed band under the lock; harmless while closed.
void WaiterClose(BandWaiter& w);

// Wakes the waiting thread without a signal from the publisher.
void WakeWaiter(BandWaiter& w);

inline void WaiterEventInit(WaiterEvent& ev) {
  ev.event = nullptr;
  ev.serial = 0;
}

// Closes the waiting thread's duplicate; harmless twice.
void WaiterEventClose(WaiterEvent& ev);

// On the waiting thread: waits for the installed band's next signal, a wake-up or
// stop (may be null), at most kResponsiveWaitMs. The publisher's event is reset
// before the wait, as a reader does before it looks again.
void WaitForBand(BandWaiter& w, WaiterEvent& ev, HANDLE stop);
