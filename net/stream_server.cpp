#include "stream_server.h"

#include <stdio.h>

#include <atomic>

#include "rtltcp/rtl_session.h"
#include "slot_wait.h"
#include "spyserver/spy_session.h"
#include "stream_client.h"

struct Listener {
  SOCKET socket;
  StreamProtocol protocol;
  int32_t band;  // SpyServer's band of this port
  int port;
};

static const int kMaxListeners = kSpyPortCount + 1;
static const int kDefaultClients = 8;
static const DWORD kClientEndWaitMs = 5000;
static const long kSlotPollMs = 10;  // how often a waiting connection looks for a slot
static Listener g_listeners[kMaxListeners];
static SlotWaitList g_waiting;
static int g_listenerCount;
static AccessList g_allow;
static HANDLE g_acceptThread;
static std::atomic<bool> g_stopping{false};

bool StreamStopping() {
  return g_stopping;
}

void FormatPeer(const sockaddr_in& peer, char* text) {
  char address[16];
  FormatIpv4(ntohl(peer.sin_addr.s_addr), address);
  snprintf(text, kAddressSize, "%s:%u", address, unsigned(ntohs(peer.sin_port)));
}

bool PeerAllowed(const AccessList& allow, const sockaddr_in& peer, int port) {
  if (AccessAllows(allow, ntohl(peer.sin_addr.s_addr))) return true;
  char text[kAddressSize];
  FormatPeer(peer, text);
  char hint[kAccessHintSize];
  AccessHint(ntohl(peer.sin_addr.s_addr), hint);
  printf("refused connection from %s on port %d: address not in the allow list; %s\n", text, port,
         hint);
  return false;
}

SOCKET ListenOn(uint32_t address, int port, int* error, const char** call) {
  *call = "socket";
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return s;
  }
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(address);
  local.sin_port = htons(u_short(port));
  *call = "bind";
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
    *error = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  *call = "listen";
  if (listen(s, SOMAXCONN) == SOCKET_ERROR) {
    *error = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

static bool startClient(StreamClient& c, const Listener& l, SOCKET s, const sockaddr_in& peer) {
  c.socket = s;
  c.band = l.band;
  FormatPeer(peer, c.peer);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  c.socketEvent = WSACreateEvent();
  if (c.socketEvent == WSA_INVALID_EVENT ||
      WSAEventSelect(s, c.socketEvent, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
    return false;
  }
  if (l.protocol == kSpyServer) {
    printf("%s new client from %s (SpyServer, band %d, port %d)\n", c.tag, c.peer, l.band, l.port);
  } else {
    printf("%s new client from %s (rtl_tcp, port %d)\n", c.tag, c.peer, l.port);
  }
  LPTHREAD_START_ROUTINE run = l.protocol == kSpyServer ? SpyClientThread : RtlClientThread;
  HANDLE thread = CreateThread(nullptr, 0, run, &c, 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);
  return true;
}

static void refuseFull(const Listener& l, SOCKET s, const sockaddr_in& peer) {
  char text[kAddressSize];
  FormatPeer(peer, text);
  printf("refused connection from %s on port %d: all %d %s client slots are taken\n", text, l.port,
         StreamPoolSize(l.protocol), l.protocol == kSpyServer ? "SpyServer" : "rtl_tcp");
  closesocket(s);
}

static bool placeWaiter(const SlotWaiter& w, bool timeUp) {
  const Listener& l = g_listeners[w.listener];
  StreamClient* c = StreamPoolTake(l.protocol);
  if (!c) {
    if (timeUp) refuseFull(l, w.socket, w.peer);
    return timeUp;
  }
  if (!startClient(*c, l, w.socket, w.peer)) StreamEnd(*c, "no thread or event for the client");
  return true;
}

static void acceptOn(int listener) {
  const Listener& l = g_listeners[listener];
  sockaddr_in peer;
  int size = sizeof peer;
  SOCKET s = accept(l.socket, reinterpret_cast<sockaddr*>(&peer), &size);
  if (s == INVALID_SOCKET) return;
  if (!PeerAllowed(g_allow, peer, l.port)) {
    closesocket(s);
    return;
  }
  // In line behind those already waiting, so that a freed slot goes to the oldest.
  if (!SlotWaitAdd(g_waiting, SlotWaiter{s, peer, listener, GetTickCount64()})) {
    refuseFull(l, s, peer);
    return;
  }
  SlotWaitRun(g_waiting, GetTickCount64(), placeWaiter);
}

static DWORD WINAPI acceptThread(LPVOID) {
  while (!g_stopping) {
    fd_set readable;
    FD_ZERO(&readable);
    for (int i = 0; i < g_listenerCount; i++) FD_SET(g_listeners[i].socket, &readable);
    long waitMs = g_waiting.count > 0 ? kSlotPollMs : long(kResponsiveWaitMs);
    timeval timeout = {0, waitMs * 1000};
    if (select(0, &readable, nullptr, nullptr, &timeout) > 0) {
      for (int i = 0; i < g_listenerCount; i++) {
        if (FD_ISSET(g_listeners[i].socket, &readable)) acceptOn(i);
      }
    }
    SlotWaitRun(g_waiting, GetTickCount64(), placeWaiter);
  }
  SlotWaitClear(g_waiting);
  return 0;
}

static bool addListener(const NetOptions& o, StreamProtocol protocol, int32_t band, int port) {
  int error = 0;
  const char* call = "";
  SOCKET s = ListenOn(o.bind, port, &error, &call);
  if (s == INVALID_SOCKET) {
    printf("%s() failed: %d (port %d)\n", call, error, port);
    return false;
  }
  g_listeners[g_listenerCount++] = Listener{s, protocol, band, port};
  return true;
}

static bool openPorts(const NetOptions& o) {
  int clients = o.maxClients > 0 ? o.maxClients : kDefaultClients;
  if (o.spyBasePort > 0) {
    if (!StreamPoolInit(kSpyServer, clients)) return false;
    for (int band = 0; band < kSpyPortCount; band++) {
      if (!addListener(o, kSpyServer, band, o.spyBasePort + band)) return false;
    }
    printf("SpyServer: band n on port %d+n\n", o.spyBasePort);
  }
  if (o.rtlPort > 0) {
    if (!StreamPoolInit(kRtlTcp, clients) || !addListener(o, kRtlTcp, -1, o.rtlPort)) return false;
    printf("rtl_tcp: port %d\n", o.rtlPort);
  }
  return true;
}

bool StreamServerStart(const NetOptions& options) {
  g_allow = options.allow;
  g_stopping = false;
  if (!openPorts(options)) {
    StreamServerStop();
    return false;
  }
  if (g_listenerCount == 0) return true;
  g_acceptThread = CreateThread(nullptr, 0, acceptThread, nullptr, 0, nullptr);
  if (!g_acceptThread) {
    printf("CreateThread() failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    StreamServerStop();
    return false;
  }
  return true;
}

void StreamServerStop() {
  g_stopping = true;
  if (g_acceptThread) {
    WaitForSingleObject(g_acceptThread, INFINITE);
    CloseHandle(g_acceptThread);
    g_acceptThread = nullptr;
  }
  for (int i = 0; i < g_listenerCount; i++) closesocket(g_listeners[i].socket);
  g_listenerCount = 0;
  ULONGLONG deadline = GetTickCount64() + kClientEndWaitMs;
  while (StreamPoolBusy() > 0 && GetTickCount64() < deadline) Sleep(10);
  // A client thread that did not end in time still uses its record: the process
  // exit takes the pools then.
  if (StreamPoolBusy() == 0) StreamPoolFree();
}
