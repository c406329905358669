// The listening ports of the SDR-program protocols and their accept thread:
// SpyServer on one port per band, rtl_tcp on one port for all bands.
#pragma once

#include <winsock2.h>

#include "options.h"

// Binds every port the options ask for and starts accepting; false (after
// printing why) when a port cannot be bound or the pools cannot be allocated.
bool StreamServerStart(const NetOptions& options);

// Stops accepting, ends every client and waits for their threads; harmless twice.
void StreamServerStop();

// True once the stop has begun: the client threads end their loops.
bool StreamStopping();

// Whether peer may connect; logs the refusal (with port for context) when not.
bool PeerAllowed(const AccessList& allow, const sockaddr_in& peer, int port);

// "A.B.C.D:P" of a socket address into text (kAddressSize bytes).
void FormatPeer(const sockaddr_in& peer, char* text);

// A TCP socket listening on address:port; INVALID_SOCKET on failure, with the
// Winsock error and the call that failed ("socket", "bind" or "listen").
SOCKET ListenOn(uint32_t address, int port, int* error, const char** call);
