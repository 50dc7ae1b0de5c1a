// Real capture on the loopback of the test's own network namespace: every
// datagram once, with the right fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

TEST(CaptureLoopback, DeliversEachDatagramOnceWithItsFields) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();

  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41000 + i, kAddr, 42000, "udp-payload-" + std::to_string(i)));
  // Identifier "AB" and sequence "CD" lead the ICMP payload; echo and reply carry the same.
  ASSERT_TRUE(nettraffic::SendIcmpEcho(kAddr, kAddr, 0x4142, 0x4344, "icmp-data"));
  ASSERT_TRUE(nettraffic::TcpExchange(kAddr, 43001, 43002, "tcp-hello"));
  // Not IPv4: must never arrive (skipped where the namespace has no IPv6).
  {
    nettraffic::Fd s6(socket(AF_INET6, SOCK_DGRAM, 0));
    sockaddr_in6 des{};
    des.sin6_family = AF_INET6;
    des.sin6_port = htons(42001);
    des.sin6_addr = in6addr_loopback;
    sendto(s6.fd, "udp6-payload", 12, 0, reinterpret_cast<const sockaddr*>(&des), sizeof des);
  }
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41999, kAddr, 42999, "last-one"));

  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("last-one").empty(); }));
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));

  for (int i = 0; i < 3; ++i) {
    const std::string strText = "udp-payload-" + std::to_string(i);
    SCOPED_TRACE(strText);
    const auto found = log.WithPayload(strText);
    ASSERT_EQ(found.size(), 1u) << "loopback passes each datagram out and in; it must be listed once";
    EXPECT_EQ(found[0]->strProt, "UDP");
    EXPECT_EQ(found[0]->strSrcAddr, kAddr);
    EXPECT_EQ(found[0]->strDesAddr, kAddr);
    EXPECT_EQ(found[0]->strText, kAddr);
    EXPECT_EQ(found[0]->nSrcPort, 41000 + i);
    EXPECT_EQ(found[0]->nDesPort, 42000);
    EXPECT_EQ(found[0]->wSize, 20 + 8 + strText.size());
  }

  const auto icmp = log.WithPayload("ABCDicmp-data");
  ASSERT_EQ(icmp.size(), 2u) << "the echo request and its reply, once each";
  for (const SeenNotice* n : icmp) {
    EXPECT_EQ(n->strProt, "ICMP");
    EXPECT_EQ(n->nSrcPort, 0);
    EXPECT_EQ(n->nDesPort, 0);
    EXPECT_EQ(n->wSize, 20 + 8 + 9);
  }

  const auto tcp = log.WithPayload("tcp-hello");
  ASSERT_EQ(tcp.size(), 1u);
  EXPECT_EQ(tcp[0]->strProt, "TCP");
  EXPECT_EQ(tcp[0]->nSrcPort, 43001);
  EXPECT_EQ(tcp[0]->nDesPort, 43002);
  EXPECT_EQ(tcp[0]->wSize, 20 + nettraffic::TcpHeaderBytes() + 9);
  // The handshake and the close went by too, without data.
  const auto nTcpRecords = std::count_if(log.notices.begin(), log.notices.end(),
                                         [](const SeenNotice& n) { return n.strProt == "TCP"; });
  EXPECT_GE(nTcpRecords, 4);

  for (const SeenNotice& n : log.notices) {
    if (n.nType != NOTICE_PACKET) continue;
    EXPECT_EQ(n.strSrcAddr, kAddr) << "only IPv4 datagrams of this namespace";
    EXPECT_EQ(n.strDesAddr, kAddr);
    EXPECT_EQ(n.strPayloadText.find("udp6"), std::string::npos);
    // The block past the payload holds zeros, and ends in one.
    EXPECT_EQ(n.block.back(), 0);
  }
  EXPECT_EQ(log.notices.back().nType, NOTICE_STOPPED);
}

}  // namespace
