#include "iq_streamer.h"

#include <string.h>

static const float kIqScale = 1.0f / 2147483648.0f;

void contextInit(ClientContext& ctx, const sockaddr_in& peer) {
  ctx.destination = peer;
  ctx.bandNumber = 0;
  ctx.SampleRate = 0;
  ctx.L0 = 0;
  ctx.udp = INVALID_SOCKET;
  ctx.sender = nullptr;
  ctx.blockCounter = 0;
  WaiterInit(ctx.band);
  ctx.stopSender = false;
  ctx.live = true;
  ctx.reply[0] = '\0';
}

void contextFree(ClientContext& ctx) {
  if (!ctx.live) return;
  iqStop(ctx);
  WaiterFree(ctx.band);
  ctx.live = false;
}

bool contextAttach(ClientContext& ctx, int32_t band) {
  if (!ctx.band.live || IsOpen(ctx.band.channel)) return false;
  if (!WaiterOpen(ctx.band, band)) return false;
  // Only this connection's thread installs or closes the band: no lock to read it.
  ctx.SampleRate = Header(ctx.band.channel)->SampleRate;
  ctx.L0 = Header(ctx.band.channel)->L0;
  return true;
}

void contextDetach(ClientContext& ctx) {
  if (ctx.band.live) WaiterClose(ctx.band);
}

void iqConvertBlock(const float* iq, float* block) {
  for (int k = 0; k < kIqBlockSamples; k++) {
    block[k] = iq[2 * k + 1] * kIqScale;
    block[kIqBlockSamples + k] = iq[2 * k] * kIqScale;
  }
}

static void putLittleEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = uint8_t(value >> (8 * i));
}

int iqPackPiece(uint64_t blockNumber, const uint8_t* block, int offset, uint8_t* datagram) {
  int length = kIqBlockBytes - offset < kIqPieceBytes ? kIqBlockBytes - offset : kIqPieceBytes;
  putLittleEndian(datagram, blockNumber, 8);
  putLittleEndian(datagram + 8, uint64_t(offset), 2);
  putLittleEndian(datagram + 10, uint64_t(length), 2);
  memcpy(datagram + kIqHeaderBytes, block + offset, length);
  return length;
}

static bool takeChunk(ClientContext& ctx, float* iq) {
  EnterCriticalSection(&ctx.band.lock);
  bool taken = Read(ctx.band.channel, kIqBlockBytes, iq);
  LeaveCriticalSection(&ctx.band.lock);
  return taken;
}

// Sends the block's 17 pieces; a stop request drops the pieces not yet sent.
static void sendBlock(ClientContext& ctx, const uint8_t* block, uint8_t* datagram) {
  for (int offset = 0; offset < kIqBlockBytes && !ctx.stopSender;) {
    offset += iqPackPiece(ctx.blockCounter, block, offset, datagram);
    sendto(ctx.udp, reinterpret_cast<const char*>(datagram), kIqDatagramBytes, 0,
           reinterpret_cast<const sockaddr*>(&ctx.destination), sizeof ctx.destination);
  }
}

static DWORD WINAPI iqThread(LPVOID param) {
  ClientContext& ctx = *static_cast<ClientContext*>(param);
  float iq[2 * kIqBlockSamples];
  float block[2 * kIqBlockSamples];
  uint8_t datagram[kIqDatagramBytes];
  memset(datagram, 0, sizeof datagram);
  WaiterEvent ev;
  WaiterEventInit(ev);
  while (!ctx.stopSender) {
    WaitForBand(ctx.band, ev, nullptr);
    while (!ctx.stopSender && takeChunk(ctx, iq)) {
      iqConvertBlock(iq, block);
      sendBlock(ctx, reinterpret_cast<const uint8_t*>(block), datagram);
      ctx.blockCounter++;
    }
  }
  WaiterEventClose(ev);
  return 0;
}

bool iqStart(ClientContext& ctx) {
  iqStop(ctx);
  if (!ctx.band.live) return false;
  ctx.udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (ctx.udp == INVALID_SOCKET) return false;
  ctx.stopSender = false;
  // The stream starts with what the publisher writes from now on.
  EnterCriticalSection(&ctx.band.lock);
  SkipToWritePos(ctx.band.channel);
  LeaveCriticalSection(&ctx.band.lock);
  ctx.sender = CreateThread(nullptr, 0, iqThread, &ctx, 0, nullptr);
  if (!ctx.sender) {
    closesocket(ctx.udp);
    ctx.udp = INVALID_SOCKET;
    return false;
  }
  return true;
}

void iqStop(ClientContext& ctx) {
  if (ctx.sender) {
    ctx.stopSender = true;
    WakeWaiter(ctx.band);
    // The sender ends within one time-out plus one block; the socket and the
    // record must outlive it.
    WaitForSingleObject(ctx.sender, INFINITE);
    CloseHandle(ctx.sender);
    ctx.sender = nullptr;
  }
  if (ctx.udp != INVALID_SOCKET) closesocket(ctx.udp);
  ctx.udp = INVALID_SOCKET;
}
