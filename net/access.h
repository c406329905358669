// Which peer addresses the server accepts: a list of IPv4 networks in CIDR form.
#pragma once

#include <stdint.h>

const int kMaxAllowRules = 32;

struct AccessRule {
  uint32_t network;  // host byte order, already masked
  uint32_t mask;     // host byte order
};

struct AccessList {
  AccessRule rules[kMaxAllowRules];
  int count;
};

// Reads "A.B.C.D/N" (or "A.B.C.D" alone, a single host) into rule; false on
// anything else, such as a prefix above 32 or an octet above 255.
bool ParseCidr(const char* text, AccessRule* rule);

// The word that names the loopback, private and link-local networks in --allow.
extern const char kAllowPrivate[];

// Adds the loopback, private and link-local IPv4 networks to list; false when
// they do not all fit.
bool AccessAddPrivate(AccessList& list);

// Just those networks: what a server without --allow admits.
void AccessDefaults(AccessList& list);

// True when address (host byte order) lies in one of the list's networks.
bool AccessAllows(const AccessList& list, uint32_t address);

// Reads dotted IPv4 text into a host-order address; false unless it is exactly
// four decimal octets.
bool ParseIpv4(const char* text, const char** end, uint32_t* address);

// Dotted form of a host-order address into text (16 bytes).
void FormatIpv4(uint32_t address, char* text);

// What to add to the command line to admit a refused address (host order),
// kept with the local networks, into text (kAccessHintSize bytes).
const int kAccessHintSize = 128;
void AccessHint(uint32_t address, char* text);
