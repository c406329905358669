// The SpyServer protocol's framing: little-endian u32 fields throughout.
//   client -> server: CommandType, BodySize (8 bytes), body (at most 256 bytes)
//   server -> client: ProtocolID, MessageType, StreamType, SequenceNumber,
//                     BodySize (20 bytes), body (never empty, at most 1 MiB)
#pragma once

#include <stdint.h>

const uint32_t kSpyProtocolId = 0x020006A4;  // version 2.0.1700
const int kSpyHeaderBytes = 20;
const int kSpyCommandHeaderBytes = 8;
const int kSpyMaxCommandBody = 256;

enum SpyCommandType : uint32_t { kSpyHello = 0, kSpySetSetting = 2, kSpyPing = 3 };

enum SpyMessageType : uint32_t { kSpyDeviceInfo = 0, kSpyClientSync = 1, kSpyPong = 2 };
// Message types of the IQ formats. 102 (int24) goes only to a client that asked
// for it: clients that never ask stop reading on it.
enum SpyIqType : uint32_t { kSpyIqU8 = 100, kSpyIqS16 = 101, kSpyIqS24 = 102, kSpyIqF32 = 103 };

// The spectrum: one byte per display pixel.
const uint32_t kSpyFftU8 = 301;

enum SpyStreamType : uint32_t { kSpyStreamStatus = 0, kSpyStreamIq = 1, kSpyStreamFft = 4 };

enum SpySetting : uint32_t {
  kSpyStreamingMode = 0,
  kSpyStreamingEnabled = 1,
  kSpyGain = 2,
  kSpyIqFormat = 100,
  kSpyIqFrequency = 101,
  kSpyIqDecimation = 102,
  kSpyIqDigitalGain = 103,
  kSpyFftFormat = 200,
  kSpyFftFrequency = 201,
  kSpyFftDecimation = 202,
  kSpyFftDbOffset = 203,
  kSpyFftDbRange = 204,
  kSpyFftDisplayPixels = 205,
};

// Bits of STREAMING_MODE.
const uint32_t kSpyModeIq = 1, kSpyModeFft = 4;

// IQ_DIGITAL_GAIN's value for "the server scales": the dB it applied then goes
// in the high 16 bits of each IQ message's MessageType.
const uint32_t kSpyAutoGain = 0xFFFFFFFF;

enum SpyFormatCode : uint32_t { kSpyU8 = 1, kSpyS16 = 2, kSpyS24 = 3, kSpyF32 = 4, kSpyD4 = 5 };

struct SpyCommand {
  uint32_t type;
  uint32_t bodySize;
  uint8_t body[kSpyMaxCommandBody];
};

// Collects a client's bytes into whole commands.
struct SpyParser {
  uint8_t bytes[kSpyCommandHeaderBytes + kSpyMaxCommandBody];
  int have;
};

enum SpyParseResult { kSpyNeedMore, kSpyGotCommand, kSpyBodyTooLong };

// Takes bytes from data (n of them) until one command is whole; *used says how
// many it took. kSpyBodyTooLong: the header announced more than the limit.
SpyParseResult SpyFeed(SpyParser& p, const uint8_t* data, int n, int* used, SpyCommand* command);

// A band as the protocol describes it.
struct SpyDevice {
  uint32_t serial;
  uint32_t sampleRate;
  uint32_t centre;
  uint32_t stages;  // highest decimation stage: rate / 2^stages
};

// Fills device from a band's rate and centre: stages down to about 3 kHz, at
// least 6, as far as the rate divides by two.
void SpyDescribeBand(int32_t band, int32_t rate, int32_t l0, SpyDevice* device);

// The nearest IQ centre that keeps a stream decimated by 2^stage inside the band.
uint32_t SpyClampCentre(const SpyDevice& d, uint32_t stage, uint32_t wanted);

// Writes a message header at out.
void SpyPutHeader(uint8_t* out, uint32_t type, uint32_t stream, uint32_t sequence,
                  uint32_t bodySize);

// Writes a whole DeviceInfo (header and 48-byte body) at out; returns its length.
int SpyPutDeviceInfo(uint8_t* out, const SpyDevice& d);

// Writes a whole ClientSync for the current IQ and FFT centres; returns its length.
int SpyPutClientSync(uint8_t* out, const SpyDevice& d, uint32_t iqCentre, uint32_t fftCentre,
                     bool canControl);

// Whether ClientSync tells the client (by the name in its HELLO body, n bytes)
// that it may control the device. Only SoapySDR's module is told so: its
// setGain throws without it, and gqrx sets a gain when it opens a device. The
// gain stays fixed either way (MaximumGainIndex 0). Every other client is told
// the truth, a receiver it cannot retune: SDR#'s tuning follows CanControl (a
// client in control expects the device's centre to follow it).
bool SpyHelloGrantsControl(const uint8_t* body, uint32_t n);

uint32_t SpyGetU32(const uint8_t* in);
