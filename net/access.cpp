#include "access.h"

#include <stdio.h>

bool ParseIpv4(const char* text, const char** end, uint32_t* address) {
  uint32_t value = 0;
  const char* p = text;
  for (int octet = 0; octet < 4; octet++) {
    if (octet > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    uint32_t part = 0;
    for (int digits = 0; *p >= '0' && *p <= '9'; digits++, p++) {
      if (digits == 3) return false;
      part = part * 10 + uint32_t(*p - '0');
    }
    if (part > 255) return false;
    value = value << 8 | part;
  }
  *end = p;
  *address = value;
  return true;
}

bool ParseCidr(const char* text, AccessRule* rule) {
  const char* p = text;
  uint32_t address = 0;
  if (!ParseIpv4(text, &p, &address)) return false;
  int prefix = 32;
  if (*p == '/') {
    p++;
    if (*p < '0' || *p > '9') return false;
    prefix = 0;
    for (int digits = 0; *p >= '0' && *p <= '9'; digits++, p++) {
      if (digits == 2) return false;
      prefix = prefix * 10 + (*p - '0');
    }
    if (prefix > 32) return false;
  }
  if (*p != '\0') return false;
  rule->mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  rule->network = address & rule->mask;
  return true;
}

const char kAllowPrivate[] = "private";

bool AccessAddPrivate(AccessList& list) {
  static const char* const kPrivate[] = {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12",
                                         "192.168.0.0/16", "169.254.0.0/16"};
  const int count = int(sizeof kPrivate / sizeof kPrivate[0]);
  if (list.count + count > kMaxAllowRules) return false;
  for (const char* text : kPrivate) ParseCidr(text, &list.rules[list.count++]);
  return true;
}

void AccessDefaults(AccessList& list) {
  list.count = 0;
  AccessAddPrivate(list);
}

bool AccessAllows(const AccessList& list, uint32_t address) {
  for (int i = 0; i < list.count; i++) {
    if ((address & list.rules[i].mask) == list.rules[i].network) return true;
  }
  return false;
}

void FormatIpv4(uint32_t address, char* text) {
  snprintf(text, 16, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
           address & 255);
}

void AccessHint(uint32_t address, char* text) {
  char host[16];
  char network[16];
  FormatIpv4(address, host);
  FormatIpv4(address & 0xFFFFFF00u, network);
  snprintf(text, kAccessHintSize,
           "to admit it, start VEXA_Net with --allow private --allow %s (or %s/24 for its "
           "network)",
           host, network);
}
