// Real capture on a wire: a veth pair between the test's namespace
// (127.9.0.1) and a second one held by a child process (127.9.0.2).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"
#include "platform/capturesocket.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kNear = "127.9.0.1";
constexpr const char* kFar = "127.9.0.2";

class CaptureVeth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The far namespace lives as long as this child, which prints its pid from inside it.
    s_pPeer = popen("exec unshare -n sh -c 'echo $$; exec sleep 60'", "r");
    if (!s_pPeer || std::fscanf(s_pPeer, "%d", &s_nPeer) != 1) return;
    // 127/8 addresses on a non-loopback link need route_localnet in both namespaces.
    const std::string strLocal = "sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.mv";
    s_bReady = std::system(("ip link add mvA type veth peer name mvB && ip link set mvB netns " + Peer() + " && " +
                            strLocal + "A.route_localnet=1 && ip addr add 127.9.0.1/24 dev mvA && ip link set mvA up")
                               .c_str()) == 0 &&
               FarEnd("ip link set lo up && " + strLocal + "B.route_localnet=1 && ip addr add 127.9.0.2/24 dev mvB && "
                      "ip link set mvB up") == 0;
  }
  static void TearDownTestSuite() {
    if (s_nPeer > 0) kill(s_nPeer, SIGKILL);  // the pair goes with the far namespace
    if (s_pPeer) pclose(s_pPeer);
  }
  void SetUp() override {
    if (!s_bReady) GTEST_SKIP() << "no veth pair (needs root and the veth driver)";
    ASSERT_TRUE(m_engine.Open(kNear, CAPTURE_PORT)) << m_engine.GetErrorText();
    m_engine.SetNotifyWindow(m_log.hwnd(), WM_ENGINE_NOTIFY);
    ASSERT_TRUE(m_engine.Start()) << m_engine.GetErrorText();
  }
  static std::string Peer() { return std::to_string(s_nPeer); }
  // Runs a bash command line in the far namespace; "printf X >/dev/udp/..." sends one datagram.
  static int FarEnd(const std::string& strBash, const char* pszAfter = "") {
    return std::system(("nsenter -t " + Peer() + " -n bash -c '" + strBash + "'" + pszAfter).c_str());
  }
  bool Listed(const std::string& strText) { return !m_log.WithPayload(strText).empty(); }
  // The near end's promiscuity count (ip -d link), -1 when it cannot be read.
  static int Promiscuity() {
    FILE* p = popen("ip -d link show mvA", "r");
    std::string strOut;
    for (char sz[256]; p && std::fgets(sz, sizeof sz, p);) strOut += sz;
    if (p) pclose(p);
    const auto nAt = strOut.find("promiscuity ");
    return nAt == std::string::npos ? -1 : std::atoi(strOut.c_str() + nAt + 12);
  }
  static inline FILE* s_pPeer = nullptr;
  static inline int s_nPeer = -1;
  static inline bool s_bReady = false;
  NoticeLog m_log;
  CCaptureEngine m_engine;
};

// A 4000-byte UDP datagram on a 1500-byte link goes as three fragments: the
// first has the UDP header and its ports, the later two carry data only.
TEST_F(CaptureVeth, SeesBothDirectionsOnceFragmentsAndOnlyThisInterface) {
  ASSERT_TRUE(nettraffic::SendUdp("127.0.0.2", 44004, "127.0.0.2", 44005, "loopback-only"));
  ASSERT_TRUE(nettraffic::SendUdp(kNear, 44011, kFar, 44012, std::string(4000, 'F')));
  ASSERT_TRUE(nettraffic::SendUdp(kNear, 44001, kFar, 44002, "veth-out"));
  ASSERT_EQ(FarEnd("printf veth-in >/dev/udp/127.9.0.1/44003"), 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Listed("veth-out") && Listed("veth-in"); }));
  // A veth hands frames for other hardware addresses to packet sockets
  // anyway, so only the count shows that receive-all took effect.
  EXPECT_EQ(Promiscuity(), 1) << "receive-all is promiscuous membership";
  m_engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return m_log.CountStopped() == 1; }));
  EXPECT_EQ(Promiscuity(), 0) << "the membership ends with the capture";
  const struct {
    std::string strText, strAddrs;
    int nSrcPort, nDesPort, nSize;  // nSrcPort -1: the far end's own choice
  } wants[] = {{"veth-out", "127.9.0.1 127.9.0.2", 44001, 44002, 36}, {"veth-in", "127.9.0.2 127.9.0.1", -1, 44003, 35},
               {std::string(1472, 'F'), "127.9.0.1 127.9.0.2", 44011, 44012, 1500},  // 4008 bytes of UDP
               {std::string(1480, 'F'), "127.9.0.1 127.9.0.2", 0, 0, 1500},
               {std::string(1048, 'F'), "127.9.0.1 127.9.0.2", 0, 0, 1068}};
  for (const auto& want : wants) {
    SCOPED_TRACE(want.strText.substr(0, 10));
    const auto found = m_log.WithPayload(want.strText);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->rec().strSrcAddr + " " + found[0]->rec().strDesAddr, want.strAddrs);
    EXPECT_EQ(want.nSrcPort < 0 ? -1 : found[0]->rec().nSrcPort, want.nSrcPort);
    EXPECT_EQ(found[0]->rec().nDesPort, want.nDesPort);
    EXPECT_EQ(found[0]->rec().wSize, want.nSize);
  }
  for (const NoticeLog::Seen& n : m_log.notices)  // neither ARP, IPv6 nor loopback
    EXPECT_TRUE(!n.p->pRecord || n.rec().strSrcAddr.rfind("127.9.0.", 0) == 0) << n.p->strText;
}

// The link going down and up: the engine goes on listing, and beside it a
// receive is not ended by the interface's going down (it waits with no time-out).
TEST_F(CaptureVeth, CaptureGoesOnAcrossTheLinkGoingDownAndUp) {
  SOCKET hSocket = INVALID_SOCKET;
  ASSERT_EQ(OpenCaptureSocket(kNear, &hSocket), nullptr);
  ASSERT_EQ(SetReceiveTimeout(hSocket, 0), nullptr);
  ASSERT_EQ(std::system("ip link set mvA down && ip link set mvA up"), 0);
  // Probes in the background, while the far namespace lives: the first ones may go before it sees carrier.
  ASSERT_EQ(FarEnd("for i in {1..200}; do kill -0 " + Peer() + " || break; printf probe >/dev/udp/127.9.0.1/44022; "
                   "sleep 0.05; done", " >/dev/null 2>&1 &"), 0);
  BYTE buf[PACKET_BUFFER_SIZE];
  int n = 0;
  while (n != SOCKET_ERROR && !(n >= 33 && std::memcmp(buf + 28, "probe", 5) == 0))
    n = ReceiveDatagram(hSocket, buf, PACKET_BUFFER_SIZE);
  CloseSocket(hSocket);
  EXPECT_NE(n, SOCKET_ERROR) << "the receive ended when the link went down";
  EXPECT_TRUE(ProcessEventsUntil([&] { return Listed("probe"); })) << "capture did not go on";
}

// An interface removed under a capture ends the run as a stop would: the
// thread posts NOTICE_STOPPED and the engine is Idle again.
TEST(CaptureGone, ARemovedInterfaceEndsTheRun) {
  if (std::system("ip link add mvC type veth peer name mvD && ip addr add 127.9.1.1/24 dev mvC && "
                  "ip link set mvC up") != 0)
    GTEST_SKIP() << "no veth pair (needs root and the veth driver)";
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open("127.9.1.1", CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  ASSERT_EQ(std::system("ip link del mvC"), 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; })) << "the capture went silent";
  EXPECT_FALSE(engine.IsOpened() || engine.IsRunning());
}

}  // namespace
