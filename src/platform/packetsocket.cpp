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

enum class Take { kFrame, kNone, kFailed };

// Takes one wanted frame that is already queued, without waiting: kFrame with
// the bytes copied to pBuf (*pnCaptured) and the frame's length (*pnFrameLen),
// kNone when none is queued, kFailed on an error. ENETDOWN is no failure: the
// interface went down (or away); the kernel hooks the socket in again when it
// comes up, so there is simply nothing to take now.
Take TryReceive(SOCKET hSocket, SocketState* pState, BYTE* pBuf, int nBufLen, int* pnCaptured, int* pnFrameLen) {
  if (pState != nullptr && pState->pRing) {
    RingFrame frame;
    while (pState->pRing->Next(&frame)) {
      if (!IsWanted(*frame.pFrom)) continue;
      *pnCaptured = std::min(frame.nLen, nBufLen);
      *pnFrameLen = frame.nFrameLen;
      std::memcpy(pBuf, frame.pData, static_cast<std::size_t>(*pnCaptured));
      return Take::kFrame;
    }
    return Take::kNone;
  }
  for (;;) {
    sockaddr_ll from{};
    socklen_t nFromLen = sizeof from;
    // MSG_TRUNC: the frame's real length, also when it is longer than pBuf.
    const ssize_t nGot = recvfrom(hSocket, pBuf, static_cast<size_t>(nBufLen), MSG_DONTWAIT | MSG_TRUNC,
                                  reinterpret_cast<sockaddr*>(&from), &nFromLen);
    if (nGot < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENETDOWN) return Take::kNone;
      return Take::kFailed;
    }
    if (!IsWanted(from)) continue;
    *pnFrameLen = static_cast<int>(nGot);
    *pnCaptured = std::min(*pnFrameLen, nBufLen);
    return Take::kFrame;
  }
}

// The error a socket reports, which reading takes (0 for none); -1 when it
// cannot be read.
int TakeSocketError(SOCKET hSocket) {
  int nError = 0;
  socklen_t nErrLen = sizeof nError;
  return getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nErrLen) == 0 ? nError : -1;
}

}  // namespace

int ReceiveWaitingDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen) {
  if (pBuf == nullptr || nBufLen <= 0) return SOCKET_ERROR;
  int nFrameLenUnused = 0;
  if (pnFrameLen == nullptr) pnFrameLen = &nFrameLenUnused;
  const std::shared_ptr<SocketState> pState = FindState(hSocket);
  int nCaptured = 0;
  return TryReceive(hSocket, pState.get(), pBuf, nBufLen, &nCaptured, pnFrameLen) == Take::kFrame ? nCaptured
                                                                                                  : SOCKET_ERROR;
}

int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen) {
  if (pBuf == nullptr || nBufLen <= 0) return SOCKET_ERROR;
  int nFrameLenUnused = 0;
  if (pnFrameLen == nullptr) pnFrameLen = &nFrameLenUnused;
  const std::shared_ptr<SocketState> pState = FindState(hSocket);
  // Under load a frame is nearly always waiting: taken from the ring, or with
  // one system call from the socket buffer.
  int nCaptured = 0;
  Take take = TryReceive(hSocket, pState.get(), pBuf, nBufLen, &nCaptured, pnFrameLen);
  if (take == Take::kFrame) return nCaptured;
  // After an error, a short pause: a retry that fails at once must not spin,
  // and one that would succeed (the interface back) must not wait long.
  if (take == Take::kFailed) {
    PauseOnQueue(kErrorBackoffMs);
    return SOCKET_ERROR;
  }
  // About to wait: a good moment to add up the drops before the kernel's
  // 32-bit counter could wrap.
  if (pState) CollectDrops(hSocket, *pState);

  timeval tv{};
  socklen_t nTvLen = sizeof tv;
  if (getsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, &nTvLen) != 0) {
    PauseOnQueue(kErrorBackoffMs);  // no usable socket
    return SOCKET_ERROR;
  }
  // No time-out set (0) means wait without end, as SO_RCVTIMEO does.
  const bool bHasTimeout = tv.tv_sec != 0 || tv.tv_usec != 0;
  const int nTimeoutMs = bHasTimeout ? static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000) : -1;
  const int fdWake = GetThreadQueueWakeFd();
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bHasTimeout ? nTimeoutMs : 0);
  bool bErrorTaken = false;
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
      PauseOnQueue(kErrorBackoffMs);
      return SOCKET_ERROR;
    }
    if (nReady == 0) return SOCKET_ERROR;  // time-out
    if (fds[1].revents & POLLIN) {
      ConsumeThreadQueueWake();
      return SOCKET_ERROR;
    }
    if (fds[0].revents & POLLNVAL) {
      PauseOnQueue(kErrorBackoffMs);
      return SOCKET_ERROR;
    }
    if (fds[0].revents & POLLERR) {
      // A pending socket error; taking it clears it. ENETDOWN: the interface
      // went down (or away). A state, not an end: go on waiting, and the
      // frames come again as soon as it is up.
      // An error that keeps coming back is paused on like any other.
      const int nError = TakeSocketError(hSocket);
      if ((nError != 0 && nError != ENETDOWN) || bErrorTaken) {
        PauseOnQueue(kErrorBackoffMs);
        return SOCKET_ERROR;
      }
      bErrorTaken = true;
    }
    take = TryReceive(hSocket, pState.get(), pBuf, nBufLen, &nCaptured, pnFrameLen);
    if (take == Take::kFrame) return nCaptured;
    if (take == Take::kFailed) {
      PauseOnQueue(kErrorBackoffMs);
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
