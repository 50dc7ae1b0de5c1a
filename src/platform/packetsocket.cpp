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

#include <cerrno>
#include <chrono>

#include "platform/ifaddr.h"
#include "platform/netcaps.h"
#include "platform/threadmsg.h"

namespace {

// Large enough for a few thousand queued datagrams, so a burst arriving while
// the capture thread hands over the previous ones is not dropped.
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

}  // namespace

StepError CreatePacketSocket(SOCKET* phSocket) {
  *phSocket = INVALID_SOCKET;
  ScopedNetCaps caps;
  // Protocol 0: the socket receives nothing until BindToAddress names the
  // interface and all protocols, so no frame of another interface queues up first.
  const SOCKET hSocket = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (hSocket < 0) return kCreateSocketFailed;
  // SO_RCVBUFFORCE (needs CAP_NET_ADMIN) passes net.core.rmem_max; the plain
  // option is capped by it. Either way capture works, only bursts differ.
  if (setsockopt(hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
    setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  *phSocket = hSocket;
  return nullptr;
}

StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs) {
  timeval tv{};
  tv.tv_sec = nTimeoutMs / 1000;
  tv.tv_usec = (nTimeoutMs % 1000) * 1000;
  if (setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return kSetSocketOptionFailed;
  return nullptr;
}

StepError BindToAddress(SOCKET hSocket, LPCSTR pszAddr) {
  in_addr addr{};
  // Strict dotted-decimal, as the address list gives it; "1.2" or a host name is no address.
  if (pszAddr == nullptr || inet_pton(AF_INET, pszAddr, &addr) != 1) return kBindIpFailed;
  int nIfIndex = 0;
  BOOL bLoopback = FALSE;
  if (!FindInterfaceOfAddress(addr.s_addr, &nIfIndex, &bLoopback)) return kBindIpFailed;
  // Best effort: ReceiveDatagram repeats the test for whatever a missing filter lets in.
  if (bLoopback)
    AttachFilter(hSocket, kIPv4OnlyIncoming);
  else
    AttachFilter(hSocket, kIPv4Only);
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);  // all protocols: outgoing datagrams too
  sll.sll_ifindex = nIfIndex;
  if (bind(hSocket, reinterpret_cast<const sockaddr*>(&sll), sizeof sll) != 0) return kBindIpFailed;
  return nullptr;
}

StepError EnterReceiveAll(SOCKET hSocket) {
  sockaddr_ll sll{};
  socklen_t nLen = sizeof sll;
  if (getsockname(hSocket, reinterpret_cast<sockaddr*>(&sll), &nLen) != 0) return kReceiveAllFailed;
  if (sll.sll_family != AF_PACKET || sll.sll_ifindex == 0) return kReceiveAllFailed;  // not a bound packet socket
  packet_mreq mreq{};
  mreq.mr_ifindex = sll.sll_ifindex;
  mreq.mr_type = PACKET_MR_PROMISC;
  ScopedNetCaps caps;
  if (setsockopt(hSocket, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return kReceiveAllFailed;
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
int TryReceive(SOCKET hSocket, BYTE* pBuf, int nBufLen, bool* pbFailed) {
  *pbFailed = false;
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
  // Under load a datagram is nearly always waiting: one system call then.
  bool bFailed = false;
  if (const int nLen = TryReceive(hSocket, pBuf, nBufLen, &bFailed); nLen >= 0) return nLen;

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
    const int nLen = TryReceive(hSocket, pBuf, nBufLen, &bFailed);
    if (nLen >= 0) return nLen;
    if (bFailed) {
      PauseOnQueue(nPauseMs);
      return SOCKET_ERROR;
    }
  }
}

void CloseSocket(SOCKET hSocket) {
  if (hSocket != INVALID_SOCKET) close(hSocket);
}
