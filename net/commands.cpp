#include "commands.h"

#include <stdio.h>
#include <string.h>

#include "numbers.h"

const char kReplyQuit[] = "Client requested to quit ... bye !";
static const char kOk[] = "OK";
static const char kInvalid[] = "Error: Invalid Command";
static const char kNotImplemented[] = "Error: Not Implemented Command";
static const char kAlreadyAttached[] = "Error: Client is already attached to receiver";
static const char kCantAttach[] = "Error: Can't attach to receiver";
static const char kNotAttached[] = "Error: Client is not attached to receiver";
static const char kOtherReceiver[] = "Error: Client is attached to other receiver";
static const char kAlreadySending[] = "Error: iq data are already in sending";
static const char kCantStart[] = "Error: Can't start thread for iq data sending";
static const char kNotSending[] = "Error: iq data are not in sending";

static bool isDelimiter(char c) {
  return c == ' ' || c == '\r' || c == '\n';
}

int splitWords(char* text, char** words, int maxWords) {
  int count = 0;
  char* p = text;
  while (count < maxWords) {
    while (isDelimiter(*p)) p++;
    if (!*p) break;
    words[count++] = p;
    while (*p && !isDelimiter(*p)) p++;
    if (!*p) break;
    *p++ = '\0';
  }
  return count;
}

// The words after the command; a missing word is null.
struct Args {
  const char* first;
  const char* second;
};

static bool attached(const ClientContext& ctx) {
  return IsOpen(ctx.band.channel);
}

static const char* okWith(ClientContext& ctx, int32_t value) {
  snprintf(ctx.reply, sizeof ctx.reply, "%s %d", kOk, value);
  return ctx.reply;
}

// The reply stays as it was; the log says why a published band was refused.
static void logRefusal(const ClientContext& ctx) {
  const BandRefusal& refusal = ctx.band.channel.refusal;
  if (refusal.reason == kNotRefused || refusal.reason == kNoMapping) return;
  char name[kBandNameSize];
  BandName(ctx.bandNumber, name);
  char why[kRefusalTextSize];
  DescribeRefusal(refusal, name, why, sizeof why);
  printf("Can't attach %d receiver: %s\n", ctx.bandNumber, why);
}

static const char* attachCommand(ClientContext& ctx, const Args& a) {
  if (attached(ctx)) return kAlreadyAttached;
  if (!a.first) return kInvalid;
  ctx.bandNumber = AtoiSaturated(a.first);
  if (!contextAttach(ctx, ctx.bandNumber)) {
    logRefusal(ctx);
    return kCantAttach;
  }
  return okWith(ctx, ctx.SampleRate);
}

// The checks that detach and lo? share: attached to the band the request names.
static const char* checkSameBand(const ClientContext& ctx, const Args& a) {
  if (!attached(ctx)) return kNotAttached;
  if (!a.first) return kInvalid;
  if (AtoiSaturated(a.first) != ctx.bandNumber) return kOtherReceiver;
  return nullptr;
}

static const char* detachCommand(ClientContext& ctx, const Args& a) {
  const char* refused = checkSameBand(ctx, a);
  if (refused) return refused;
  contextDetach(ctx);
  return kOk;
}

static const char* frequencyCommand(ClientContext& ctx, const Args& a) {
  if (!attached(ctx)) return kNotAttached;
  if (!a.first) return kInvalid;
  return kOk;
}

static const char* startCommand(ClientContext& ctx, const Args& a) {
  if (!a.first) return kInvalid;
  bool iq = _stricmp(a.first, "iq") == 0;
  if (!iq && _stricmp(a.first, "bandscope") != 0) return kInvalid;
  if (!a.second) return kInvalid;
  int32_t port = AtoiSaturated(a.second);
  // The port is the number's low 16 bits; nobody receives at port 0.
  if (port < 1 || (iq && (port & 0xFFFF) == 0)) return kInvalid;
  if (!iq) return kOk;
  if (!attached(ctx)) return kNotAttached;
  if (iqSending(ctx)) return kAlreadySending;
  ctx.destination.sin_family = AF_INET;
  ctx.destination.sin_port = htons(uint16_t(port & 0xFFFF));
  if (!iqStart(ctx)) return kCantStart;
  return kOk;
}

static const char* stopCommand(ClientContext& ctx, const Args& a) {
  if (!a.first) return kInvalid;
  if (_stricmp(a.first, "iq") == 0) {
    if (!attached(ctx)) return kNotAttached;
    if (!iqSending(ctx)) return kNotSending;
    iqStop(ctx);
    return kOk;
  }
  if (_stricmp(a.first, "bandscope") == 0) return kOk;
  return kInvalid;
}

static const char* quitCommand(ClientContext&, const Args&) {
  return kReplyQuit;
}

static const char* hardwareCommand(ClientContext&, const Args&) {
  return kInvalid;
}

static const char* loCommand(ClientContext& ctx, const Args& a) {
  const char* refused = checkSameBand(ctx, a);
  if (refused) return refused;
  return okWith(ctx, ctx.L0);
}

struct Command {
  const char* name;
  const char* (*run)(ClientContext& ctx, const Args& a);
};

static const Command kCommands[] = {
    {"attach", attachCommand},      {"detach", detachCommand}, {"frequency", frequencyCommand},
    {"start", startCommand},        {"stop", stopCommand},     {"quit", quitCommand},
    {"hardware?", hardwareCommand}, {"lo?", loCommand},
};

const char* processCommand(char* request, ClientContext& ctx) {
  char* words[kMaxWords];
  int count = splitWords(request, words, kMaxWords);
  if (count == 0) return kInvalid;
  Args args = {count > 1 ? words[1] : nullptr, count > 2 ? words[2] : nullptr};
  for (const Command& command : kCommands) {
    if (_stricmp(words[0], command.name) == 0) return command.run(ctx, args);
  }
  return kNotImplemented;
}
