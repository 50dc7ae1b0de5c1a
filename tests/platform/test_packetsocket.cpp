// The packet socket's steps, failures and receive, on the loopback of the
// test's own network namespace (127.0.0.2 is there).
#include "platform/packetsocket.h"

#include <arpa/inet.h>
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
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ifaddr.h"
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

// A packet socket bound to the loopback, or INVALID_SOCKET.
SOCKET OpenBound(int nTimeoutMs) {
  SOCKET h = INVALID_SOCKET;
  if (CreatePacketSocket(&h) || (nTimeoutMs > 0 && SetReceiveTimeout(h, nTimeoutMs)) || BindToAddress(h, kAddr)) {
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
  ASSERT_EQ(CreatePacketSocket(&unbound.h), nullptr);
  const struct {
    const char* pszName;
    StepError pszGot;
    const char* pszWanted;
  } cases[] = {
      {"time-out on no socket", SetReceiveTimeout(INVALID_SOCKET, 5000), kSetSocketOptionFailed},
      {"bind: address no interface holds", BindToAddress(unbound.h, "10.255.255.1"), kBindIpFailed},
      {"bind: 127/8 is routed locally but 127.0.0.3 is nobody's address", BindToAddress(unbound.h, "127.0.0.3"),
       kBindIpFailed},
      {"bind: not dotted-decimal", BindToAddress(unbound.h, "127.2"), kBindIpFailed},
      {"bind: null", BindToAddress(unbound.h, nullptr), kBindIpFailed},
      {"bind: no socket", BindToAddress(INVALID_SOCKET, kAddr), kBindIpFailed},
      {"receive-all: not bound", EnterReceiveAll(unbound.h), kReceiveAllFailed},
      {"receive-all: not a packet socket", EnterReceiveAll(udp.h), kReceiveAllFailed},
      {"receive-all: no socket", EnterReceiveAll(INVALID_SOCKET), kReceiveAllFailed},
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
    SOCKET h = 12345;
    EXPECT_STREQ(CreatePacketSocket(&h), kCreateSocketFailed);
    EXPECT_EQ(h, INVALID_SOCKET);
  }).join();
}

TEST(PacketSocket, ReceiveAllIsPromiscuousModeUntilTheSocketCloses) {
  ASSERT_FALSE(LoopbackIsPromiscuous());
  {
    Socket s(OpenBound(1000));
    ASSERT_NE(s.h, INVALID_SOCKET);
    ASSERT_EQ(EnterReceiveAll(s.h), nullptr);
    EXPECT_TRUE(LoopbackIsPromiscuous());
  }
  EXPECT_FALSE(LoopbackIsPromiscuous());
}

TEST(PacketSocket, CutsLongDatagramsAtTheBufferAndDropsLinkPadding) {
  UdpListener listener(45000), listener2(45001);
  ASSERT_TRUE(listener.bBound && listener2.bBound);
  Socket s(OpenBound(5000));
  ASSERT_NE(s.h, INVALID_SOCKET);
  SendUdp(std::string(3000, 'L'));  // loopback's MTU lets it through whole
  // A 28-byte datagram in a frame padded to Ethernet's 46-byte minimum,
  // sent straight onto the link (the outgoing copy is skipped on loopback).
  std::vector<BYTE> padded = {0x45, 0,    0,    28, 0,    0,    0,    0,    64,   17,   0,   0,
                              127,  0,    0,    2,  127,  0,    0,    2,    0xAF, 0xC8, 0xAF, 0xC9,
                              0,    8,    0,    0};
  padded.resize(46, 0);
  {
    const int fdRaw = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_IP);
    sll.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    sll.sll_halen = ETH_ALEN;
    ASSERT_EQ(sendto(fdRaw, padded.data(), padded.size(), 0, reinterpret_cast<sockaddr*>(&sll), sizeof sll), 46);
    close(fdRaw);
  }
  std::array<BYTE, 1500> buf{};
  EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), 1500);
  EXPECT_EQ((buf[2] << 8) | buf[3], 3028);
  EXPECT_EQ(ReceiveDatagram(s.h, buf.data(), 1500), 28);
  EXPECT_EQ(buf[20], 0xAF);
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
    in_addr addr{};
    inet_pton(AF_INET, c.pszAddr, &addr);
    int nIndex = -1;
    BOOL bLoopback = FALSE;
    EXPECT_EQ(FindInterfaceOfAddress(addr.s_addr, &nIndex, &bLoopback), c.bFound);
    if (c.bFound) {
      EXPECT_EQ(nIndex, nLo);
      EXPECT_TRUE(bLoopback);
    }
  }
  ASSERT_EQ(std::system("ip addr del 127.0.0.5/8 dev lo"), 0);
}

}  // namespace
