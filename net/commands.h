// The text commands of a connection: attach, detach, frequency, start, stop,
// quit, hardware? and lo?.
#pragma once

#include "iq_streamer.h"

const int kMaxWords = 15;

extern const char kReplyQuit[];

// Splits text in place into words separated by runs of space, CR and LF (not
// tab); stores at most maxWords of them and returns how many it stored.
int splitWords(char* text, char** words, int maxWords);

// Carries out one request and returns its reply, which lives in the request's
// context (or is a constant) until the next request of the connection.
const char* processCommand(char* request, ClientContext& ctx);
