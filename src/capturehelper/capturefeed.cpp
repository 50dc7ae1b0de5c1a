#include "capturehelper/capturefeed.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/deadline.h"

namespace {

// Without a ring: large enough for a few thousand queued datagrams, so a burst
// arriving while a batch is sent is not dropped. The helper holds no
// CAP_NET_ADMIN, so net.core.rmem_max caps it.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// More than any frame: the filter keeps all of it.
constexpr unsigned kWholeFrameBytes = 0x40000;

// A classic BPF program run by the kernel before a frame is queued: IPv4
// only, and on loopback, which passes every datagram twice (out and in), the
// incoming copy only. What it returns is how much of a frame is kept. The
// ancillary loads read the frame's ethertype and packet type, which a
// SOCK_DGRAM socket cannot see in the data.
bool AttachFilter(int fd, bool bLoopback, unsigned nSnapBytes) {
  const sock_filter kAll[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, nSnapBytes),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  const sock_filter kIncoming[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, nSnapBytes),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(bLoopback ? std::size(kIncoming) : std::size(kAll));
  prog.filter = const_cast<sock_filter*>(bLoopback ? kIncoming : kAll);
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}

// The same test as the kernel filters, for the frames that reach us anyway
// (a filter that could not be attached).
bool IsWanted(const sockaddr_ll& from) {
  if (from.sll_family != AF_PACKET) return false;
  if (from.sll_protocol != htons(ETH_P_IP)) return false;
  if (from.sll_hatype == ARPHRD_LOOPBACK && from.sll_pkttype == PACKET_OUTGOING) return false;
  return true;
}

// The next wanted frame of the socket buffer, read into pBuf, without
// waiting: kNone when none is queued, kFailed on an error. ENETDOWN is no
// failure: the interface went down (or away), so there is nothing to take now.
enum class Take { kFrame, kNone, kFailed };
Take TakeBufferedFrame(int fd, std::uint8_t* pBuf, std::uint32_t* pnCaptured, std::uint32_t* pnFrameLen) {
  for (;;) {
    sockaddr_ll from{};
    socklen_t nFromLen = sizeof from;
    // MSG_TRUNC: the frame's real length, also when it is longer than pBuf.
    const ssize_t nGot = recvfrom(fd, pBuf, kWireMaxCapturedBytes, MSG_DONTWAIT | MSG_TRUNC,
                                  reinterpret_cast<sockaddr*>(&from), &nFromLen);
    if (nGot < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENETDOWN) return Take::kNone;
      return Take::kFailed;
    }
    if (!IsWanted(from)) continue;
    *pnFrameLen = static_cast<std::uint32_t>(nGot);
    *pnCaptured = std::min(*pnFrameLen, kWireMaxCapturedBytes);
    return Take::kFrame;
  }
}

// The kernel's drop counter, which PACKET_STATISTICS resets on each read. The
// V3 statistics begin with the older layout's two counters, and the kernel
// copies only as much as the socket's version has.
std::uint64_t TakeDrops(int fd) {
  tpacket_stats_v3 stats{};
  socklen_t nLen = sizeof stats;
  return getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &nLen) == 0 ? stats.tp_drops : 0;
}

// Sends one message whole. A full channel is waited on, for at most nStallMs
// in all: the program reads nothing while its window's queue is full, and
// meanwhile the kernel ring takes the traffic. Anything on the channel but
// room (its end, data from the program) ends the run.
bool SendMessage(int fdChannel, std::span<const iovec> pieces, int nStallMs, FeedEnd* pEnd) {
  const Deadline deadline(nStallMs);
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(pieces.data());
  msg.msg_iovlen = pieces.size();
  for (;;) {
    // SOCK_SEQPACKET sends a message whole or not at all.
    if (sendmsg(fdChannel, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *pEnd = FeedEnd::kChannelEnded;  // the program's end is gone
      return false;
    }
    pollfd pfd{fdChannel, POLLOUT, 0};
    const int nLeftMs = deadline.LeftMs();
    if (nLeftMs == 0) {
      *pEnd = FeedEnd::kReaderStalled;
      return false;
    }
    const int nReady = poll(&pfd, 1, nLeftMs);
    if (nReady < 0 && errno != EINTR) {
      *pEnd = FeedEnd::kFailed;
      return false;
    }
    if (nReady > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      *pEnd = FeedEnd::kChannelEnded;
      return false;
    }
  }
}

// The socket's pending error, which reading takes; -1 when it cannot be read.
int TakeSocketError(int fd) {
  int nError = 0;
  socklen_t nErrLen = sizeof nError;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nErrLen) == 0 ? nError : -1;
}

bool InterfaceExists(int nIfIndex) {
  char szName[IF_NAMESIZE];
  return if_indextoname(static_cast<unsigned>(nIfIndex), szName) != nullptr || errno != ENXIO;
}

}  // namespace

HelperStatus StartCapture(int fd, int nIfIndex, bool bLoopback, const PacketRingGeometry* pRing,
                          std::unique_ptr<PacketRing>* ppRing) {
  // Ring and filter before the bind below starts the flow, so that no frame
  // is queued outside the ring or unfiltered.
  *ppRing = pRing != nullptr ? PacketRing::Map(fd, *pRing) : nullptr;
  if (!*ppRing) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  // Best effort: the feed repeats the test for whatever a missing filter lets
  // in. A ring keeps a frame's length on the link beside its cut bytes, so
  // frames are cut where the channel cuts them; a socket buffer keeps only
  // what the filter leaves, so there the whole frame stays, for its length.
  AttachFilter(fd, bLoopback, *ppRing ? kWireMaxCapturedBytes : kWholeFrameBytes);
  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);  // only an all-protocols socket sees outgoing datagrams too
  all.sll_ifindex = nIfIndex;
  return bind(fd, reinterpret_cast<const sockaddr*>(&all), sizeof all) == 0 ? HELPER_OK : HELPER_BIND_FAILED;
}

void WireBatch::Write(const void* p, std::uint32_t n) {
  std::uint8_t* pTo = m_own.data() + m_nOwn;
  std::memcpy(pTo, p, n);
  m_nOwn += n;
  iovec& last = m_pieces[m_nPieces - 1];
  if (m_nPieces > 1 && static_cast<std::uint8_t*>(last.iov_base) + last.iov_len == pTo)
    last.iov_len += n;
  else
    m_pieces[m_nPieces++] = {pTo, n};
}

bool WireBatch::Add(const std::uint8_t* pData, std::uint32_t nCaptured, std::uint32_t nFrameLen, bool bCopy) {
  nCaptured = std::min(nCaptured, kWireMaxCapturedBytes);
  const std::uint32_t nNeeded = static_cast<std::uint32_t>(sizeof(WireFrameHeader)) + nCaptured;
  // At most two new pieces: the header's, and the bytes' when not copied. The
  // own buffer holds at most what the message does.
  if (nNeeded > kWireMaxMessageBytes - m_nBytes || m_nPieces + 2 > kMaxPieces) return false;
  const WireFrameHeader header{std::max(nFrameLen, nCaptured), static_cast<std::uint16_t>(nCaptured), 0};
  Write(&header, sizeof header);
  if (bCopy)
    Write(pData, nCaptured);
  else if (nCaptured > 0)
    m_pieces[m_nPieces++] = {const_cast<std::uint8_t*>(pData), nCaptured};
  m_nBytes += nNeeded;
  ++m_nFrames;
  return true;
}

std::span<const iovec> WireBatch::Seal(std::uint64_t nKernelDrops) {
  m_header = {nKernelDrops, m_nFrames, m_nBytes - static_cast<std::uint32_t>(sizeof(WireBatchHeader))};
  m_pieces[0] = {&m_header, sizeof m_header};
  return {m_pieces.data(), m_nPieces};
}

std::vector<std::uint8_t> WireBatch::Bytes(std::uint64_t nKernelDrops) {
  std::vector<std::uint8_t> bytes;
  for (const iovec& piece : Seal(nKernelDrops)) {
    const auto* p = static_cast<const std::uint8_t*>(piece.iov_base);
    bytes.insert(bytes.end(), p, p + piece.iov_len);
  }
  return bytes;
}

void WireBatch::Clear() {
  m_nPieces = 1;
  m_nOwn = 0;
  m_nBytes = sizeof(WireBatchHeader);
  m_nFrames = 0;
}

FeedEnd ForwardCapture(int fd, PacketRing* pRing, int nIfIndex, int fdChannel, WireBatch& batch, int nStallMs) {
  std::array<std::uint8_t, kWireMaxCapturedBytes> buffer;  // frames from the socket buffer
  std::uint64_t nDrops = 0, nDropsSent = 0;
  bool bDown = false;  // ENETDOWN seen and no frame since: the interface may be gone
  FeedEnd end = FeedEnd::kFailed;
  const auto send = [&] {
    nDrops += TakeDrops(fd);
    if (!SendMessage(fdChannel, batch.Seal(nDrops), nStallMs, &end)) return false;
    nDropsSent = nDrops;
    batch.Clear();
    return true;
  };
  const auto add = [&](const std::uint8_t* pData, std::uint32_t nCaptured, std::uint32_t nFrameLen, bool bCopy) {
    bDown = false;
    return batch.Add(pData, nCaptured, nFrameLen, bCopy) || (send() && batch.Add(pData, nCaptured, nFrameLen, bCopy));
  };
  batch.Clear();
  for (;;) {
    // Every frame already there.
    if (pRing != nullptr) {
      for (;;) {
        RingFrame rf;
        while (pRing->Next(&rf)) {
          const auto nLen = static_cast<std::uint32_t>(rf.nLen);
          if (IsWanted(*rf.pFrom) &&
              !add(rf.pData, nLen, static_cast<std::uint32_t>(rf.nFrameLen), nLen <= kCopyFramesUpToBytes))
            return end;
        }
        if (!pRing->HoldsBlock()) break;  // no block ready
        // What refers into the block goes before the block goes back.
        if (batch.Frames() > 0 && !send()) return end;
        pRing->Release();
      }
    } else {
      std::uint32_t nCaptured = 0, nFrameLen = 0;
      Take take;
      while ((take = TakeBufferedFrame(fd, buffer.data(), &nCaptured, &nFrameLen)) == Take::kFrame) {
        if (!add(buffer.data(), nCaptured, nFrameLen, true)) return end;
      }
      if (take == Take::kFailed) return FeedEnd::kFailed;
    }
    // Frames gathered, or a drop count the program has not heard of yet (send
    // reads the counter itself).
    if (batch.Frames() > 0 || (nDrops += TakeDrops(fd)) != nDropsSent) {
      if (!send()) return end;
      continue;  // more may have come while it was sent
    }
    // Nothing waiting: sleep until a frame, or the channel's end. Anything the
    // program writes ends the run too: the helper reads nothing from it.
    pollfd fds[2] = {{fd, POLLIN, 0}, {fdChannel, POLLIN, 0}};
    const int nReady = poll(fds, 2, bDown ? kInterfaceCheckMs : -1);
    if (nReady < 0) {
      if (errno == EINTR) continue;
      return FeedEnd::kFailed;
    }
    if (fds[1].revents != 0) return FeedEnd::kChannelEnded;
    if (fds[0].revents & POLLNVAL) return FeedEnd::kFailed;
    if (fds[0].revents & POLLERR) {
      // ENETDOWN: the interface went down, or is being removed (it goes down
      // first, and its removal reports nothing more). A state, not an end,
      // until it is gone.
      const int nError = TakeSocketError(fd);
      if (nError != 0 && nError != ENETDOWN) return FeedEnd::kFailed;
      bDown = bDown || nError == ENETDOWN;
    }
    if (bDown && !InterfaceExists(nIfIndex)) return FeedEnd::kInterfaceGone;
  }
}
