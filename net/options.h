// VEXA_Net's command line: without arguments only the port-11000 server runs.
#pragma once

#include <stdint.h>

#include "access.h"

const int kMaxStreamClients = 32;  // the largest --max-clients
const int kSpyPortCount = 32;      // one SpyServer port per band index
const int kVexaPort = 11000;       // VEXA's own protocol, unless --port moves it

struct NetOptions {
  int vexaPort;      // VEXA's own protocol; 0: off
  int spyBasePort;   // band n on spyBasePort + n; 0: no SpyServer ports
  int rtlPort;       // 0: no rtl_tcp port
  uint32_t bind;     // host byte order; 0: every address
  AccessList allow;  // what --allow names; without it the private networks
  int maxClients;    // per protocol; 0: each protocol's own default
};

enum OptionsResult { kOptionsRun, kOptionsHelp, kOptionsBad };

// Reads argv into options; on kOptionsBad, error (kOptionsErrorSize bytes) says
// which argument was wrong.
const int kOptionsErrorSize = 160;
OptionsResult ParseNetOptions(int argc, char** argv, NetOptions& options, char* error);

extern const char kNetUsage[];
