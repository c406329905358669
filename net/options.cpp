#include "options.h"

#include <stdio.h>
#include <string.h>

#include "numbers.h"

const char kNetUsage[] =
    "Usage: VEXA_Net [--spyserver BASEPORT] [--rtltcp PORT] [--port PORT]\n"
    "                [--bind ADDRESS] [--allow CIDR|private]... [--max-clients N]\n"
    "\n"
    "Serves the receiver's bands over TCP: the VEXA protocol on port 11000, and on\n"
    "request the protocols that SDR programs speak.\n"
    "\n"
    "  --spyserver BASEPORT  SpyServer: band n on TCP port BASEPORT+n (1..65504)\n"
    "  --rtltcp PORT         rtl_tcp: one port for all bands; the client's frequency\n"
    "                        picks the band\n"
    "  --port PORT           the VEXA protocol's port (default 11000; 0: off)\n"
    "  --bind ADDRESS        listen on this IPv4 address only (default: all)\n"
    "  --allow CIDR|private  admit peers from this network, for example\n"
    "                        192.168.1.0/24; private names 127.0.0.0/8, 10.0.0.0/8,\n"
    "                        172.16.0.0/12, 192.168.0.0/16 and 169.254.0.0/16, the\n"
    "                        list without --allow. Repeatable: each adds, so\n"
    "                        --allow private --allow 203.0.113.0/24 keeps the local\n"
    "                        networks and adds one; 0.0.0.0/0 admits everyone\n"
    "  --max-clients N       clients per protocol, 1..32 (default: 8 for SpyServer\n"
    "                        and rtl_tcp, 32 on port 11000)\n"
    "  --help                this text\n";

static bool readNumber(const char* text, int lowest, int highest, int* port) {
  int32_t value = 0;
  if (!ParseInt32(text, &value) || value < lowest || value > highest) return false;
  // Nothing may follow the digits.
  const char* p = text;
  while (*p == ' ') p++;
  if (*p == '+' || *p == '-') p++;
  while (*p >= '0' && *p <= '9') p++;
  if (*p != '\0') return false;
  *port = value;
  return true;
}

// Takes the value of option name at argv[*i + 1] into options.
static bool takeValue(const char* name, const char* value, NetOptions& options, bool* allowSeen) {
  const char* end = nullptr;
  if (strcmp(name, "--spyserver") == 0)
    return readNumber(value, 1, 65536 - kSpyPortCount, &options.spyBasePort);
  if (strcmp(name, "--rtltcp") == 0) return readNumber(value, 1, 65535, &options.rtlPort);
  if (strcmp(name, "--port") == 0) return readNumber(value, 0, 65535, &options.vexaPort);
  if (strcmp(name, "--max-clients") == 0)
    return readNumber(value, 1, kMaxStreamClients, &options.maxClients);
  if (strcmp(name, "--bind") == 0) return ParseIpv4(value, &end, &options.bind) && *end == '\0';
  // The first --allow replaces the list a server without it has.
  if (!*allowSeen) options.allow.count = 0;
  *allowSeen = true;
  if (strcmp(value, kAllowPrivate) == 0) return AccessAddPrivate(options.allow);
  if (options.allow.count == kMaxAllowRules) return false;
  return ParseCidr(value, &options.allow.rules[options.allow.count++]);
}

OptionsResult ParseNetOptions(int argc, char** argv, NetOptions& options, char* error) {
  static const char* const kValued[] = {"--spyserver", "--rtltcp", "--port",
                                        "--bind",      "--allow",  "--max-clients"};
  options = NetOptions{};
  options.vexaPort = kVexaPort;
  AccessDefaults(options.allow);
  bool allowSeen = false;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return kOptionsHelp;
    bool known = false;
    for (const char* name : kValued) known = known || strcmp(arg, name) == 0;
    if (!known) {
      snprintf(error, kOptionsErrorSize, "unknown option '%s'", arg);
      return kOptionsBad;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value || !takeValue(arg, value, options, &allowSeen)) {
      snprintf(error, kOptionsErrorSize, "bad value for %s: '%s'", arg,
               value ? value : "(missing)");
      return kOptionsBad;
    }
    i++;
  }
  if (options.vexaPort == 0 && options.spyBasePort == 0 && options.rtlPort == 0) {
    snprintf(error, kOptionsErrorSize,
             "--port 0 turns off the only port: add --spyserver or --rtltcp, or leave it out");
    return kOptionsBad;
  }
  return kOptionsRun;
}
