// Real capture on a wire: a veth pair between the test's namespace
// (127.9.0.1) and a second one held by a child process (127.9.0.2). Like a
// network card, the interface shows both directions, each datagram once, and
// nothing of other interfaces.
#include <gtest/gtest.h>

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

}  // namespace
