// One client of the SDR-program protocols (SpyServer, rtl_tcp): its socket, its
// own reader of the band, its signal path and its bounded queue. The records
// live in a pool per protocol, their buffers allocated once at start-up; a
// client's thread runs the protocol over the record.
#pragma once

#include <winsock2.h>

#include <stdint.h>

#include <atomic>

#include "auto_gain.h"
#include "band_channel.h"
#include "client_queue.h"
#include "iq_path.h"

enum StreamProtocol { kSpyServer, kRtlTcp, kStreamProtocols };

const int kStreamPoolMax = 32;  // records per protocol at the most

const int kStreamOutSamples = 65536;  // complex samples one path run may give
const int kTagSize = 24;              // "spyserver 00"
const int kAddressSize = 24;          // "255.255.255.255:65535"
// Complex samples one message may hold: a queue buffer in the smallest format.
const int kStreamMessageMax = kQueueBufferBytes / 2;

struct StreamClient;
// Writes a message's header in front of its body (bodyBytes) in buffer.
typedef void (*SealMessage)(StreamClient& c, uint8_t* buffer, int bodyBytes);

struct StreamClient {
  StreamProtocol protocol;
  int32_t band;  // SpyServer: the band of the port; rtl_tcp: the band picked, -1 none
  SOCKET socket;
  HANDLE socketEvent;  // WSAEventSelect: read, write, close
  char tag[kTagSize];  // begins every log line of the client
  char peer[kAddressSize];
  std::atomic<bool> taken;  // set by the accept thread, cleared by the client's thread

  BandChannel channel;   // this client's own reader of its band
  int32_t chunkSamples;  // read from the ring at a time
  int32_t bandRate;      // the band's SampleRate and L0 as the path was designed for
  int32_t bandL0;
  IqPath* path;   // allocated with the pool
  float* input;   // kIqPathMaxIn complex samples
  float* output;  // kStreamOutSamples complex samples

  bool mixing;            // the path's output is shifted once more, at the output rate
  double mixRe, mixIm;    // the shift's phase now
  double stepRe, stepIm;  // its turn per output sample

  ClientQueue queue;
  IqFormat format;
  float gain;
  AutoGain autoGain;
  bool autoGainOn;     // each message also gets autoGain's whole dB
  int messageGainDb;   // autoGain's dB in the message being sealed, else 0
  int headerBytes;     // in front of each message's samples
  int messageSamples;  // complex samples per message
  SealMessage seal;    // null: messages go out bare
  void* sealContext;   // the protocol's session, for seal
  float* staged;       // the next message's samples, packed once it is whole
  int filled;          // complex samples in it
  ULONGLONG dropsLoggedAt;
};

// Allocates count records' buffers for protocol; false when memory is short.
bool StreamPoolInit(StreamProtocol protocol, int count);
void StreamPoolFree();  // harmless twice
// A free record of protocol, marked taken, or null when all count are taken.
StreamClient* StreamPoolTake(StreamProtocol protocol);
int StreamPoolSize(StreamProtocol protocol);
// Records still taken, of every protocol.
int StreamPoolBusy();

// Sets the format and message size for the output rate; drops a message half built.
void StreamSetFormat(StreamClient& c, IqFormat format, double outRate, int headerBytes);

// Turns the automatic gain on or off for the format and rate set; on, it starts
// over from the next message's peak.
void StreamSetAutoGain(StreamClient& c, bool on, double outRate);

// Packs n output samples into messages, queueing each as it fills.
void StreamEmit(StreamClient& c, const float* iq, int n);

// Queues what is built of the current message, if anything.
void StreamEndMessage(StreamClient& c);

// Reads every whole chunk the band has and runs it through the path into messages.
void StreamPump(StreamClient& c);

// Samples to read from an open band at a time: its block, within what a path
// run takes and the ring holds.
int32_t StreamChunkSamples(const BandChannel& channel);

// Opens band on the client's channel and sizes its chunk; why (kReasonSize)
// says what failed.
const int kReasonSize = 128;
bool StreamOpenBand(StreamClient& c, int32_t band, char* why);

// Shifts the path's output by hz at outRate from now on (0: no shift): for a
// stream whose centre lies outside the band, whose path is centred on the band.
void StreamShiftOutput(StreamClient& c, double hz, double outRate);

// True once when the band's SampleRate or L0 differ from bandRate and bandL0,
// which then take the new values.
bool StreamBandMoved(StreamClient& c);

// Waits up to timeoutMs for the band's signal or the socket (data in, room out,
// a close).
void StreamWait(StreamClient& c, DWORD timeoutMs);

// Receives what is there without blocking: the byte count, 0 when nothing, -1
// when the peer closed or the socket failed (why says which).
int StreamReceive(StreamClient& c, uint8_t* buffer, int size, char* why);

// Sends what the queue holds, and once a second logs what a slow reader lost.
bool StreamSend(StreamClient& c, char* why);

// Ends the client: closes band, events and socket and frees the record.
void StreamEnd(StreamClient& c, const char* why);
