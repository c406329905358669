// Connections accepted while every slot of their protocol was taken. A client
// that has just closed still holds its slot until its thread has noticed and let
// it go, and a client that closes and reconnects at once (SoapySDR probes,
// closes and connects again) would be refused for it. So a connection that
// finds no free slot waits, oldest first, up to kSlotWaitMs for one before it is
// refused. Only the accept thread uses the list; the clock is passed in.
#pragma once

#include <winsock2.h>

const ULONGLONG kSlotWaitMs = 500;  // well inside the 1 s clients give the server's first reply
const int kSlotWaitMax = 16;        // connections waiting at once; more are refused at once

struct SlotWaiter {
  SOCKET socket;
  sockaddr_in peer;
  int listener;     // index of the port it came in on
  ULONGLONG since;  // when it was accepted
};

struct SlotWaitList {
  SlotWaiter waiters[kSlotWaitMax];  // oldest first
  int count;
};

// Called for each waiter, oldest first, with whether its time is up. Returns
// true when it has placed the connection in a slot or, time up, refused it:
// the waiter then leaves the list.
typedef bool (*SlotPlace)(const SlotWaiter& w, bool timeUp);

// Adds a waiter; false when the list is full (the caller refuses it).
bool SlotWaitAdd(SlotWaitList& list, const SlotWaiter& w);

// Offers every waiter to place, oldest first.
void SlotWaitRun(SlotWaitList& list, ULONGLONG now, SlotPlace place);

// Closes every waiting connection; harmless twice.
void SlotWaitClear(SlotWaitList& list);
