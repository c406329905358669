// The per-connection record of the server and the UDP I/Q stream it may run.
//
// A block is 1024 complex samples (8192 bytes of the ring), sent as:
//   block:    [ Q0 .. Q1023 | I0 .. I1023 ]  32-bit floats scaled by 2^-31
//   datagram: BlockNumber u64 | Offset u16 | Length u16 | Data[500]   (little-endian)
//   17 datagrams per block: Length 500 at offsets 0..7500, then 192 at 8000.
#pragma once

#include <winsock2.h>

#include <stdint.h>

#include <atomic>

#include "band_waiter.h"

const int kIqBlockBytes = 8192;
const int kIqBlockSamples = kIqBlockBytes / kSampleBytes;
const int kIqDatagramBytes = 512;
const int kIqHeaderBytes = 12;
const int kIqPieceBytes = 500;
const int kReplySize = 64;

struct ClientContext {
  sockaddr_in destination;  // the peer's address; start iq sets family and port
  int32_t bandNumber;       // named by the last attach
  BandWaiter band;          // the attached band, open exactly while attached
  int32_t SampleRate;       // header copies taken at attach
  int32_t L0;
  SOCKET udp;             // open while a sender runs, closed only after it ended
  HANDLE sender;          // the sender thread; null while not sending
  uint64_t blockCounter;  // blocks taken by this connection's streams
  std::atomic<bool> stopSender;
  bool live;               // between contextInit and contextFree
  char reply[kReplySize];  // formatted replies of this connection
};

// Creates the record for a new connection from the peer's address.
void contextInit(ClientContext& ctx, const sockaddr_in& peer);

// Stops the stream, closes the band and releases the record; harmless twice.
void contextFree(ClientContext& ctx);

// Opens band `band` for a detached connection and hands it to the sender;
// copies SampleRate and L0.
bool contextAttach(ClientContext& ctx, int32_t band);

// Closes the band; a running stream goes idle.
void contextDetach(ClientContext& ctx);

// Opens the UDP socket and starts the sender; false leaves nothing running.
bool iqStart(ClientContext& ctx);

// Tells the sender to stop, waits for it to end, then closes the UDP socket.
// Harmless when no stream runs.
void iqStop(ClientContext& ctx);

inline bool iqSending(const ClientContext& ctx) {
  return ctx.sender != nullptr;
}

// Lays out one ring chunk (1024 I/Q pairs) as Q values then I values, times 2^-31.
void iqConvertBlock(const float* iq, float* block);

// Writes the header and the block bytes of the piece starting at offset into
// datagram, leaving the rest of Data as it was; returns the piece's length.
int iqPackPiece(uint64_t blockNumber, const uint8_t* block, int offset, uint8_t* datagram);
