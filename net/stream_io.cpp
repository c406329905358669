// The client thread's side of a stream: waiting, the band's samples through the
// path, and the socket.
#include <math.h>
#include <stdio.h>

#include "dsp_math.h"
#include "stream_client.h"

static const ULONGLONG kDropLogMs = 1000;

void StreamShiftOutput(StreamClient& c, double hz, double outRate) {
  c.mixing = hz != 0.0;
  c.mixRe = 1.0;
  c.mixIm = 0.0;
  c.stepRe = cos(kTwoPi * hz / outRate);
  c.stepIm = sin(kTwoPi * hz / outRate);
}

// A complex rotator in double precision, brought back to unit length once a
// block so that it does not drift.
static void mixOutput(StreamClient& c, float* iq, int n) {
  double re = c.mixRe, im = c.mixIm;
  for (int k = 0; k < n; k++) {
    float i = iq[2 * k], q = iq[2 * k + 1];
    iq[2 * k] = float(i * re - q * im);
    iq[2 * k + 1] = float(i * im + q * re);
    double next = re * c.stepRe - im * c.stepIm;
    im = re * c.stepIm + im * c.stepRe;
    re = next;
  }
  double norm = 1.0 / sqrt(re * re + im * im);
  c.mixRe = re * norm;
  c.mixIm = im * norm;
}

void StreamPump(StreamClient& c) {
  if (!IsOpen(c.channel)) return;
  int n = c.chunkSamples;
  while (n > 1 && IqPathMaxOut(*c.path, n) > kStreamOutSamples) n /= 2;
  while (Read(c.channel, n * kSampleBytes, c.input)) {
    int out = IqPathRun(*c.path, c.input, n, c.output);
    if (c.mixing) mixOutput(c, c.output, out);
    StreamEmit(c, c.output, out);
  }
  TakeResync(c.channel);
  int64_t lost = TakeOverrun(c.channel);
  if (lost > 0) {
    printf("%s band %d overran this client's reader: %lld samples lost\n", c.tag, c.band,
           static_cast<long long>(lost));
  }
}

void StreamWait(StreamClient& c, DWORD timeoutMs) {
  HANDLE events[2] = {c.socketEvent, c.channel.event};
  DWORD count = IsOpen(c.channel) ? 2 : 1;
  DWORD got = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
  // Reset before looking: a signal or socket event after this is seen next time.
  if (got == WAIT_OBJECT_0 + 1) ResetEvent(c.channel.event);
  WSAResetEvent(c.socketEvent);
}

int StreamReceive(StreamClient& c, uint8_t* buffer, int size, char* why) {
  int got = recv(c.socket, reinterpret_cast<char*>(buffer), size, 0);
  if (got > 0) return got;
  if (got == 0) {
    snprintf(why, kReasonSize, "the client closed the connection");
    return -1;
  }
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return 0;
  snprintf(why, kReasonSize, "recv() failed: %d", error);
  return -1;
}

bool StreamSend(StreamClient& c, char* why) {
  if (!QueueSend(c.queue, c.socket)) {
    snprintf(why, kReasonSize, "send() failed: %d", WSAGetLastError());
    return false;
  }
  ULONGLONG now = GetTickCount64();
  if (now - c.dropsLoggedAt < kDropLogMs) return true;
  c.dropsLoggedAt = now;
  int64_t dropped = QueueTakeDrops(c.queue);
  if (dropped > 0) {
    printf("%s client reads too slowly: %lld messages dropped in the last second\n", c.tag,
           static_cast<long long>(dropped));
  }
  return true;
}

void StreamEnd(StreamClient& c, const char* why) {
  printf("%s connection with client %s closed: %s\n", c.tag, c.peer, why);
  Close(c.channel);
  c.filled = 0;
  c.autoGainOn = false;
  QueueReset(c.queue);
  closesocket(c.socket);
  c.socket = INVALID_SOCKET;
  if (c.socketEvent) WSACloseEvent(c.socketEvent);
  c.socketEvent = nullptr;
  c.taken = false;
}
