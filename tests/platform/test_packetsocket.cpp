// The packet socket's steps, the helper's answer, and receiving, on the
// loopback of the test's own network namespace (127.0.0.2 is there).
#include "platform/packetsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "capturehelper/capturesteps.h"
#include "platform/helperclient.h"
#include "platform/packetring.h"
#include "platform/threadmsg.h"

namespace {

constexpr const char* kAddr = "127.0.0.2";

struct Socket {
  explicit Socket(SOCKET h = INVALID_SOCKET) : h(h) {}
  ~Socket() { CloseSocket(h); }
  SOCKET h;
};

// Ways a capture socket receives: the capture ring, a ring small enough to
// wrap around within a test, and the socket buffer alone.
constexpr PacketRingGeometry kSmallRing{4096, 4, 10};
const std::pair<const char*, const PacketRingGeometry*> kPaths[] = {
    {"capture ring", &kCaptureRing}, {"small ring", &kSmallRing}, {"socket buffer", nullptr}};

// A capture socket on the loopback, from the helper, with a receive time-out
// of nTimeoutMs (0: none).
SOCKET OpenBound(int nTimeoutMs, const PacketRingGeometry* pRing = &kCaptureRing) {
  SOCKET h = INVALID_SOCKET;
  EXPECT_EQ(OpenCaptureSocket(kAddr, &h, pRing), nullptr);
  EXPECT_EQ(SetReceiveTimeout(h, nTimeoutMs), nullptr);
  EXPECT_EQ(IsRingSocket(h) == TRUE, pRing != nullptr);
  return h;
}

// A socket on 127.0.0.2:45000 that sends the test's datagrams to itself and
// takes them, so that no ICMP "port unreachable" follows them.
struct UdpLoop {
  UdpLoop() : sa{AF_INET, htons(45000), {}, {}} {
    inet_pton(AF_INET, kAddr, &sa.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ~UdpLoop() { close(fd); }
  void Send(const std::string& str) {
    EXPECT_EQ(sendto(fd, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa), ssize_t(str.size()));
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa;
};

// One frame of link protocol nEtherType straight onto the loopback.
void SendFrame(int nEtherType, const std::vector<BYTE>& frame) {
  const int fd = socket(AF_PACKET, SOCK_DGRAM, htons(uint16_t(nEtherType)));
  sockaddr_ll sll{AF_PACKET, htons(uint16_t(nEtherType)), int(if_nametoindex("lo")), 0, 0, ETH_ALEN, {}};
  EXPECT_EQ(sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&sll), sizeof sll),
            ssize_t(frame.size()));
  close(fd);
}

// The UDP payload of the next datagram received, or "-" when the receive fails.
std::string ReceiveUdp(SOCKET h, int* pnFrameLen = nullptr) {
  std::array<BYTE, 1500> buf{};
  const int n = ReceiveDatagram(h, buf.data(), 1500, pnFrameLen);
  if (n == SOCKET_ERROR) return "-";
  const int nStart = (buf[0] & 0x0F) * 4 + 8;
  return std::string(reinterpret_cast<const char*>(buf.data()) + nStart, std::max(n - nStart, 0));
}

// Each of the helper's steps says which one failed; a status that names no
// step, or a socket the program cannot use, is "Create socket failed.".
TEST(PacketSocket, EachStepReportsItsOwnFailure) {
  Socket udp(socket(AF_INET, SOCK_DGRAM, 0)), unbound;
  ASSERT_EQ(CreateCaptureSocket(&unbound.h), HELPER_OK);
  int nIfIndex = 0;
  bool bLoopback = false;
  auto bindTo = [&](const char* psz) { return StepErrorOfHelperStatus(FindCaptureInterface(psz, &nIfIndex, &bLoopback)); };
  const std::pair<StepError, const char*> cases[] = {
      {StepErrorOfHelperStatus(SetCaptureTimeout(-1, 5000)), kSetSocketOptionFailed},
      {bindTo("10.255.255.1"), kBindIpFailed},  // no interface holds it
      {bindTo("127.0.0.3"), kBindIpFailed},     // routed locally, yet nobody's address
      {bindTo("127.2"), kBindIpFailed},         // not dotted-decimal
      {bindTo("127.0.0.02"), kBindIpFailed},
      {bindTo("127.0.0.2 "), kBindIpFailed},
      {bindTo(nullptr), kBindIpFailed},
      {StepErrorOfHelperStatus(BindCaptureInterface(-1, 1)), kBindIpFailed},
      {StepErrorOfHelperStatus(EnterPromiscuousMode(unbound.h)), kReceiveAllFailed},
      {StepErrorOfHelperStatus(EnterPromiscuousMode(udp.h)), kReceiveAllFailed},
      {StepErrorOfHelperStatus(9), kCreateSocketFailed},
      {AdoptCaptureSocket(udp.h, &kCaptureRing), kCreateSocketFailed},
      {AdoptCaptureSocket(unbound.h, &kCaptureRing), kCreateSocketFailed},
      {AdoptCaptureSocket(INVALID_SOCKET, nullptr), kCreateSocketFailed},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_STREQ(cases[i].first, cases[i].second) << "case " << i;
  EXPECT_EQ(bindTo(kAddr), nullptr);
}

int CountOpenFds() {
  auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return int(std::distance(begin(it), end(it)));
}

// Only one byte is an answer, with exactly one descriptor when it says success
// and none otherwise; whatever else arrives is closed.
TEST(HelperAnswer, OnlyOneByteWithTheSocketOnSuccessIsAnAnswer) {
  Socket packet, other(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_EQ(CreateCaptureSocket(&packet.h), HELPER_OK);
  const std::string kOk(1, char(HELPER_OK)), kBind(1, char(HELPER_BIND_FAILED));
  const struct { std::string strBytes; std::vector<int> fds; const char* pszWanted; } cases[] = {
      {kOk, {packet.h}, nullptr},  // the socket is handed over
      {std::string(1, char(HELPER_RECEIVE_ALL_FAILED)), {}, kReceiveAllFailed},
      {kOk, {}, kCreateSocketFailed},
      {kOk, {packet.h, other.h}, kCreateSocketFailed},
      {kBind, {packet.h}, kCreateSocketFailed},
      {kOk + kOk, {packet.h}, kCreateSocketFailed},
      {"", {}, kCreateSocketFailed},  // end-of-file
      {"?", {}, kCreateSocketFailed},  // nothing within the wait: the helper said nothing yet
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.strBytes) + " with " + std::to_string(c.fds.size()) + " descriptors");
    int fdPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair), 0);
    Socket ours(fdPair[0]), theirs(fdPair[1]);
    if (c.strBytes != "?" && !c.strBytes.empty()) {
      iovec iov{const_cast<char*>(c.strBytes.data()), c.strBytes.size()};
      std::vector<char> control(CMSG_SPACE(sizeof(int) * c.fds.size()));
      msghdr msg{nullptr, 0, &iov, 1, c.fds.empty() ? nullptr : control.data(), c.fds.empty() ? 0 : control.size(), 0};
      if (!c.fds.empty()) {
        *CMSG_FIRSTHDR(&msg) = {CMSG_LEN(sizeof(int) * c.fds.size()), SOL_SOCKET, SCM_RIGHTS};
        std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), c.fds.data(), sizeof(int) * c.fds.size());
      }
      ASSERT_EQ(sendmsg(theirs.h, &msg, 0), ssize_t(c.strBytes.size()));
    }
    if (c.strBytes != "?") close(std::exchange(theirs.h, INVALID_SOCKET));
    const int nFdsBefore = CountOpenFds();
    SOCKET hGot = 12345;
    EXPECT_STREQ(ReceiveHelperAnswer(ours.h, 0, &hGot), c.pszWanted);
    EXPECT_EQ(CountOpenFds(), nFdsBefore + (c.pszWanted ? 0 : 1)) << "whatever else arrived is closed";
    if (c.pszWanted) {
      EXPECT_EQ(hGot, INVALID_SOCKET);
    } else {
      EXPECT_NE(hGot, packet.h) << "a descriptor of its own";
      EXPECT_EQ(fcntl(hGot, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
      close(hGot);
    }
  }
}

// Whatever the path: a long datagram is cut at the buffer, with its length on
// the link; other protocols and loopback's outgoing copies are skipped, by the
// kernel filter or, without it, by the receive itself.
TEST(PacketSocket, ReceivesWhatTheDecoderNeedsOnEveryPath) {
  UdpLoop udp;
  for (const auto& [pszPath, pRing] : kPaths) {
    for (const bool bFilter : {true, false}) {
      SCOPED_TRACE(std::string(pszPath) + (bFilter ? ", kernel filter" : ", no kernel filter"));
      Socket s(OpenBound(200, pRing));
      const int nUnused = 0;  // the option takes no value, yet the kernel wants an int's length
      EXPECT_EQ(bFilter || setsockopt(s.h, SOL_SOCKET, SO_DETACH_FILTER, &nUnused, sizeof nUnused) == 0, true);
      udp.Send(std::string(3000, 'L'));  // loopback's MTU lets it through whole
      int nFrameLen = 0;
      EXPECT_EQ(ReceiveUdp(s.h, &nFrameLen), std::string(1500 - 28, 'L'));
      EXPECT_EQ(nFrameLen, 3028);
      std::vector<std::string> got;
      for (int i = 0; i < 3; ++i) {  // taken as they come: a small ring holds only a few retire time-outs
        SendFrame(ETH_P_IPV6, std::vector<BYTE>(60, 0x60));
        SendFrame(ETH_P_ARP, std::vector<BYTE>(28, 0x01));
        udp.Send("wanted-" + std::to_string(i));
        got.push_back(ReceiveUdp(s.h));
      }
      EXPECT_EQ(got, (std::vector<std::string>{"wanted-0", "wanted-1", "wanted-2"}));
      EXPECT_EQ(ReceiveUdp(s.h), "-");
    }
  }
}

// More datagrams go through a small ring than it holds: every block is handed
// back and reused, frames of all lengths taken whole and in order.
TEST(PacketSocket, ASmallRingWrapsAroundManyTimes) {
  UdpLoop udp;
  Socket s(OpenBound(1000, &kSmallRing));
  auto payload = [](int i) { return std::to_string(i) + ":" + std::string(std::size_t(i * 37 % 900), 'p'); };
  for (int i = 0; i < 200; ++i) {  // some 100 KiB through a 16 KiB ring
    udp.Send(payload(i));
    ASSERT_EQ(ReceiveUdp(s.h), payload(i));
  }
}

// A message in the calling thread's queue ends a receive (without a time-out)
// once the datagrams already waiting are taken, and uses the wake up, so the
// next receive waits for data although the message stays.
TEST(PacketSocket, AQueuedMessageEndsTheReceiveOnce) {
  UdpLoop udp;
  for (MSG msg; PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);) {
  }
  // A block retired after 2 s holds the whole burst, however loaded the machine.
  constexpr PacketRingGeometry kLateRetireRing{64 * 1024, 4, 2000};
  for (const PacketRingGeometry* pRing : {&kLateRetireRing, static_cast<const PacketRingGeometry*>(nullptr)}) {
    SCOPED_TRACE(pRing ? "ring" : "socket buffer");
    Socket s(OpenBound(0, pRing));
    for (int i = 0; i < 3; ++i) udp.Send("waiting-" + std::to_string(i));
    pollfd pfd{s.h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReceiveUdp(s.h), "waiting-" + std::to_string(i));
    EXPECT_EQ(ReceiveUdp(s.h), "-");
    pollfd wake{GetThreadQueueWakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&wake, 1, 0), 0) << "the wake must be used up, or the capture loop spins";
    udp.Send("after-wake");
    EXPECT_EQ(ReceiveUdp(s.h), "after-wake");
    EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_REMOVE));
  }
}

}  // namespace
