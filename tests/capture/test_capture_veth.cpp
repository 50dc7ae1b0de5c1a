// Real capture on a wire: a veth pair between the test's namespace
// (127.9.0.1) and a second one held by a child process (127.9.0.2). Like a
// network card, the interface shows both directions, each datagram once, and
// nothing of other interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>
#include <string>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kNear = "127.9.0.1";
constexpr const char* kFar = "127.9.0.2";

class CaptureVeth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    using nettraffic::Sh;
    // The far end's namespace lives as long as this child; it prints a line
    // once it is inside it.
    s_pidPeer = nettraffic::StartAndWaitForLine({"unshare", "-n", "sh", "-c", "echo; exec sleep 60"});
    if (s_pidPeer <= 0) return;
    const std::string strPid = std::to_string(s_pidPeer);
    // 127/8 addresses on a non-loopback link need route_localnet, on every
    // interface concerned and on "all", in both namespaces.
    s_bReady =
        Sh("ip link add mvA type veth peer name mvB") == 0 && Sh("ip link set mvB netns " + strPid) == 0 &&
        Sh("sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.mvA.route_localnet=1") == 0 &&
        Sh("ip addr add 127.9.0.1/24 dev mvA && ip link set mvA up") == 0 &&
        Sh("nsenter -t " + strPid +
           " -n sh -c 'ip link set lo up && sysctl -qw net.ipv4.conf.all.route_localnet=1 "
           "net.ipv4.conf.mvB.route_localnet=1 && ip addr add 127.9.0.2/24 dev mvB && ip link set mvB up'") == 0;
  }

  static void TearDownTestSuite() {
    // The veth pair goes with the far namespace, and that with its last process.
    if (s_pidPeer > 0) {
      kill(s_pidPeer, SIGKILL);
      waitpid(s_pidPeer, nullptr, 0);
    }
  }

  void SetUp() override {
    if (!s_bReady) GTEST_SKIP() << "no veth pair (needs root and the veth driver)";
  }

  // From the far namespace: one UDP datagram to the near end.
  static bool SendFromFar(int nPort, const std::string& strPayload) {
    return nettraffic::Sh("nsenter -t " + std::to_string(s_pidPeer) + " -n bash -c 'printf %s " + strPayload +
                          " > /dev/udp/127.9.0.1/" + std::to_string(nPort) + "'") == 0;
  }

  static inline pid_t s_pidPeer = -1;
  static inline bool s_bReady = false;
};

TEST_F(CaptureVeth, SeesBothDirectionsOnceAndOnlyThisInterface) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kNear, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();

  ASSERT_TRUE(nettraffic::SendUdp(kNear, 44001, kFar, 44002, "veth-out"));
  ASSERT_TRUE(nettraffic::SendIcmpEcho(kNear, kFar, 0x4142, 0x4344, "veth-ping"));
  ASSERT_TRUE(SendFromFar(44003, "veth-in"));
  ASSERT_TRUE(nettraffic::SendUdp("127.0.0.2", 44004, "127.0.0.2", 44005, "loopback-only"));
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return !log.WithPayload("veth-in").empty() && log.WithPayload("ABCDveth-ping").size() >= 2;
  }));
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));

  const auto out = log.WithPayload("veth-out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->strSrcAddr, kNear);
  EXPECT_EQ(out[0]->strDesAddr, kFar);
  EXPECT_EQ(out[0]->nSrcPort, 44001);
  EXPECT_EQ(out[0]->nDesPort, 44002);
  EXPECT_EQ(out[0]->wSize, 20 + 8 + 8);

  const auto in = log.WithPayload("veth-in");
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0]->strSrcAddr, kFar);
  EXPECT_EQ(in[0]->strDesAddr, kNear);
  EXPECT_EQ(in[0]->nDesPort, 44003);

  const auto ping = log.WithPayload("ABCDveth-ping");
  ASSERT_EQ(ping.size(), 2u) << "the request going out and the reply coming in";
  std::set<std::pair<std::string, std::string>> directions;
  for (const SeenNotice* n : ping) directions.emplace(n->strSrcAddr, n->strDesAddr);
  EXPECT_EQ(directions, (std::set<std::pair<std::string, std::string>>{{kNear, kFar}, {kFar, kNear}}));

  for (const SeenNotice& n : log.notices) {
    if (n.nType != NOTICE_PACKET) continue;
    // ARP and IPv6 neighbour discovery cross this link too; neither is IPv4.
    EXPECT_TRUE(n.strSrcAddr == kNear || n.strSrcAddr == kFar) << n.strSrcAddr;
    EXPECT_TRUE(n.strDesAddr == kNear || n.strDesAddr == kFar) << n.strDesAddr;
  }
}

// A 4000-byte UDP datagram on a 1500-byte link goes as three fragments: the
// first has the UDP header and its ports, the later two carry data only.
TEST_F(CaptureVeth, FragmentsAfterTheFirstHaveNoPorts) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kNear, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  ASSERT_TRUE(nettraffic::SendUdp(kNear, 44011, kFar, 44012, std::string(4000, 'F')));
  ASSERT_TRUE(nettraffic::SendUdp(kNear, 44013, kFar, 44012, "frag-end"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("frag-end").empty(); }));
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));

  std::vector<const SeenNotice*> fragments;
  for (const SeenNotice& n : log.notices) {
    if (n.strProt == "UDP" && n.strDesAddr == kFar && n.strPayloadText.find('F') == 0) fragments.push_back(&n);
  }
  ASSERT_EQ(fragments.size(), 3u);
  // 4008 bytes of UDP in pieces of at most 1480: 1480, 1480, 1048.
  const int wants[3][3] = {{44011, 44012, 1500}, {0, 0, 1500}, {0, 0, 20 + 4008 - 2 * 1480}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fragments[static_cast<std::size_t>(i)]->nSrcPort, wants[i][0]);
    EXPECT_EQ(fragments[static_cast<std::size_t>(i)]->nDesPort, wants[i][1]);
    EXPECT_EQ(fragments[static_cast<std::size_t>(i)]->wSize, wants[i][2]);
    EXPECT_EQ(fragments[static_cast<std::size_t>(i)]->nDataLen, wants[i][2] - 20 - (i == 0 ? 8 : 0));
  }
}

// The link going down and up during capture: capture carries on, and datagrams
// sent once it is back are listed promptly, not after the receive time-out.
TEST_F(CaptureVeth, CaptureGoesOnPromptlyAfterTheLinkComesBack) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kNear, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  ASSERT_TRUE(SendFromFar(44021, "before-flap"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("before-flap").empty(); }));

  ASSERT_EQ(nettraffic::Sh("ip link set mvA down && ip link set mvA up"), 0);
  // Carrier back on both ends; the address and its route come back with the link.
  ASSERT_TRUE(ProcessEventsUntil([] { return nettraffic::Sh("ip link show mvA | grep -q LOWER_UP") == 0; }));
  // Probes until one is listed: the first may go before the far end sees carrier.
  // The receive time-out is 5 s; a capture that waited it out would miss the bound.
  const auto tBack = std::chrono::steady_clock::now();
  int nProbe = 0;
  bool bSeen = false;
  while (!bSeen && std::chrono::steady_clock::now() - tBack < std::chrono::seconds(2)) {
    ASSERT_TRUE(SendFromFar(44022, "probe-" + std::to_string(nProbe++)));
    bSeen = ProcessEventsUntil(
        [&] {
          return std::any_of(log.notices.begin(), log.notices.end(),
                             [](const SeenNotice& n) { return n.strPayloadText.rfind("probe-", 0) == 0; });
        },
        std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(bSeen) << "nothing listed within 2 s of the link coming back (" << nProbe << " probes)";
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));
  ASSERT_EQ(nettraffic::Sh("ip link set mvA up"), 0);
}

}  // namespace
