// VEXA_Net: serves the publisher's bands to up to 32 TCP connections on port
// 11000 (or the one --port names); each may have its band streamed to it as UDP
// I/Q datagrams.
#include <winsock2.h>

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "commands.h"
#include "console_events.h"
#include "console_mode.h"
#include "iq_streamer.h"
#include "numbers.h"
#include "options.h"
#include "stream_server.h"

static const int kSlotCount = 32;
static const int kRecvSize = 4096;
// A logged request shows each byte as itself or as four characters, \xNN.
static const int kLoggedSize = kRecvSize * 4 + 1;
static const int kAddressTextSize = 16;  // "255.255.255.255"
static const int kReasonSize = 64;       // why a connection got no slot
// A connection without a stream that sends no request for this long is closed,
// so silent peers cannot hold every slot. VEXA_NET_IDLE_SECONDS shortens it for
// the tests.
static const DWORD kIdleSeconds = 300;
static DWORD g_idleSeconds = kIdleSeconds;
// How long the stop waits for the connection threads to wind up before it gives up.
static const DWORD kClientEndWaitMs = 5000;

struct ClientSlot {
  int32_t number;    // the slot's index; begins every log line of the connection
  sockaddr_in peer;  // as accept returned it
  SOCKET socket;     // INVALID_SOCKET: the slot is free
};

static ClientSlot g_slots[kSlotCount];
static NetOptions g_options;
static int g_slotLimit = kSlotCount;  // --max-clients, at most kSlotCount
// Serialises a connection thread's close of its socket with the stop's shutdown
// of it, so the stop never touches a socket value that has been reused.
static CRITICAL_SECTION g_slotLock;
static std::atomic<SOCKET> g_listener{INVALID_SOCKET};
// Set by the console handler: the stop of a server whose port 11000 is off, which
// has no accept for the closed listening socket to end.
static HANDLE g_stopRequested;
// Connection threads alive, plus one that the main thread holds until the stop:
// only the decrement that reaches 0 sets g_clientEnded, so no thread touches the
// event after the main thread has seen the count at 0 and closed it.
static std::atomic<int> g_liveClients{1};
static HANDLE g_clientEnded;        // manual-reset, set once when the count reaches 0
static bool g_clientsEnded = true;  // false when the stop gave up waiting for them
static std::atomic<bool> g_stopping{false};

static void closeListener() {
  SOCKET s = g_listener.exchange(INVALID_SOCKET);
  if (s != INVALID_SOCKET) closesocket(s);
}

static BOOL WINAPI consoleHandler(DWORD controlType) {
  const char* text = ConsoleEventText(controlType);
  if (!text) return FALSE;
  fprintf(stdout, "%s", text);
  closeListener();
  SetEvent(g_stopRequested);
  return TRUE;
}

// Waits up to the responsive time-out for a request, a close or an error.
// Shutting a socket down does not always wake a blocked recv, so the stop is
// also seen here.
static bool waitForRequest(SOCKET s) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout = {0, long(kResponsiveWaitMs) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) != 0;
}

// Takes a shorter idle time-out (1 s up to the default) from the environment.
static void readIdleTimeout() {
  int32_t seconds = 0;
  if (EnvironmentInt32("VEXA_NET_IDLE_SECONDS", &seconds) && seconds > 0 &&
      DWORD(seconds) < kIdleSeconds) {
    g_idleSeconds = DWORD(seconds);
  }
}

// The peer's IPv4 address in dotted form, from its bytes in network order.
static void formatAddress(const in_addr& address, char* text) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  snprintf(text, kAddressTextSize, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// Printable ASCII stays as it is; control characters, bytes from 0x7F on and the
// backslash become \xNN, so a peer can neither forge log lines nor send escape
// sequences to the operator's console. out holds kLoggedSize bytes.
static void escapeForLog(const char* in, int length, char* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < length; i++) {
    uint8_t c = uint8_t(in[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      *out++ = char(c);
      continue;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = kHex[c >> 4];
    *out++ = kHex[c & 0xF];
  }
  *out = '\0';
}

// True when the connection has no stream and its last request is older than the
// idle time-out.
static bool idleTooLong(const ClientSlot& slot, const ClientContext& ctx, ULONGLONG lastRequest) {
  if (iqSending(ctx) || GetTickCount64() - lastRequest < g_idleSeconds * 1000ULL) return false;
  printf("%02d no request for %lu s: closing the idle connection\n", slot.number,
         static_cast<unsigned long>(g_idleSeconds));
  return true;
}

// Serves requests until the peer closes, a receive fails, the client quits, the
// connection idles too long or the server stops.
static void serveRequests(ClientSlot& slot, ClientContext& ctx) {
  char request[kRecvSize + 1];
  char logged[kLoggedSize];
  ULONGLONG lastRequest = GetTickCount64();
  while (!g_stopping) {
    if (!waitForRequest(slot.socket)) {
      if (idleTooLong(slot, ctx, lastRequest)) return;
      continue;
    }
    int got = recv(slot.socket, request, kRecvSize, 0);
    if (got == 0) return;
    if (got < 0) {
      printf("%02d recv() failed: %d\n", slot.number, WSAGetLastError());
      return;
    }
    lastRequest = GetTickCount64();
    request[got] = '\0';
    escapeForLog(request, got, logged);
    printf("%02d RECV: '%s'\n", slot.number, logged);
    const char* reply = processCommand(request, ctx);
    send(slot.socket, reply, int(strlen(reply)), 0);
    printf("%02d SEND: '%s'\n", slot.number, reply);
    if (strcmp(reply, kReplyQuit) == 0) return;
  }
}

static DWORD WINAPI clientThread(LPVOID param) {
  ClientSlot& slot = g_slots[reinterpret_cast<INT_PTR>(param)];
  ClientContext ctx;
  contextInit(ctx, slot.peer);
  char peerText[kAddressTextSize];
  formatAddress(slot.peer.sin_addr, peerText);
  int port = ntohs(slot.peer.sin_port);
  printf("%02d new client from %s:%d\n", slot.number, peerText, port);

  serveRequests(slot, ctx);

  printf("%02d connection with client %s:%d closed\n", slot.number, peerText, port);
  EnterCriticalSection(&g_slotLock);
  closesocket(slot.socket);
  slot.socket = INVALID_SOCKET;
  LeaveCriticalSection(&g_slotLock);
  contextFree(ctx);
  if (--g_liveClients == 0) SetEvent(g_clientEnded);
  return 0;
}

// Puts an accepted connection into the first free slot and starts its thread.
// On failure the connection is closed and why (kReasonSize bytes) says what
// stood in the way.
static bool clientNew(const sockaddr_in& peer, SOCKET s, char* why) {
  int index = 0;
  while (index < g_slotLimit && g_slots[index].socket != INVALID_SOCKET) index++;
  if (index == g_slotLimit) {
    closesocket(s);
    snprintf(why, kReasonSize, "all %d client slots are taken", g_slotLimit);
    return false;
  }
  ClientSlot& slot = g_slots[index];
  slot.peer = peer;
  EnterCriticalSection(&g_slotLock);
  slot.socket = s;
  LeaveCriticalSection(&g_slotLock);
  g_liveClients++;
  HANDLE thread =
      CreateThread(nullptr, 0, clientThread, reinterpret_cast<LPVOID>(INT_PTR(index)), 0, nullptr);
  if (!thread) {
    DWORD error = GetLastError();
    g_liveClients--;
    EnterCriticalSection(&g_slotLock);
    closesocket(s);
    slot.socket = INVALID_SOCKET;
    LeaveCriticalSection(&g_slotLock);
    snprintf(why, kReasonSize, "no thread for slot %02d, error %lu", index,
             static_cast<unsigned long>(error));
    return false;
  }
  CloseHandle(thread);
  return true;
}

// A connection that its peer reset while it waited to be accepted fails only
// itself; the server goes on accepting.
static bool lostBeforeAccept(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN;
}

// Returns when accept fails for another reason, normally the stop closing the
// listening socket.
static void acceptLoop(SOCKET listener) {
  for (;;) {
    sockaddr_in peer;
    int peerSize = sizeof peer;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerSize);
    if (s == INVALID_SOCKET) {
      if (g_listener != INVALID_SOCKET && lostBeforeAccept(WSAGetLastError())) continue;
      return;
    }
    if (!PeerAllowed(g_options.allow, peer, g_options.vexaPort)) {
      closesocket(s);
      continue;
    }
    char why[kReasonSize];
    if (!clientNew(peer, s, why)) {
      char peerText[kAddressTextSize];
      formatAddress(peer.sin_addr, peerText);
      printf("clientNew() failed: %s; connection from %s:%d closed\n", why, peerText,
             ntohs(peer.sin_port));
    }
  }
}

// Ends every connection and waits for their threads; each closes its own socket.
static void endConnections() {
  g_stopping = true;
  EnterCriticalSection(&g_slotLock);
  for (ClientSlot& slot : g_slots) {
    if (slot.socket != INVALID_SOCKET) shutdown(slot.socket, SD_BOTH);
  }
  LeaveCriticalSection(&g_slotLock);
  g_clientsEnded =
      --g_liveClients == 0 || WaitForSingleObject(g_clientEnded, kClientEndWaitMs) == WAIT_OBJECT_0;
}

// Creates the listening socket of the VEXA protocol, unless --port 0 turned it
// off; exit code 1 on failure. A moved port is named, on its line and in a
// failure's.
static int startListening() {
  int port = g_options.vexaPort;
  if (port == 0) {
    printf("VEXA protocol: off (--port 0)\n");
    return 0;
  }
  int error = 0;
  const char* call = "";
  SOCKET s = ListenOn(g_options.bind, port, &error, &call);
  if (s == INVALID_SOCKET) {
    if (port == kVexaPort) {
      printf("%s() failed: %d\n", call, error);
    } else {
      printf("%s() failed: %d (port %d)\n", call, error, port);
    }
    return 1;
  }
  if (port != kVexaPort) printf("VEXA protocol: port %d\n", port);
  g_listener = s;
  return 0;
}

// Serves port 11000's connections, or with that port off waits for the stop.
static void runUntilStopped() {
  SOCKET listener = g_listener;
  if (g_options.vexaPort == 0) {
    WaitForSingleObject(g_stopRequested, INFINITE);
    return;
  }
  if (listener != INVALID_SOCKET) acceptLoop(listener);
  printf("accept() failed: %d\n", WSAGetLastError());
}

static int serve() {
  if (startListening() != 0) return 1;
  if (!StreamServerStart(g_options)) {
    closeListener();
    return 1;
  }
  if (!SetConsoleCtrlHandler(consoleHandler, TRUE)) {
    printf("Can't register console control handler!\n");
  }
  printf("Started\n");
  runUntilStopped();
  printf("Stopping ...\n");
  closeListener();
  StreamServerStop();
  endConnections();
  SetConsoleCtrlHandler(consoleHandler, FALSE);
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char error[kOptionsErrorSize];
  OptionsResult parsed = ParseNetOptions(argc, argv, g_options, error);
  if (parsed != kOptionsRun) {
    if (parsed == kOptionsBad) printf("VEXA_Net: %s\n\n", error);
    printf("%s", kNetUsage);
    return parsed == kOptionsBad ? 2 : 0;
  }
  if (g_options.maxClients > 0) g_slotLimit = g_options.maxClients;
  QuickEditOff();
  printf("Starting ...\n");
  for (int i = 0; i < kSlotCount; i++) {
    g_slots[i].number = i;
    g_slots[i].peer = sockaddr_in{};
    g_slots[i].socket = INVALID_SOCKET;
  }
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    printf("Failed to load Winsock!\n");
    QuickEditRestore();
    return 1;
  }
  readIdleTimeout();
  InitializeCriticalSection(&g_slotLock);
  g_clientEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int code = serve();
  CloseHandle(g_stopRequested);
  // A connection thread that did not end in time still uses these; the
  // process exit takes them then.
  if (g_clientsEnded) {
    CloseHandle(g_clientEnded);
    DeleteCriticalSection(&g_slotLock);
  }
  WSACleanup();
  if (code == 0) printf("Stopped\n");
  QuickEditRestore();
  return code;
}
