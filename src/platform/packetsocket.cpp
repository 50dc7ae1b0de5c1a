#include "platform/packetsocket.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/helperclient.h"
#include "platform/threadmsg.h"

namespace {

// Without a ring: large enough for a few thousand queued datagrams, so a burst
// arriving while the capture thread hands over the previous ones is not dropped.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// How long to pause after a failure that would repeat at once (no time-out is
// known when the socket itself is unusable).
constexpr int kErrorPauseMs = 1000;

// The IPv4 header's smallest length; a total length below it is malformed.
constexpr int kMinIPv4HeaderBytes = 20;

// Bytes a filter lets through of each datagram: more than any receive asks for.
constexpr unsigned kFilterSnapBytes = 0x40000;

// Classic BPF programs run by the kernel before a frame is queued. The
// ancillary loads read the frame's ethertype and packet type, which a
// SOCK_DGRAM socket cannot see in the data.
constexpr sock_filter kIPv4Only[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, kFilterSnapBytes),
    BPF_STMT(BPF_RET | BPF_K, 0),
};
// Loopback passes every datagram twice, out and in: keep the incoming copy.
constexpr sock_filter kIPv4OnlyIncoming[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, kFilterSnapBytes),
    BPF_STMT(BPF_RET | BPF_K, 0),
};

template <std::size_t N>
bool AttachFilter(SOCKET hSocket, const sock_filter (&code)[N]) {
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(N);
  prog.filter = const_cast<sock_filter*>(code);
  return setsockopt(hSocket, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}

// The same test as the kernel filters, for the frames that reach us anyway
// (a filter that could not be attached).
bool IsWanted(const sockaddr_ll& from) {
  if (from.sll_family != AF_PACKET) return false;
  if (from.sll_protocol != htons(ETH_P_IP)) return false;
  if (from.sll_hatype == ARPHRD_LOOPBACK && from.sll_pkttype == PACKET_OUTGOING) return false;
  return true;
}

// The received length without link-layer padding: a frame shorter than the
// link's minimum is padded behind the datagram (Ethernet pads to 46 bytes), and
// a packet socket sees the frame before IP trims it to the total length. A
// total length below the header's minimum is malformed and left to the decoder.
int DatagramLength(const BYTE* pBuf, int nReceived) {
  if (nReceived < 4) return nReceived;
  const int nTotalLength = (pBuf[2] << 8) | pBuf[3];
  return nTotalLength >= kMinIPv4HeaderBytes && nTotalLength < nReceived ? nTotalLength : nReceived;
}

// Waits up to nWaitMs for a message in the calling thread's queue.
void PauseOnQueue(int nWaitMs) {
  const int fdWake = GetThreadQueueWakeFd();
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWaitMs);
  for (;;) {
    const auto nLeftMs =
        std::chrono::ceil<std::chrono::milliseconds>(tDeadline - std::chrono::steady_clock::now()).count();
    if (nLeftMs <= 0) return;
    pollfd pfd{fdWake, POLLIN, 0};
    const int nReady = poll(&pfd, 1, static_cast<int>(nLeftMs));
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady > 0) ConsumeThreadQueueWake();
    return;
  }
}

// What a packet socket of ours has besides its descriptor.
struct SocketState {
  std::unique_ptr<PacketRing> pRing;  // null: datagrams queue in the socket buffer
  std::atomic<std::uint64_t> nDrops{0};
};

// Open packet sockets by descriptor. Immortal, so that a socket closed during
// static destruction still finds it.
struct SocketTable {
  std::mutex mtx;
  std::unordered_map<SOCKET, std::shared_ptr<SocketState>> states;  // guarded by mtx
  std::atomic<std::uint64_t> nAllDrops{0};
};

SocketTable& TheSocketTable() {
  static SocketTable* pTable = new SocketTable;
  return *pTable;
}

// Shared, so that a receive in progress keeps the ring mapped even if another
// thread closes the socket under it.
std::shared_ptr<SocketState> FindState(SOCKET hSocket) {
  SocketTable& table = TheSocketTable();
  std::lock_guard lock(table.mtx);
  auto it = table.states.find(hSocket);
  return it == table.states.end() ? nullptr : it->second;
}

// Adds up the kernel's drop counter, which PACKET_STATISTICS resets on each
// read. The V3 statistics begin with the older layout's two counters, and the
// kernel copies only as much as the socket's version has.
void CollectDrops(SOCKET hSocket, SocketState& state) {
  tpacket_stats_v3 stats{};
  socklen_t nLen = sizeof stats;
  if (getsockopt(hSocket, SOL_PACKET, PACKET_STATISTICS, &stats, &nLen) != 0 || stats.tp_drops == 0) return;
  state.nDrops.fetch_add(stats.tp_drops);
  TheSocketTable().nAllDrops.fetch_add(stats.tp_drops);
}

}  // namespace

StepError OpenCaptureSocket(LPCSTR pszAddr, SOCKET* phSocket, const PacketRingGeometry* pRing) {
  StepError pszError = RequestCaptureSocket(pszAddr, phSocket);
  if (pszError == nullptr) pszError = AdoptCaptureSocket(*phSocket, pRing);
  if (pszError != nullptr) {
    CloseSocket(*phSocket);
    *phSocket = INVALID_SOCKET;
  }
  return pszError;
}

StepError AdoptCaptureSocket(SOCKET hSocket, const PacketRingGeometry* pRing) {
  // What the helper hands over: a packet socket of ours, bound to an
  // interface; anything else is a socket refused.
  int nType = 0;
  socklen_t nTypeLen = sizeof nType;
  sockaddr_ll sll{};
  socklen_t nLen = sizeof sll;
  if (getsockopt(hSocket, SOL_SOCKET, SO_TYPE, &nType, &nTypeLen) != 0 || nType != SOCK_DGRAM ||
      getsockname(hSocket, reinterpret_cast<sockaddr*>(&sll), &nLen) != 0 || sll.sll_family != AF_PACKET ||
      sll.sll_ifindex == 0)
    return kCreateSocketFailed;
  if (FindState(hSocket)) return kCreateSocketFailed;  // adopted already

  // Ring and filter before the bind below starts the flow, so that no frame
  // is queued outside the ring or unfiltered.
  auto pState = std::make_shared<SocketState>();
  if (pRing != nullptr) pState->pRing = PacketRing::Map(hSocket, *pRing);
  if (!pState->pRing) {
    // SO_RCVBUFFORCE (needs CAP_NET_ADMIN, which the program never holds;
    // root has it) passes net.core.rmem_max; the plain option is capped by
    // it. Either way capture works, only bursts differ.
    if (setsockopt(hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
      setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  }
  // Best effort: ReceiveDatagram repeats the test for whatever a missing filter lets in.
  if (sll.sll_hatype == ARPHRD_LOOPBACK)
    AttachFilter(hSocket, kIPv4OnlyIncoming);
  else
    AttachFilter(hSocket, kIPv4Only);

  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);  // all protocols: outgoing datagrams too
  all.sll_ifindex = sll.sll_ifindex;
  if (bind(hSocket, reinterpret_cast<const sockaddr*>(&all), sizeof all) != 0) return kBindIpFailed;
  {
    SocketTable& table = TheSocketTable();
    std::lock_guard lock(table.mtx);
    table.states[hSocket] = std::move(pState);
  }
  return nullptr;
}

BOOL IsRingSocket(SOCKET hSocket) {
  const std::shared_ptr<SocketState> pState = FindState(hSocket);
  return pState && pState->pRing ? TRUE : FALSE;
}

StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs) {
  timeval tv{};
  tv.tv_sec = nTimeoutMs / 1000;
  tv.tv_usec = (nTimeoutMs % 1000) * 1000;
  if (setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return kSetSocketOptionFailed;
  return nullptr;
}

StepError CreateDatagramSocket(SOCKET* phSocket) {
  *phSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return *phSocket < 0 ? (*phSocket = INVALID_SOCKET, kCreateSocketFailed) : nullptr;
}

StepError BindAnyAddress(SOCKET hSocket, int nPort) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(nPort));
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(hSocket, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) return kBindIpFailed;
  return nullptr;
}

namespace {

// Takes one wanted datagram that is already queued, without waiting: its
// length, or -1 when none is queued (*pbFailed false) or on an error (true).
int TryReceive(SOCKET hSocket, SocketState* pState, BYTE* pBuf, int nBufLen, bool* pbFailed) {
  *pbFailed = false;
  if (pState != nullptr && pState->pRing) {
    RingFrame frame;
    while (pState->pRing->Next(&frame)) {
      if (!IsWanted(*frame.pFrom)) continue;
      const int nCopied = std::min(frame.nLen, nBufLen);
      std::memcpy(pBuf, frame.pData, static_cast<std::size_t>(nCopied));
      return DatagramLength(pBuf, nCopied);
    }
    return -1;
  }
  for (;;) {
    sockaddr_ll from{};
    socklen_t nFromLen = sizeof from;
    const ssize_t nGot = recvfrom(hSocket, pBuf, static_cast<size_t>(nBufLen), MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &nFromLen);
    if (nGot < 0) {
      if (errno == EINTR) continue;
      *pbFailed = errno != EAGAIN && errno != EWOULDBLOCK;  // e.g. ENETDOWN: the interface went away
      return -1;
    }
    if (IsWanted(from)) return DatagramLength(pBuf, static_cast<int>(nGot));
  }
}

}  // namespace

int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen) {
  if (pBuf == nullptr || nBufLen <= 0) return SOCKET_ERROR;
  const std::shared_ptr<SocketState> pState = FindState(hSocket);
  // Under load a datagram is nearly always waiting: taken from the ring, or
  // with one system call from the socket buffer.
  bool bFailed = false;
  if (const int nLen = TryReceive(hSocket, pState.get(), pBuf, nBufLen, &bFailed); nLen >= 0) return nLen;
  // About to wait: a good moment to add up the drops before the kernel's
  // 32-bit counter could wrap.
  if (pState) CollectDrops(hSocket, *pState);

  timeval tv{};
  socklen_t nTvLen = sizeof tv;
  if (getsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, &nTvLen) != 0) {
    PauseOnQueue(kErrorPauseMs);  // no usable socket: every retry would fail at once
    return SOCKET_ERROR;
  }
  // No time-out set (0) means wait without end, as SO_RCVTIMEO does.
  const bool bHasTimeout = tv.tv_sec != 0 || tv.tv_usec != 0;
  const int nTimeoutMs = bHasTimeout ? static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000) : -1;
  const int nPauseMs = bHasTimeout ? nTimeoutMs : kErrorPauseMs;
  if (bFailed) {
    PauseOnQueue(nPauseMs);
    return SOCKET_ERROR;
  }
  const int fdWake = GetThreadQueueWakeFd();
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bHasTimeout ? nTimeoutMs : 0);
  for (;;) {
    int nWaitMs = -1;
    if (bHasTimeout) {
      const auto nLeftMs =
          std::chrono::ceil<std::chrono::milliseconds>(tDeadline - std::chrono::steady_clock::now()).count();
      if (nLeftMs <= 0) return SOCKET_ERROR;  // time-out
      nWaitMs = static_cast<int>(nLeftMs);
    }
    // The socket and the queue's wake-up together, so a stop request never
    // waits for the time-out.
    pollfd fds[2] = {{hSocket, POLLIN, 0}, {fdWake, POLLIN, 0}};
    const int nReady = poll(fds, 2, nWaitMs);
    if (nReady < 0) {
      if (errno == EINTR) continue;
      PauseOnQueue(nPauseMs);
      return SOCKET_ERROR;
    }
    if (nReady == 0) return SOCKET_ERROR;  // time-out
    if (fds[1].revents & POLLIN) {
      ConsumeThreadQueueWake();
      return SOCKET_ERROR;
    }
    if (fds[0].revents & POLLNVAL) {
      PauseOnQueue(nPauseMs);
      return SOCKET_ERROR;
    }
    if (fds[0].revents & POLLERR) {
      // A pending socket error (ENETDOWN: the interface went away); reading it clears it.
      int nError = 0;
      socklen_t nErrLen = sizeof nError;
      if (getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nErrLen) != 0 || nError != 0) {
        PauseOnQueue(nPauseMs);
        return SOCKET_ERROR;
      }
    }
    const int nLen = TryReceive(hSocket, pState.get(), pBuf, nBufLen, &bFailed);
    if (nLen >= 0) return nLen;
    if (bFailed) {
      PauseOnQueue(nPauseMs);
      return SOCKET_ERROR;
    }
  }
}

std::uint64_t GetKernelDrops(SOCKET hSocket) {
  const std::shared_ptr<SocketState> pState = FindState(hSocket);
  if (!pState) return 0;
  CollectDrops(hSocket, *pState);
  return pState->nDrops.load();
}

std::uint64_t GetKernelDropsOfAllSockets() {
  SocketTable& table = TheSocketTable();
  std::lock_guard lock(table.mtx);
  for (const auto& [hSocket, pState] : table.states) CollectDrops(hSocket, *pState);
  return table.nAllDrops.load();
}

void CloseSocket(SOCKET hSocket) {
  if (hSocket == INVALID_SOCKET) return;
  std::shared_ptr<SocketState> pState;
  {
    SocketTable& table = TheSocketTable();
    std::lock_guard lock(table.mtx);
    if (auto it = table.states.find(hSocket); it != table.states.end()) {
      pState = std::move(it->second);
      table.states.erase(it);
    }
  }
  if (pState) CollectDrops(hSocket, *pState);  // the last count, before the socket takes it along
  close(hSocket);
  // The ring is unmapped here, or when a receive still using it returns.
}
