#include "iq_streamer.h"

#include <string.h>

static const float kIqScale = 1.0f / 2147483648.0f;

void contextInit(ClientContext& ctx, const sockaddr_in& peer) {
  ctx.destination = peer;
  ctx.bandNumber = 0;
  ChannelInit(ctx.channel);
  ctx.SampleRate = 0;
  ctx.L0 = 0;
  ctx.udp = INVALID_SOCKET;
  ctx.sender = nullptr;
  ctx.blockCounter = 0;
  InitializeCriticalSection(&ctx.lock);
  ctx.attachCount = 0;
  ctx.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ctx.stopSender = false;
  ctx.live = true;
  ctx.reply[0] = '\0';
}

void contextFree(ClientContext& ctx) {
  if (!ctx.live) return;
  iqStop(ctx);
  contextDetach(ctx);
  if (ctx.wake) CloseHandle(ctx.wake);
  ctx.wake = nullptr;
  DeleteCriticalSection(&ctx.lock);
  ctx.live = false;
}

bool contextAttach(ClientContext& ctx, int32_t band) {
  if (ctx.channel.view) return false;
  char name[kBandNameSize];
  BandName(band, name);
  // Opened aside, so the sender waits for no more than a copy.
  BandChannel opened;
  ChannelInit(opened);
  if (!Open(opened, name)) return false;
  EnterCriticalSection(&ctx.lock);
  ctx.channel = opened;
  ctx.attachCount++;
  LeaveCriticalSection(&ctx.lock);
  ctx.SampleRate = Header(ctx.channel)->SampleRate;
  ctx.L0 = Header(ctx.channel)->L0;
  if (ctx.wake) SetEvent(ctx.wake);
  return true;
}

void contextDetach(ClientContext& ctx) {
  EnterCriticalSection(&ctx.lock);
  Close(ctx.channel);
  LeaveCriticalSection(&ctx.lock);
  if (ctx.wake) SetEvent(ctx.wake);
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

// The sender's own handle on the attached band's event: detach closes the
// channel's handle while the sender may be waiting, so it waits on a duplicate.
struct SenderEvent {
  HANDLE handle;         // null while detached
  uint32_t attachCount;  // the attach the duplicate belongs to
};

static void refreshSenderEvent(ClientContext& ctx, SenderEvent& ev) {
  EnterCriticalSection(&ctx.lock);
  bool stale = !ctx.channel.event || ev.attachCount != ctx.attachCount;
  if (stale && ev.handle) {
    CloseHandle(ev.handle);
    ev.handle = nullptr;
  }
  if (!ev.handle && ctx.channel.event) {
    HANDLE self = GetCurrentProcess();
    if (DuplicateHandle(self, ctx.channel.event, self, &ev.handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      ev.attachCount = ctx.attachCount;
    } else {
      ev.handle = nullptr;
    }
  }
  LeaveCriticalSection(&ctx.lock);
}

// Waits for the band's next signal, or only for attach/stop while detached;
// either way at most the responsive time-out.
static void waitForBlock(ClientContext& ctx, const SenderEvent& ev) {
  if (!ev.handle) {
    WaitForSingleObject(ctx.wake, kResponsiveWaitMs);
    return;
  }
  ResetEvent(ev.handle);
  HANDLE both[2] = {ev.handle, ctx.wake};
  WaitForMultipleObjects(2, both, FALSE, kResponsiveWaitMs);
}

static bool takeChunk(ClientContext& ctx, float* iq) {
  EnterCriticalSection(&ctx.lock);
  bool taken = Read(ctx.channel, kIqBlockBytes, iq);
  LeaveCriticalSection(&ctx.lock);
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
  SenderEvent ev = {nullptr, 0};
  while (!ctx.stopSender) {
    refreshSenderEvent(ctx, ev);
    waitForBlock(ctx, ev);
    while (!ctx.stopSender && takeChunk(ctx, iq)) {
      iqConvertBlock(iq, block);
      sendBlock(ctx, reinterpret_cast<const uint8_t*>(block), datagram);
      ctx.blockCounter++;
    }
  }
  if (ev.handle) CloseHandle(ev.handle);
  return 0;
}

bool iqStart(ClientContext& ctx) {
  iqStop(ctx);
  if (!ctx.wake) return false;
  ctx.udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (ctx.udp == INVALID_SOCKET) return false;
  ctx.stopSender = false;
  // The stream starts with what the publisher writes from now on.
  EnterCriticalSection(&ctx.lock);
  SkipToWritePos(ctx.channel);
  LeaveCriticalSection(&ctx.lock);
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
    SetEvent(ctx.wake);
    // The sender ends within one time-out plus one block; the socket and the
    // record must outlive it.
    WaitForSingleObject(ctx.sender, INFINITE);
    CloseHandle(ctx.sender);
    ctx.sender = nullptr;
  }
  if (ctx.udp != INVALID_SOCKET) closesocket(ctx.udp);
  ctx.udp = INVALID_SOCKET;
}
