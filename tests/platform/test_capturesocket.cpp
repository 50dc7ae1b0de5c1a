// The capture socket, both halves: the helper's steps and feed, run here on
// a thread (the helper process is test_engine's and test_capture_lo's), and
// the program's end of the channel that reads the feed's batches. On the
// loopback of the test's own network namespace (127.0.0.2 is there).
#include "platform/capturesocket.h"

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
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capturehelper/capturefeed.h"
#include "capturehelper/capturesteps.h"
#include "platform/capturebatch.h"
#include "platform/helperclient.h"
#include "platform/threadmsg.h"

namespace {

constexpr const char* kAddr = "127.0.0.2";

struct Socket {
  explicit Socket(SOCKET h = INVALID_SOCKET) : h(h) {}
  ~Socket() { CloseSocket(h); }
  SOCKET h;
};

// A ring small enough to wrap around within a test.
constexpr PacketRingGeometry kSmallRing{4096, 4, 10};

// The helper's capture on the interface holding pszAddr, its feed on a thread
// of this process, and the program's end of the channel (h) as a capture
// socket with a receive time-out of nTimeoutMs (0: none).
class Feed {
 public:
  explicit Feed(const PacketRingGeometry* pRing, int nTimeoutMs, int nStallMs = kWireStalledReaderMs,
                const char* pszAddr = kAddr)
      : m_nStallMs(nStallMs) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    h = fds[0], m_fdHelper = fds[1];
    bool bLoopback = false;
    EXPECT_EQ(FindCaptureInterface(pszAddr, &m_nIfIndex, &bLoopback), HELPER_OK);
    EXPECT_EQ(CreateCaptureSocket(&m_fd), HELPER_OK);
    EXPECT_EQ(BindCaptureInterface(m_fd, m_nIfIndex), HELPER_OK);
    EXPECT_EQ(StartCapture(m_fd, m_nIfIndex, bLoopback, pRing, &m_pRing), HELPER_OK);
    EXPECT_EQ(m_pRing != nullptr, pRing != nullptr);
    EXPECT_EQ(AdoptCaptureChannel(h, 0), nullptr);
    EXPECT_EQ(SetReceiveTimeout(h, nTimeoutMs), nullptr);
  }
  ~Feed() {
    CloseSocket(h);  // the feed sees the channel end
    if (m_thread.joinable()) m_thread.join();
    close(m_fdHelper);
    close(m_fd);
  }
  void DetachFilter() {
    const int nUnused = 0;  // the option takes no value, yet the kernel wants an int's length
    EXPECT_EQ(setsockopt(m_fd, SOL_SOCKET, SO_DETACH_FILTER, &nUnused, sizeof nUnused), 0);
  }
  Feed& Run() {
    m_thread = std::thread([this] {
      m_end.set_value(ForwardCapture(m_fd, m_pRing.get(), m_nIfIndex, m_fdHelper, *m_pBatch, m_nStallMs));
    });
    return *this;
  }
  // How the feed ended (a FeedEnd), waiting for it at most 10 s; -1 when it did not.
  int WaitForEnd() {
    if (!m_ended.valid()) m_ended = m_end.get_future();
    return m_ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? static_cast<int>(m_ended.get())
                                                                                   : -1;
  }
  SOCKET h = INVALID_SOCKET;
  int m_fdHelper = -1;

 private:
  const int m_nStallMs;
  int m_fd = -1;
  int m_nIfIndex = 0;
  std::unique_ptr<PacketRing> m_pRing;
  std::unique_ptr<WireBatch> m_pBatch = std::make_unique<WireBatch>();
  std::thread m_thread;
  std::promise<FeedEnd> m_end;
  std::future<FeedEnd> m_ended;
};

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
// step is "Create socket failed.".
TEST(CaptureSocket, EachStepReportsItsOwnFailure) {
  Socket udp(socket(AF_INET, SOCK_DGRAM, 0));
  int fdUnbound = -1;
  ASSERT_EQ(CreateCaptureSocket(&fdUnbound), HELPER_OK);
  int nIfIndex = 0;
  bool bLoopback = false;
  auto bindTo = [&](const char* psz) { return StepErrorOfHelperStatus(FindCaptureInterface(psz, &nIfIndex, &bLoopback)); };
  std::unique_ptr<PacketRing> pRing;
  const std::pair<StepError, const char*> cases[] = {
      {bindTo("10.255.255.1"), kBindIpFailed},  // no interface holds it
      {bindTo("127.0.0.3"), kBindIpFailed},     // routed locally, yet nobody's address
      {bindTo("127.2"), kBindIpFailed},         // not dotted-decimal
      {bindTo("127.0.0.02"), kBindIpFailed},
      {bindTo("127.0.0.2 "), kBindIpFailed},
      {bindTo(nullptr), kBindIpFailed},
      {StepErrorOfHelperStatus(BindCaptureInterface(-1, 1)), kBindIpFailed},
      {StepErrorOfHelperStatus(StartCapture(udp.h, 1, false, nullptr, &pRing)), kBindIpFailed},
      {StepErrorOfHelperStatus(EnterPromiscuousMode(fdUnbound)), kReceiveAllFailed},
      {StepErrorOfHelperStatus(EnterPromiscuousMode(udp.h)), kReceiveAllFailed},
      {StepErrorOfHelperStatus(2), kCreateSocketFailed},  // the number of a step the helper no longer takes
      {StepErrorOfHelperStatus(9), kCreateSocketFailed},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_STREQ(cases[i].first, cases[i].second) << "case " << i;
  EXPECT_EQ(bindTo(kAddr), nullptr);
  close(fdUnbound);
}

int CountOpenFds() {
  auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return int(std::distance(begin(it), end(it)));
}

// Only one byte is an answer, and never with a descriptor: one that arrives
// anyway is closed and the answer refused.
TEST(HelperAnswer, OnlyOneByteAndNoDescriptorIsAnAnswer) {
  Socket other(socket(AF_INET, SOCK_DGRAM, 0));
  const std::string kOk(1, char(HELPER_OK)), kBind(1, char(HELPER_BIND_FAILED));
  const struct { std::string strBytes; bool bWithFd; const char* pszWanted; } cases[] = {
      {kOk, false, nullptr},
      {std::string(1, char(HELPER_RECEIVE_ALL_FAILED)), false, kReceiveAllFailed},
      {kOk, true, kCreateSocketFailed},  // a helper handing out a socket again
      {kBind, true, kCreateSocketFailed},
      {kOk + kOk, false, kCreateSocketFailed},
      {"", false, kCreateSocketFailed},   // end-of-file
      {"?", false, kCreateSocketFailed},  // nothing within the wait: the helper said nothing yet
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.strBytes) + (c.bWithFd ? " with a descriptor" : ""));
    int fdPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair), 0);
    Socket ours(fdPair[0]), theirs(fdPair[1]);
    if (c.strBytes != "?" && !c.strBytes.empty()) {
      iovec iov{const_cast<char*>(c.strBytes.data()), c.strBytes.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
      msghdr msg{nullptr, 0, &iov, 1, c.bWithFd ? control : nullptr, c.bWithFd ? sizeof control : 0, 0};
      if (c.bWithFd) {
        *CMSG_FIRSTHDR(&msg) = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
        std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), &other.h, sizeof(int));
      }
      ASSERT_EQ(sendmsg(theirs.h, &msg, 0), ssize_t(c.strBytes.size()));
    }
    if (c.strBytes != "?") close(std::exchange(theirs.h, INVALID_SOCKET));
    const int nFdsBefore = CountOpenFds();
    EXPECT_STREQ(ReceiveHelperAnswer(ours.h, 0), c.pszWanted);
    EXPECT_EQ(CountOpenFds(), nFdsBefore) << "whatever arrived is closed";
  }
}

// The program reads what the helper's writer makes, and refuses whatever
// breaks the format without handing out a single frame of it.
TEST(CaptureBatch, ReadsWhatTheHelperWritesAndRefusesAnythingElse) {
  WireBatch writer;
  const std::vector<BYTE> kLong(3028, 'L');
  ASSERT_TRUE(writer.Add(reinterpret_cast<const BYTE*>("abc"), 3, 3));
  ASSERT_TRUE(writer.Add(kLong.data(), 3028, 3028));  // cut, its length on the link kept
  const std::vector<BYTE> good = writer.Bytes(7);
  const auto patched = [&](std::size_t nAt, std::vector<BYTE> bytes) {
    std::vector<BYTE> msg = good;
    std::copy(bytes.begin(), bytes.end(), msg.begin() + long(nAt));
    return msg;
  };
  constexpr std::size_t kFrame2 = sizeof(WireBatchHeader) + sizeof(WireFrameHeader) + 3;  // the second frame's header
  std::vector<BYTE> longer = good;
  longer.push_back(0);
  const struct {
    const char* pszName;
    std::vector<BYTE> msg;
    std::string strFrames;  // "" for refused
  } rows[] = {
      {"as written", good, "abc/3 L1500/3028 drops 7"},
      {"no frames, a drop count", WireBatch().Bytes(9), " drops 9"},
      {"shorter than a header", std::vector<BYTE>(good.begin(), good.begin() + 15), ""},
      {"one frame more than there is", patched(8, {3}), ""},
      {"one frame less than there is", patched(8, {1}), ""},
      {"bytes behind the last frame", [&] { auto m = longer; m[12] += 1; return m; }(), ""},
      {"its length past the message", patched(12, {BYTE(good[12] + 1)}), ""},
      {"more captured than a frame carries", patched(kFrame2 + 4, {0xDD, 0x05}), ""},  // 1501
      {"a frame shorter than its capture", patched(kFrame2, {0xDB, 0x05, 0, 0}), ""},   // 1499 of 1500
      {"a reserved bit", patched(kFrame2 + 6, {1}), ""},
      {"longer than any batch", std::vector<BYTE>(kWireMaxMessageBytes + 1, 0), ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    CaptureBatchReader reader;
    std::string strGot;
    if (reader.Open(row.msg.data(), row.msg.size())) {
      for (CaptureFrame f; reader.Next(&f);)
        strGot += (strGot.empty() ? "" : " ") +
                  (f.nCaptured > 3 ? "L" + std::to_string(f.nCaptured) : std::string(f.pData, f.pData + f.nCaptured)) +
                  "/" + std::to_string(f.nFrameLen);
      strGot += " drops " + std::to_string(reader.KernelDrops());
    }
    EXPECT_EQ(strGot, row.strFrames);
    CaptureFrame f;
    EXPECT_FALSE(reader.Next(&f));
  }
  WireBatch full;
  int nAdded = 0;
  while (full.Add(kLong.data(), 1500, 1500)) ++nAdded;
  EXPECT_EQ(nAdded, int((kWireMaxMessageBytes - sizeof(WireBatchHeader)) / (sizeof(WireFrameHeader) + 1500)));
}

// A channel that ends, or breaks the format, ends receiving for good: the
// frames before it arrive, none after, and the helper sees its end.
TEST(CaptureSocket, ABrokenOrEndedChannelEndsReceiving) {
  WireBatch writer;
  writer.Add(reinterpret_cast<const BYTE*>("E\x00\x00\x15" "first"), 9, 9);
  const std::vector<BYTE> batch = writer.Bytes(0);
  for (const bool bBreak : {true, false}) {
    SCOPED_TRACE(bBreak ? "a malformed batch" : "end-of-file");
    int fdPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair), 0);
    Socket ours(fdPair[0]);
    ASSERT_EQ(AdoptCaptureChannel(ours.h, 0), nullptr);
    ASSERT_EQ(SetReceiveTimeout(ours.h, 0), nullptr);  // no time-out: only the end ends the wait
    ASSERT_EQ(send(fdPair[1], batch.data(), batch.size(), 0), ssize_t(batch.size()));
    if (bBreak) {
      ASSERT_EQ(send(fdPair[1], "junk", 4, 0), 4);
      ASSERT_EQ(send(fdPair[1], batch.data(), batch.size(), 0), ssize_t(batch.size()));
    } else {
      close(std::exchange(fdPair[1], -1));
    }
    BYTE buf[1500];
    EXPECT_EQ(ReceiveDatagram(ours.h, buf, sizeof buf), 9);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(ReceiveDatagram(ours.h, buf, sizeof buf), SOCKET_ERROR);
    if (bBreak) {
      pollfd pfd{fdPair[1], POLLIN, 0};
      EXPECT_EQ(poll(&pfd, 1, 0), 1);
      EXPECT_TRUE(pfd.revents & POLLHUP) << "the helper must see the end, or it captures on";
      close(fdPair[1]);
    }
  }
}

// Whatever the path: a long datagram is cut, with its length on the link;
// other protocols and loopback's outgoing copies are skipped, by the kernel
// filter or, without it, by the feed itself.
TEST(CaptureSocket, ReceivesWhatTheDecoderNeedsOnEveryPath) {
  UdpLoop udp;
  const std::pair<const char*, const PacketRingGeometry*> kPaths[] = {
      {"capture ring", &kCaptureRing}, {"small ring", &kSmallRing}, {"socket buffer", nullptr}};
  for (const auto& [pszPath, pRing] : kPaths) {
    for (const bool bFilter : {true, false}) {
      SCOPED_TRACE(std::string(pszPath) + (bFilter ? ", kernel filter" : ", no kernel filter"));
      Feed feed(pRing, 2000);
      if (!bFilter) feed.DetachFilter();
      feed.Run();
      udp.Send(std::string(3000, 'L'));  // loopback's MTU lets it through whole
      int nFrameLen = 0;
      EXPECT_EQ(ReceiveUdp(feed.h, &nFrameLen), std::string(1500 - 28, 'L'));
      EXPECT_EQ(nFrameLen, 3028);
      std::vector<std::string> got;
      for (int i = 0; i < 3; ++i) {  // taken as they come: a small ring holds only a few retire time-outs
        SendFrame(ETH_P_IPV6, std::vector<BYTE>(60, 0x60));
        SendFrame(ETH_P_ARP, std::vector<BYTE>(28, 0x01));
        udp.Send("wanted-" + std::to_string(i));
        got.push_back(ReceiveUdp(feed.h));
      }
      EXPECT_EQ(got, (std::vector<std::string>{"wanted-0", "wanted-1", "wanted-2"}));
      ASSERT_EQ(SetReceiveTimeout(feed.h, 200), nullptr);
      EXPECT_EQ(ReceiveUdp(feed.h), "-");
    }
  }
}

// More datagrams go through a small ring than it holds: every block is handed
// back and reused, frames of all lengths taken whole and in order.
TEST(CaptureSocket, ASmallRingWrapsAroundManyTimes) {
  UdpLoop udp;
  Feed feed(&kSmallRing, 1000);
  feed.Run();
  auto payload = [](int i) { return std::to_string(i) + ":" + std::string(std::size_t(i * 37 % 900), 'p'); };
  for (int i = 0; i < 200; ++i) {  // some 100 KiB through a 16 KiB ring
    udp.Send(payload(i));
    ASSERT_EQ(ReceiveUdp(feed.h), payload(i));
  }
}

// A reader that takes nothing makes the helper wait, while the kernel drops
// what the ring cannot hold and counts it; what arrives comes in order, and
// the count reaches the program.
TEST(CaptureSocket, AStalledReaderCostsFramesThatAreCounted) {
  UdpLoop udp;
  Feed feed(&kSmallRing, 300);
  feed.Run();
  const std::uint64_t nDropsBefore = GetKernelDropsOfAllSockets();
  constexpr int kSent = 2000;  // 2 MB: far more than the channel and the ring hold together
  for (int i = 0; i < kSent; ++i) udp.Send(std::to_string(100000 + i) + std::string(994, 'x'));
  int nGot = 0, nLast = -1;
  for (std::string str; (str = ReceiveUdp(feed.h)) != "-"; ++nGot) {
    const int nSeq = std::atoi(str.substr(0, 6).c_str()) - 100000;
    ASSERT_GT(nSeq, nLast) << "out of order";
    nLast = nSeq;
  }
  const std::uint64_t nDrops = GetKernelDropsOfAllSockets() - nDropsBefore;
  EXPECT_GT(nDrops, 0u);
  EXPECT_LE(nGot + nDrops, std::uint64_t(kSent));
  EXPECT_GT(nGot, 0);
}

// How the feed ends: the program's end closed or written to, a program that
// takes nothing for the stall bound, the interface removed.
TEST(CaptureSocket, TheFeedEndsWithItsChannelAStalledReaderOrItsInterface) {
  UdpLoop udp;
  {
    Feed feed(&kCaptureRing, 0);
    feed.Run();
    CloseSocket(std::exchange(feed.h, INVALID_SOCKET));
    EXPECT_EQ(feed.WaitForEnd(), int(FeedEnd::kChannelEnded));
  }
  {
    Feed feed(&kCaptureRing, 0);
    feed.Run();
    ASSERT_EQ(send(feed.h, "?", 1, 0), 1);
    EXPECT_EQ(feed.WaitForEnd(), int(FeedEnd::kChannelEnded)) << "the helper reads nothing from the program";
  }
  {
    Feed feed(&kCaptureRing, 0, 300);
    feed.Run();
    for (int i = 0; i < 1000; ++i) udp.Send(std::string(1000, 's'));  // far more than the channel holds
    EXPECT_EQ(feed.WaitForEnd(), int(FeedEnd::kReaderStalled));
  }
  if (std::system("ip link add mvY type veth peer name mvZ && ip addr add 127.6.0.1/24 dev mvY && "
                  "ip link set mvY up") != 0)
    GTEST_SKIP() << "no veth pair (needs the veth driver)";
  Feed feed(&kCaptureRing, 0, kWireStalledReaderMs, "127.6.0.1");
  feed.Run();
  EXPECT_EQ(std::system("ip link del mvY"), 0);
  EXPECT_EQ(feed.WaitForEnd(), int(FeedEnd::kInterfaceGone));
}

// A message in the calling thread's queue ends a receive (without a time-out)
// once the datagrams already waiting are taken, and uses the wake up, so the
// next receive waits for data although the message stays.
TEST(CaptureSocket, AQueuedMessageEndsTheReceiveOnce) {
  UdpLoop udp;
  for (MSG msg; PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);) {
  }
  // A block retired after 2 s holds the whole burst, however loaded the machine.
  constexpr PacketRingGeometry kLateRetireRing{64 * 1024, 4, 2000};
  for (const PacketRingGeometry* pRing : {&kLateRetireRing, static_cast<const PacketRingGeometry*>(nullptr)}) {
    SCOPED_TRACE(pRing ? "ring" : "socket buffer");
    Feed feed(pRing, 0);
    for (int i = 0; i < 3; ++i) udp.Send("waiting-" + std::to_string(i));
    feed.Run();
    pollfd pfd{feed.h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReceiveUdp(feed.h), "waiting-" + std::to_string(i));
    EXPECT_EQ(ReceiveUdp(feed.h), "-");
    pollfd wake{GetThreadQueueWakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&wake, 1, 0), 0) << "the wake must be used up, or the capture loop spins";
    udp.Send("after-wake");
    EXPECT_EQ(ReceiveUdp(feed.h), "after-wake");
    EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_REMOVE));
  }
}

}  // namespace
