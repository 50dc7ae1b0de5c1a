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
  // Loopback's 64 KiB MTU: datagrams and segments far over 1500 bytes.
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41500, kAddr, 42000, std::string(4000, 'B')));
  const std::string strBulk = [] {
    std::string str(20000, 'T');
    for (std::size_t i = 0; i < str.size(); i += 1000) str[i] = static_cast<char>('a' + i / 1000);
    return str;
  }();
  ASSERT_TRUE(nettraffic::TcpExchange(kAddr, 43011, 43012, strBulk));
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
    EXPECT_EQ(found[0]->nDataLen, static_cast<int>(strText.size()));
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

  // Over 1500 bytes: the true size, the payload bytes that fit in the block.
  const auto big = std::find_if(log.notices.begin(), log.notices.end(), [](const SeenNotice& n) { return n.nSrcPort == 41500; });
  ASSERT_NE(big, log.notices.end());
  EXPECT_EQ(big->wSize, 20 + 8 + 4000);
  EXPECT_EQ(big->nDataLen, 1500 - 28);
  EXPECT_EQ(big->strPayloadText, std::string(1500 - 28, 'B'));
  // Every data byte of the bulk exchange is in some segment's size, and each
  // segment's block starts with its first data bytes.
  int nBulkBytes = 0, nLargest = 0;
  for (const SeenNotice& n : log.notices) {
    // Segments without data (the handshake's carry more options) hold no bytes.
    if (n.strProt != "TCP" || n.nSrcPort != 43011 || n.nDataLen == 0) continue;
    const int nData = n.wSize - 20 - nettraffic::TcpHeaderBytes();
    nBulkBytes += nData;
    nLargest = std::max<int>(nLargest, n.wSize);
    EXPECT_EQ(n.nDataLen, std::min(nData, 1500 - 20 - nettraffic::TcpHeaderBytes()));
  }
  EXPECT_EQ(nBulkBytes, static_cast<int>(strBulk.size()));
  EXPECT_GT(nLargest, 1500) << "loopback carries segments of more than 1500 bytes";

  for (const SeenNotice& n : log.notices) {
    if (n.nType != NOTICE_PACKET) continue;
    EXPECT_EQ(n.strSrcAddr, kAddr) << "only IPv4 datagrams of this namespace";
    EXPECT_EQ(n.strDesAddr, kAddr);
    EXPECT_EQ(n.strPayloadText.find("udp6"), std::string::npos);
    // The block holds nDataLen payload bytes, then zeros.
    ASSERT_GE(n.nDataLen, 0);
    ASSERT_LT(n.nDataLen, PACKET_BUFFER_SIZE);
    EXPECT_TRUE(std::all_of(n.block.begin() + n.nDataLen, n.block.end(), [](BYTE b) { return b == 0; }));
  }
  EXPECT_EQ(log.notices.back().nType, NOTICE_STOPPED);
}

}  // namespace
