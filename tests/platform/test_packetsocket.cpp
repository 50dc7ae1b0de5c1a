// The packet socket's steps, failures and receive, on the loopback of the
// test's own network namespace (127.0.0.2 is there).
#include "platform/packetsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/capability.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capturehelper/capturesteps.h"
#include "platform/helperclient.h"
#include "platform/ifaddr.h"
#include "platform/packetring.h"
#include "platform/threadmsg.h"

namespace {

constexpr const char* kAddr = "127.0.0.2";

struct Socket {
  explicit Socket(SOCKET h = INVALID_SOCKET) : h(h) {}
  ~Socket() { CloseSocket(h); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET h;
};

// Ways a capture socket receives: the capture ring, a ring small enough to
// wrap around within a test, and the socket buffer alone.
constexpr PacketRingGeometry kSmallRing{4096, 4, 10};
const struct ReceivePath {
  const char* pszName;
  const PacketRingGeometry* pRing;
} kReceivePaths[] = {{"capture ring", &kCaptureRing}, {"small ring", &kSmallRing}, {"socket buffer", nullptr}};

// A capture socket on the loopback, from the helper, with a receive time-out
// of nTimeoutMs (0: none), or INVALID_SOCKET.
SOCKET OpenBound(int nTimeoutMs, const PacketRingGeometry* pRing = &kCaptureRing) {
  SOCKET h = INVALID_SOCKET;
  if (OpenCaptureSocket(kAddr, &h, pRing) || SetReceiveTimeout(h, nTimeoutMs)) {
    CloseSocket(h);
    return INVALID_SOCKET;
  }
  if ((pRing != nullptr) != (IsRingSocket(h) == TRUE)) {
    ADD_FAILURE() << "the socket has " << (pRing ? "no ring" : "a ring");
    CloseSocket(h);
    return INVALID_SOCKET;
  }
  return h;
}

void SendUdp(const std::string& strPayload, int nDesPort = 45000) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in des{};
  des.sin_family = AF_INET;
  des.sin_port = htons(static_cast<uint16_t>(nDesPort));
  inet_pton(AF_INET, kAddr, &des.sin_addr);
  ASSERT_EQ(sendto(fd, strPayload.data(), strPayload.size(), 0, reinterpret_cast<sockaddr*>(&des), sizeof des),
            static_cast<ssize_t>(strPayload.size()));
  close(fd);
}

// nCount datagrams to port 45000, payload i made by fnPayload(i).
template <typename Fn>
void SendUdpBurst(int nCount, Fn fnPayload) {
  for (int i = 0; i < nCount; ++i) {
    SendUdp(fnPayload(i));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Sends one frame of link protocol nEtherType onto the loopback, as a packet
// socket of that protocol does.
void SendFrame(int nEtherType, const std::vector<BYTE>& frame) {
  const int fdRaw = socket(AF_PACKET, SOCK_DGRAM, htons(static_cast<uint16_t>(nEtherType)));
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(static_cast<uint16_t>(nEtherType));
  sll.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
  sll.sll_halen = ETH_ALEN;
  ASSERT_EQ(sendto(fdRaw, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&sll), sizeof sll),
            static_cast<ssize_t>(frame.size()));
  close(fdRaw);
}

std::string UdpPayloadOf(const BYTE* pBuf, int nLen) {
  const int nStart = (pBuf[0] & 0x0F) * 4 + 8;
  return nLen > nStart ? std::string(reinterpret_cast<const char*>(pBuf) + nStart, nLen - nStart) : std::string();
}

// Packet-socket promiscuity is counted apart from the interface flags that
// SIOCGIFFLAGS reports; `ip -d link` shows the count.
bool LoopbackIsPromiscuous() { return std::system("ip -d link show lo | grep -q 'promiscuity 1'") == 0; }

// Takes the test's datagrams, so that no ICMP "port unreachable" follows them.
struct UdpListener {
  explicit UdpListener(int nPort) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(nPort));
    inet_pton(AF_INET, kAddr, &sin.sin_addr);
    bBound = bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  }
  ~UdpListener() { close(fd); }
  int fd;
  bool bBound;
};

TEST(PacketSocket, EachStepReportsItsOwnFailure) {
  Socket udp(socket(AF_INET, SOCK_DGRAM, 0));
  Socket unbound;
  ASSERT_EQ(CreateCaptureSocket(&unbound.h), HELPER_OK);
  const int nLo = static_cast<int>(if_nametoindex("lo"));
  int nIfIndex = 0;
  bool bLoopback = false;
  auto bindTo = [&](const char* pszAddr) {
    return StepErrorOfHelperStatus(FindCaptureInterface(pszAddr, &nIfIndex, &bLoopback));
  };
  const struct {
    const char* pszName;
    StepError pszGot;
    const char* pszWanted;
  } cases[] = {
      {"time-out on no socket", StepErrorOfHelperStatus(SetCaptureTimeout(-1, 5000)), kSetSocketOptionFailed},
      {"bind: address no interface holds", bindTo("10.255.255.1"), kBindIpFailed},
      {"bind: 127/8 is routed locally but 127.0.0.3 is nobody's address", bindTo("127.0.0.3"), kBindIpFailed},
      {"bind: not dotted-decimal", bindTo("127.2"), kBindIpFailed},
      {"bind: a leading zero", bindTo("127.0.0.02"), kBindIpFailed},
      {"bind: a trailing blank", bindTo("127.0.0.2 "), kBindIpFailed},
      {"bind: null", bindTo(nullptr), kBindIpFailed},
      {"bind: no socket", StepErrorOfHelperStatus(BindCaptureInterface(-1, nLo)), kBindIpFailed},
      {"receive-all: not bound", StepErrorOfHelperStatus(EnterPromiscuousMode(unbound.h)), kReceiveAllFailed},
      {"receive-all: not a packet socket", StepErrorOfHelperStatus(EnterPromiscuousMode(udp.h)), kReceiveAllFailed},
      {"receive-all: no socket", StepErrorOfHelperStatus(EnterPromiscuousMode(-1)), kReceiveAllFailed},
      {"a status that names no step", StepErrorOfHelperStatus(9), kCreateSocketFailed},
      {"adopt: not a packet socket", AdoptCaptureSocket(udp.h, &kCaptureRing), kCreateSocketFailed},
      {"adopt: bound to no interface", AdoptCaptureSocket(unbound.h, &kCaptureRing), kCreateSocketFailed},
      {"adopt: no socket", AdoptCaptureSocket(INVALID_SOCKET, nullptr), kCreateSocketFailed},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.pszGot, c.pszWanted) << c.pszName;

  std::thread([] {
    // Without CAP_NET_RAW even in the permitted set, as for an ordinary user.
    cap_t caps = cap_get_proc();
    cap_value_t nRaw = CAP_NET_RAW;
    cap_set_flag(caps, CAP_EFFECTIVE, 1, &nRaw, CAP_CLEAR);
    cap_set_flag(caps, CAP_PERMITTED, 1, &nRaw, CAP_CLEAR);
    ASSERT_EQ(cap_set_proc(caps), 0);
    cap_free(caps);
    int fd = 12345;
    EXPECT_STREQ(StepErrorOfHelperStatus(CreateCaptureSocket(&fd)), kCreateSocketFailed);
    EXPECT_EQ(fd, -1);
  }).join();
}

// The helper's capabilities, as the kernel reports them for its thread: from
// root's full sets down to CAP_NET_RAW, then to nothing, after which no packet
// socket can be made.
TEST(HelperCapabilities, OnlyCapNetRawUntilAllAreDropped) {
  auto capSet = [](const std::string& strField) {
    std::ifstream in("/proc/thread-self/status");
    for (std::string strLine; std::getline(in, strLine);)
      if (strLine.rfind(strField + ":", 0) == 0) return std::stoull(strLine.substr(strField.size() + 1), nullptr, 16);
    return ~0ull;
  };
  std::thread([&] {  // capability sets are the thread's own
    ASSERT_TRUE(KeepOnlyCaptureCapability());
    for (const char* pszSet : {"CapPrm", "CapEff"}) EXPECT_EQ(capSet(pszSet), 1ull << CAP_NET_RAW) << pszSet;
    EXPECT_EQ(capSet("CapInh"), 0u);
    Socket s;
    EXPECT_EQ(CreateCaptureSocket(&s.h), HELPER_OK);
    ASSERT_TRUE(DropAllCapabilities());
    for (const char* pszSet : {"CapPrm", "CapEff", "CapInh", "CapAmb"}) EXPECT_EQ(capSet(pszSet), 0u) << pszSet;
    Socket refused;
    EXPECT_EQ(CreateCaptureSocket(&refused.h), HELPER_CREATE_FAILED);
  }).join();
}

// The descriptors open in this process.
int CountOpenFds() {
  int nCount = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++nCount;
  return nCount;
}

// One message as a helper (or a stand-in) sends it: bytes and descriptors in
// one SCM_RIGHTS control message.
void SendAnswer(int fdChannel, const std::string& strBytes, const std::vector<int>& fds) {
  iovec iov{const_cast<char*>(strBytes.data()), strBytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  if (!fds.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
    pCmsg->cmsg_level = SOL_SOCKET;
    pCmsg->cmsg_type = SCM_RIGHTS;
    pCmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(pCmsg), fds.data(), sizeof(int) * fds.size());
  }
  ASSERT_EQ(sendmsg(fdChannel, &msg, 0), static_cast<ssize_t>(strBytes.size()));
}

// Only one byte is an answer, with exactly one descriptor when it says
// success and none otherwise; whatever else arrives is closed.
TEST(HelperAnswer, OnlyOneByteWithTheSocketOnSuccessIsAnAnswer) {
  Socket packet;
  ASSERT_EQ(CreateCaptureSocket(&packet.h), HELPER_OK);
  Socket other(socket(AF_INET, SOCK_DGRAM, 0));
  const std::string kOk(1, static_cast<char>(HELPER_OK));
  const struct {
    const char* pszName;
    std::string strBytes;  // empty: the helper's end is closed with nothing sent
    std::vector<int> fds;
    const char* pszWanted;  // null: the socket is handed over
  } cases[] = {
      {"success with the socket", kOk, {packet.h}, nullptr},
      {"a failed step", std::string(1, static_cast<char>(HELPER_RECEIVE_ALL_FAILED)), {}, kReceiveAllFailed},
      {"success without a socket", kOk, {}, kCreateSocketFailed},
      {"success with two descriptors", kOk, {packet.h, other.h}, kCreateSocketFailed},
      {"a failure with a descriptor", std::string(1, static_cast<char>(HELPER_BIND_FAILED)), {packet.h},
       kCreateSocketFailed},
      {"two bytes", kOk + kOk, {packet.h}, kCreateSocketFailed},
      {"end-of-file", "", {}, kCreateSocketFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    int fdPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair), 0);
    Socket ours(fdPair[0]), theirs(fdPair[1]);
    if (!c.strBytes.empty()) {
      ASSERT_NO_FATAL_FAILURE(SendAnswer(theirs.h, c.strBytes, c.fds));
    }
    close(std::exchange(theirs.h, INVALID_SOCKET));
    const int nFdsBefore = CountOpenFds();
    SOCKET hGot = 12345;
    EXPECT_STREQ(ReceiveHelperAnswer(ours.h, 0, &hGot), c.pszWanted);
    if (c.pszWanted == nullptr) {
      ASSERT_NE(hGot, INVALID_SOCKET);
      EXPECT_NE(hGot, packet.h) << "a descriptor of its own";
      EXPECT_EQ(fcntl(hGot, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
      EXPECT_EQ(CountOpenFds(), nFdsBefore + 1);
      close(hGot);
    } else {
      EXPECT_EQ(hGot, INVALID_SOCKET);
      EXPECT_EQ(CountOpenFds(), nFdsBefore) << "whatever arrived is closed";
    }
  }
  // Nothing sent yet and the helper still there: no answer within the wait.
  int fdPair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair), 0);
  Socket ours(fdPair[0]), theirs(fdPair[1]);
  SOCKET hGot = 12345;
  EXPECT_STREQ(ReceiveHelperAnswer(ours.h, 0, &hGot), kCreateSocketFailed);
  EXPECT_EQ(hGot, INVALID_SOCKET);
}

TEST(PacketSocket, ReceiveAllIsPromiscuousModeUntilTheSocketCloses) {
  ASSERT_FALSE(LoopbackIsPromiscuous());
  {
    Socket s(OpenBound(1000));  // the helper's last step
    ASSERT_NE(s.h, INVALID_SOCKET);
    EXPECT_TRUE(LoopbackIsPromiscuous());
  }
  EXPECT_FALSE(LoopbackIsPromiscuous());
}

// The frame as it came, padding included, and its length on the link: reading
// the IP header is the decoder's work.
TEST(PacketSocket, CutsLongFramesAtTheBufferAndTellsTheirLength) {
  UdpListener listener(45000), listener2(45001);
  ASSERT_TRUE(listener.bBound && listener2.bBound);
  for (const ReceivePath& path : kReceivePaths) {
    SCOPED_TRACE(path.pszName);
    Socket s(OpenBound(5000, path.pRing));
    ASSERT_NE(s.h, INVALID_SOCKET);
    SendUdp(std::string(3000, 'L'));  // loopback's MTU lets it through whole
    // A 28-byte datagram in a frame padded to Ethernet's 46-byte minimum,
    // sent straight onto the link (the outgoing copy is skipped on loopback).
    std::vector<BYTE> padded = {0x45, 0,    0,    28, 0,    0,    0,    0,    64,   17,   0,   0,
                                127,  0,    0,    2,  127,  0,    0,    2,    0xAF, 0xC8, 0xAF, 0xC9,
                                0,    8,    0,    0};
    padded.resize(46, 0);
    SendFrame(ETH_P_IP, padded);
    std::array<BYTE, 1500> buf{};
    int nFrameLen = 0;
    EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500, &nFrameLen), 1500);
    EXPECT_EQ(nFrameLen, 3028);
    EXPECT_EQ((buf[2] << 8) | buf[3], 3028);
    EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500, &nFrameLen), 46);
    EXPECT_EQ(nFrameLen, 46);
    EXPECT_EQ(buf[20], 0xAF);
  }
}

// The kernel filter keeps other protocols and loopback's outgoing copies out;
// where it is missing, the receive skips them itself, from the ring as from the
// socket buffer.
TEST(PacketSocket, SkipsOtherProtocolsAndLoopbacksOutgoingCopies) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  for (const ReceivePath& path : kReceivePaths) {
    for (const bool bFilter : {true, false}) {
      SCOPED_TRACE(std::string(path.pszName) + (bFilter ? ", kernel filter" : ", no kernel filter"));
      Socket s(OpenBound(200, path.pRing));
      ASSERT_NE(s.h, INVALID_SOCKET);
      const int nUnused = 0;  // the option takes no value, yet the kernel wants an int's length
      if (!bFilter) {
        ASSERT_EQ(setsockopt(s.h, SOL_SOCKET, SO_DETACH_FILTER, &nUnused, sizeof nUnused), 0);
      }
      // Taken as they come: the small ring holds only a few retire time-outs.
      std::array<BYTE, 1500> buf{};
      std::vector<std::string> got;
      for (int i = 0; i < 3; ++i) {
        SendFrame(ETH_P_IPV6, std::vector<BYTE>(60, 0x60));
        SendFrame(ETH_P_ARP, std::vector<BYTE>(28, 0x01));
        SendUdp("wanted-" + std::to_string(i));
        const int n = ReceiveDatagram(s.h, buf.data(), 1500);
        if (n != SOCKET_ERROR) got.push_back(UdpPayloadOf(buf.data(), n));
      }
      for (int n; (n = ReceiveDatagram(s.h, buf.data(), 1500)) != SOCKET_ERROR;) got.push_back(UdpPayloadOf(buf.data(), n));
      EXPECT_EQ(got, (std::vector<std::string>{"wanted-0", "wanted-1", "wanted-2"}));
      EXPECT_EQ(GetKernelDrops(s.h), 0u);
    }
  }
}

// More datagrams go through a small ring than it holds: every block is handed
// back and reused, frames of all lengths are taken whole and in order.
TEST(PacketSocket, ASmallRingWrapsAroundManyTimes) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  Socket s(OpenBound(5000, &kSmallRing));
  ASSERT_NE(s.h, INVALID_SOCKET);
  auto payload = [](int i) { return std::to_string(i) + ":" + std::string(static_cast<std::size_t>(i * 37 % 900), 'p'); };
  constexpr int kRounds = 40, kPerRound = 5;  // about 100 KiB of frames through a 16 KiB ring
  std::array<BYTE, 1500> buf{};
  for (int nRound = 0; nRound < kRounds; ++nRound) {
    SendUdpBurst(kPerRound, [&](int i) { return payload(nRound * kPerRound + i); });
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < kPerRound; ++i) {
      const int n = ReceiveDatagram(s.h, buf.data(), 1500);
      ASSERT_GT(n, 0) << "round " << nRound;
      ASSERT_EQ(UdpPayloadOf(buf.data(), n), payload(nRound * kPerRound + i));
    }
  }
  EXPECT_EQ(GetKernelDrops(s.h), 0u);
}

// A burst lands in few blocks of a ring whose blocks are handed over late;
// the reader takes the frames of each block one by one.
TEST(PacketRing, TakesTheManyFramesOfABlockOneByOne) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  Socket s;
  ASSERT_EQ(RequestCaptureSocket(kAddr, &s.h), nullptr);
  const std::unique_ptr<PacketRing> pRing = PacketRing::Map(s.h, {64 * 1024, 4, 200});
  ASSERT_TRUE(pRing);
  ASSERT_EQ(AdoptCaptureSocket(s.h, nullptr), nullptr);  // filter and bind; the ring is read here
  constexpr int kCount = 100;
  SendUdpBurst(kCount, [](int i) { return "frame-" + std::to_string(i); });
  int nTaken = 0;
  RingFrame frame;
  while (nTaken < kCount) {
    if (!pRing->Next(&frame)) {
      pollfd pfd{s.h, POLLIN, 0};
      ASSERT_EQ(poll(&pfd, 1, 5000), 1) << "after " << nTaken << " frames";
      continue;
    }
    ASSERT_EQ(frame.pFrom->sll_protocol, htons(ETH_P_IP));
    ASSERT_EQ(UdpPayloadOf(frame.pData, frame.nLen), "frame-" + std::to_string(nTaken));
    ++nTaken;
  }
  EXPECT_FALSE(pRing->Next(&frame));
  EXPECT_GE(pRing->BlocksRead(), 1u);
  EXPECT_LT(pRing->BlocksRead(), static_cast<std::uint64_t>(kCount / 10)) << "a block holds many frames";
}

// A ring the kernel refuses (a block size that is no multiple of the page
// size) leaves a socket that still receives, through its buffer.
TEST(PacketSocket, ARefusedRingFallsBackToTheSocketBuffer) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  const PacketRingGeometry refused{4096 + 2048, 4, 2};
  Socket s;
  ASSERT_EQ(OpenCaptureSocket(kAddr, &s.h, &refused), nullptr);
  EXPECT_FALSE(IsRingSocket(s.h));
  SendUdp("through-the-buffer");
  std::array<BYTE, 1500> buf{};
  const int n = ReceiveDatagram(s.h, buf.data(), 1500);
  ASSERT_GT(n, 0);
  EXPECT_EQ(UdpPayloadOf(buf.data(), n), "through-the-buffer");
}

// What the kernel drops while the ring is full is counted, and the counts of
// successive reads (each resets the kernel's counter) add up: received plus
// dropped is everything sent.
TEST(PacketSocket, CountsKernelDropsAcrossReadsAndAfterClose) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  const std::uint64_t nAllBefore = GetKernelDropsOfAllSockets();
  Socket s(OpenBound(100, &kSmallRing));
  ASSERT_NE(s.h, INVALID_SOCKET);
  std::array<BYTE, 1500> buf{};
  int nReceived = 0;
  constexpr int kBurst = 300;  // some 50 KiB of frames, the ring holds 16 KiB
  for (int nBurst = 1; nBurst <= 2; ++nBurst) {
    SCOPED_TRACE(nBurst);
    SendUdpBurst(kBurst, [](int i) { return "drop-me-maybe-" + std::to_string(i) + std::string(64, 'd'); });
    ASSERT_FALSE(HasFatalFailure());
    const std::uint64_t nDrops = GetKernelDrops(s.h);
    EXPECT_GT(nDrops, 0u);
    EXPECT_EQ(GetKernelDrops(s.h), nDrops) << "a second read adds nothing new";
    while (ReceiveDatagram(s.h, buf.data(), 1500) != SOCKET_ERROR) ++nReceived;
    EXPECT_EQ(static_cast<std::uint64_t>(nReceived) + GetKernelDrops(s.h), static_cast<std::uint64_t>(nBurst * kBurst));
  }
  const std::uint64_t nDrops = GetKernelDrops(s.h);
  CloseSocket(std::exchange(s.h, INVALID_SOCKET));
  EXPECT_EQ(GetKernelDropsOfAllSockets() - nAllBefore, nDrops);
}

// Datagrams already waiting are taken before a message is noticed; once they
// are gone the message ends the receive at once instead of the wait.
TEST(PacketSocket, AMessageEndsTheReceiveOnceTheWaitingDatagramsAreTaken) {
  UdpListener listener(45000);
  ASSERT_TRUE(listener.bBound);
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  // The burst must land in one ring block: with the capture ring's 4 ms retire
  // time-out a loaded machine could hand over a block between two sends, and
  // the last datagrams would not be waiting yet. A block retired after 2 s
  // holds the whole burst.
  constexpr PacketRingGeometry kLateRetireRing{64 * 1024, 4, 2000};
  const ReceivePath paths[] = {{"ring", &kLateRetireRing}, {"socket buffer", nullptr}};
  for (const ReceivePath& path : paths) {
    SCOPED_TRACE(path.pszName);
    Socket s(OpenBound(0, path.pRing));  // no time-out: a lost wake would hang the test
    ASSERT_NE(s.h, INVALID_SOCKET);
    SendUdpBurst(3, [](int i) { return "waiting-" + std::to_string(i); });
    pollfd pfd{s.h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);  // a ring hands its block over within its retire time-out
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
    std::array<BYTE, 1500> buf{};
    for (int i = 0; i < 3; ++i) {
      const int n = ReceiveDatagram(s.h, buf.data(), 1500);
      ASSERT_GT(n, 0);
      EXPECT_EQ(UdpPayloadOf(buf.data(), n), "waiting-" + std::to_string(i));
    }
    EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), SOCKET_ERROR);
    pollfd wake{GetThreadQueueWakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&wake, 1, 0), 0) << "the wake must be used up";
    EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_REMOVE));
  }
}

// A message in the calling thread's queue ends a receive at once; the wake is
// used up, so the next receive waits for data although the message stays.
TEST(PacketSocket, AQueuedMessageEndsTheReceiveOnce) {
  UdpListener listener(45000);
  Socket s(OpenBound(0));  // no time-out: a lost wake would hang the test
  ASSERT_NE(s.h, INVALID_SOCKET);
  std::array<BYTE, 1500> buf{};
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
  EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), SOCKET_ERROR);
  pollfd wake{GetThreadQueueWakeFd(), POLLIN, 0};
  EXPECT_EQ(poll(&wake, 1, 0), 0) << "the wake must be used up, or the capture loop spins";
  SendUdp("after-wake");
  const int n = ReceiveDatagram(s.h, buf.data(), 1500);
  ASSERT_GT(n, 0);
  EXPECT_EQ(UdpPayloadOf(buf.data(), n), "after-wake");
  EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_REMOVE));

  // From another thread, while blocked.
  std::atomic<DWORD> dwReceiver{0};
  int nResult = 0;
  std::thread receiver([&] {
    PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
    dwReceiver.store(GetCurrentThreadId());
    std::array<BYTE, 1500> b{};
    nResult = ReceiveDatagram(s.h, b.data(), 1500);
  });
  while (dwReceiver.load() == 0) std::this_thread::yield();
  ASSERT_TRUE(PostThreadMessage(dwReceiver.load(), WM_CLOSE, 0, 0));
  receiver.join();
  EXPECT_EQ(nResult, SOCKET_ERROR);
}

TEST(PacketSocket, ReceiveEndsAtItsTimeOutAndOnABadSocket) {
  Socket s(OpenBound(20));
  ASSERT_NE(s.h, INVALID_SOCKET);
  std::array<BYTE, 1500> buf{};
  EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), SOCKET_ERROR);
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  // A bad descriptor pauses on the queue instead of failing at once; a
  // message ends the pause.
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
  EXPECT_EQ(ReceiveDatagram(INVALID_SOCKET, buf.data(), 1500), SOCKET_ERROR);
  EXPECT_EQ(ReceiveDatagram(s.h, nullptr, 1500), SOCKET_ERROR);
  EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_REMOVE));
}

// The interface going away leaves an error on the socket; the receive takes
// it (so the next poll does not report it again and the caller does not spin)
// and goes on waiting: down is a state, so the receive ends at its time-out.
TEST(PacketSocket, AnInterfaceGoneIsWaitedOnAndItsErrorCleared) {
  if (std::system("ip link add mvtest0 type veth peer name mvtest1 && ip link set mvtest0 up && "
                  "ip link set mvtest1 up && ip addr add 127.9.8.1/24 dev mvtest0") != 0)
    GTEST_SKIP() << "no veth pair";
  for (const ReceivePath& path : kReceivePaths) {
    SCOPED_TRACE(path.pszName);
    if (std::system("ip link show mvtest0 >/dev/null 2>&1") != 0) {
      ASSERT_EQ(std::system("ip link add mvtest0 type veth peer name mvtest1 && ip link set mvtest0 up && "
                            "ip link set mvtest1 up && ip addr add 127.9.8.1/24 dev mvtest0"),
                0);
    }
    Socket s;
    ASSERT_EQ(OpenCaptureSocket("127.9.8.1", &s.h, path.pRing), nullptr);
    ASSERT_EQ(SetReceiveTimeout(s.h, 50), nullptr);
    ASSERT_EQ(std::system("ip link del mvtest0"), 0);
    pollfd pfd{s.h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    ASSERT_TRUE(pfd.revents & POLLERR);
    std::array<BYTE, 1500> buf{};
    EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), SOCKET_ERROR);
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "the error was taken";
    EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), SOCKET_ERROR);  // the time-out
  }
}

TEST(IfAddr, ListsTheNamespacesAddressesInKernelOrder) {
  ASSERT_EQ(std::system("ip addr add 127.0.0.5/8 dev lo label lo:five"), 0);
  std::vector<std::string> arr = {"kept"};
  GetIPv4Addresses(arr);
  EXPECT_EQ(arr, (std::vector<std::string>{"kept", "127.0.0.1", "127.0.0.2", "127.0.0.5"}));

  const int nLo = static_cast<int>(if_nametoindex("lo"));
  const struct {
    const char* pszAddr;
    BOOL bFound;
  } cases[] = {{"127.0.0.1", TRUE}, {"127.0.0.2", TRUE}, {"127.0.0.5", TRUE} /* alias label lo:five */,
               {"127.0.0.3", FALSE}, {"10.1.2.3", FALSE}, {"0.0.0.0", FALSE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszAddr);
    int nIndex = -1;
    bool bLoopback = false;
    EXPECT_EQ(FindCaptureInterface(c.pszAddr, &nIndex, &bLoopback) == HELPER_OK, c.bFound == TRUE);
    if (c.bFound) {
      EXPECT_EQ(nIndex, nLo);
      EXPECT_TRUE(bLoopback);
    }
  }
  ASSERT_EQ(std::system("ip addr del 127.0.0.5/8 dev lo"), 0);
}

}  // namespace
