// Malformed and truncated datagrams through the capture thread's own handling
// of a receive (DeliverReceivedFrame), each in a heap block of exactly the
// received bytes: under AddressSanitizer a read past them is reported. Each
// case states the record the decoding rules give, at most one per frame:
// header fields are used as they stand, header bytes past the received count
// read as zero, transport bytes past the datagram's total length read as zero
// (they are padding, or another datagram's), a datagram whose total length
// exceeds the frame is dropped, and a payload never reaches past its end.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/captureengine.h"
#include "capturetest.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr std::array<BYTE, 4> kSrc = {10, 1, 2, 3};
constexpr std::array<BYTE, 4> kDes = {10, 4, 5, 6};

// An IPv4 header whose unexamined fields hold printable bytes, so that a
// header length below 5 words, which moves the transport header into the IP
// header, shows which bytes were taken: TOS 'T', identification "ID",
// flags and fragment offset '@' 0 (don't fragment, offset 0), TTL '@' (64),
// checksum "CK".
std::vector<BYTE> Datagram(int nProt, const std::vector<BYTE>& transport, int nIhlWords = 5, int nTotalLength = -1) {
  std::vector<BYTE> dg = BuildIPv4(nProt, kSrc, kDes, transport, nIhlWords, nTotalLength);
  dg[1] = 'T';
  dg[4] = 'I';
  dg[5] = 'D';
  dg[6] = 0x40;
  dg[7] = 0;
  dg[10] = 'C';
  dg[11] = 'K';
  return dg;
}

// UDP ports "ab" and "cd", payload `text`.
std::vector<BYTE> Udp(const std::string& strText) { return UdpDatagram(0x6162, 0x6364, Bytes(strText)); }

std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<BYTE> Head(std::vector<BYTE> bytes, std::size_t nLen) {
  bytes.resize(nLen, 0);
  return bytes;
}

struct WantRecord {
  const char* pszProt;
  int nSrcPort, nDesPort;
  WORD wSize;
  int nPayloadStart;  // offset in the receive of the first payload byte the block holds; -1: none
  int nRawLen;        // received payload bytes the block holds before its zeros
  std::string strText;
};

struct MalformedCase {
  const char* pszName;
  std::vector<BYTE> receive;  // exactly the received bytes
  std::vector<WantRecord> want;
};

std::vector<MalformedCase> Cases() {
  const auto tcpData = [](int nOffsetWords) {
    return TcpSegment(0x4142, 0x4344, nOffsetWords, Bytes("data"));  // ports "AB", "CD"
  };
  auto ihl15 = Datagram(17, {}, 15, 62);
  ihl15.resize(62, 0);
  ihl15[60] = 0x12;  // the source port's two bytes are the last ones received
  ihl15[61] = 0x34;
  // 1480 bytes, then a 20-byte datagram whose 60-byte header would end 40
  // bytes past the buffer.
  const auto lastAtBufferEnd = Head(Concat({Datagram(17, Udp(std::string(1452, 'u'))), Datagram(17, {}, 15, 20)}), 1500);
  // Total length 8, then a whole datagram of the sender's choosing.
  const auto forged = Concat({Head(Datagram(17, {}, 5, 8), 20), Datagram(17, Udp("forged"))});
  return {
      // Header length below 5 words: the transport header starts inside the IP
      // header and its fields are read from there.
      {"IHL 0, UDP: ports are the first four header bytes",
       Datagram(17, Udp("wxyz"), 0),
       {{"UDP", 0x4054, 32, 32, 8, 24, "@\x11" "CK\x0a\x01\x02\x03\x0a\x04\x05\x06" "abcd"}}},
      {"IHL 1, UDP", Datagram(17, Udp("wxyz"), 1),
       {{"UDP", 0x4944, 0x4000, 32, 12, 20, "\x0a\x01\x02\x03\x0a\x04\x05\x06" "abcd"}}},
      {"IHL 2, UDP", Datagram(17, Udp("wxyz"), 2), {{"UDP", 0x4011, 0x434B, 32, 16, 16, "\x0a\x04\x05\x06" "abcd"}}},
      {"IHL 3, UDP", Datagram(17, Udp("wxyz"), 3), {{"UDP", 0x0A01, 0x0203, 32, 20, 12, "abcd"}}},
      {"IHL 4, UDP: payload starts at the UDP length field", Datagram(17, Udp("wxyz"), 4),
       {{"UDP", 0x0A04, 0x0506, 32, 24, 8, ""}}},
      {"IHL 0, TCP: data offset from the address byte 10 is 0", Datagram(6, tcpData(5), 0),
       {{"TCP", 0x4054, 44, 44, 0, 44, "@T"}}},
      {"IHL 0, ICMP: payload from the identification field", Datagram(1, IcmpEcho(1, 2, {}), 0),
       {{"ICMP", 0, 0, 28, 4, 24, "ID@"}}},
      // Header length past the received bytes: the transport fields read as zero.
      {"IHL 15, 24 bytes received", Head(Datagram(17, {}, 15, 24), 24), {{"UDP", 0, 0, 24, -1, 0, ""}}},
      {"IHL 15, the ports straddle the received end", ihl15, {{"UDP", 0x1234, 0, 62, -1, 0, ""}}},
      {"bytes behind the datagram are never a second one", lastAtBufferEnd,
       {{"UDP", 0x6162, 0x6364, 1480, 28, 1452, std::string(1452, 'u')}}},
      {"total length 8, a forged datagram behind it", forged, {{"UDP", 0, 0, 8, -1, 0, ""}}},
      // Total length 0: delivered once, payload up to the received end, walk ends.
      {"total length 0", Concat({Datagram(17, Udp("zero"), 5, 0), Datagram(17, Udp("next"))}),
       {{"UDP", 0x6162, 0x6364, 0, 28, 36, "zeroET"}}},
      // Total length below the header length: delivered with that size, and
      // no ports or payload, which would lie behind the datagram's end.
      {"total length 12", Datagram(17, Udp("abcd"), 5, 12), {{"UDP", 0, 0, 12, -1, 0, ""}}},
      {"total length 1", Datagram(17, Udp("abcd"), 5, 1), {{"UDP", 0, 0, 1, -1, 0, ""}}},
      {"total length past the received bytes", Datagram(17, Udp("abcd"), 5, 33), {}},
      {"total length past the received bytes after a good datagram",
       Concat({Datagram(17, Udp("good")), Datagram(6, tcpData(5), 5, 100)}),
       {{"UDP", 0x6162, 0x6364, 32, 28, 4, "good"}}},
      // TCP data offset below 5 words: the payload starts inside the TCP header.
      {"TCP data offset 0", Datagram(6, tcpData(0)), {{"TCP", 0x4142, 0x4344, 44, 20, 24, "ABCD"}}},
      {"TCP data offset 3", Datagram(6, tcpData(3)), {{"TCP", 0x4142, 0x4344, 44, 32, 12, "0\x18"}}},
      {"TCP data offset 4", Datagram(6, tcpData(4)), {{"TCP", 0x4142, 0x4344, 44, 36, 8, ""}}},
      // TCP data offset past the datagram: no payload, even where the receive
      // holds more bytes (they belong to the next datagram).
      {"TCP data offset 15 with its 60-byte header", Datagram(6, tcpData(15)),
       {{"TCP", 0x4142, 0x4344, 84, 80, 4, "data"}}},
      {"TCP data offset 15 past its datagram",
       Concat({Head(Datagram(6, TcpSegment(1, 2, 15, {}), 5, 44), 44), Datagram(17, Udp("next-datagram-with-more-bytes"))}),
       {{"TCP", 1, 2, 44, -1, 0, ""}}},
      // Headers cut short.
      {"TCP header of 3 bytes: data offset reads 0", Datagram(6, {0x01, 0xBB, 0xC3}),
       {{"TCP", 0x01BB, 0xC300, 23, 20, 3, "\x01\xBB\xC3"}}},
      {"UDP header of 4 bytes", Datagram(17, {0x00, 0x35, 0x00, 0x36}), {{"UDP", 53, 54, 24, -1, 0, ""}}},
      {"UDP header of 1 byte", Datagram(17, {0x02}), {{"UDP", 0x0200, 0, 21, -1, 0, ""}}},
      // Its destination port would lie in the next datagram's first bytes.
      {"UDP cut short, a datagram behind it",
       Concat({Datagram(17, {0x00, 0x35}), Datagram(1, IcmpEcho(0x7071, 0x7273, {}))}),
       {{"UDP", 53, 0, 22, -1, 0, ""}}},
      {"ICMP header of 2 bytes", Datagram(1, {8, 0}), {{"ICMP", 0, 0, 22, -1, 0, ""}}},
      {"ICMP header of 4 bytes", Datagram(1, {8, 0, 0, 0}), {{"ICMP", 0, 0, 24, -1, 0, ""}}},
      {"ICMP with one payload byte", Datagram(1, {8, 0, 0, 0, 'p'}), {{"ICMP", 0, 0, 25, 24, 1, "p"}}},
      // Receives with nothing to decode.
      // Its total length reads 0: delivered once, protocol byte 0 ("IP").
      {"one byte", {0x45}, {{"IP", 0, 0, 0, -1, 0, ""}}},
      {"first byte zero", {0, 0, 0, 20, 0, 0, 0, 0, 64, 17, 0, 0, 10, 1, 2, 3, 10, 4, 5, 6}, {}},
      {"nothing", {}, {}},
      {"IP header of 19 bytes", Head(Datagram(17, {}), 19), {}},
  };
}

// Runs one receive through a fresh engine whose notices go to `log`, and waits
// until every delivered notice has been handled.
int Deliver(const std::vector<BYTE>& receive, NoticeLog& log) {
  CCaptureEngine engine;
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  // A heap block of exactly the received bytes; new BYTE[0] is a valid empty block.
  const std::size_t nBytes = receive.size();
  std::unique_ptr<BYTE[]> exact(new BYTE[nBytes]);
  if (nBytes > 0) std::memcpy(exact.get(), receive.data(), nBytes);
  const int nFrameLen = static_cast<int>(nBytes);
  const int nDelivered = DeliverReceivedFrame(&engine, exact.get(), std::min(nFrameLen, PACKET_BUFFER_SIZE), nFrameLen);
  EXPECT_TRUE(ProcessEventsUntil([&] { return static_cast<int>(log.notices.size()) == nDelivered; }));
  return nDelivered;
}

TEST(MalformedDatagrams, GiveTheRecordsTheRulesGiveAndReadOnlyReceivedBytes) {
  for (const MalformedCase& c : Cases()) {
    SCOPED_TRACE(c.pszName);
    NoticeLog log;
    const int nDelivered = Deliver(c.receive, log);
    ASSERT_EQ(nDelivered, static_cast<int>(c.want.size()));
    ASSERT_EQ(log.notices.size(), c.want.size());
    for (std::size_t i = 0; i < c.want.size(); ++i) {
      SCOPED_TRACE("record " + std::to_string(i));
      const WantRecord& want = c.want[i];
      const SeenNotice& seen = log.notices[i];
      ASSERT_TRUE(seen.bHasRecord);
      EXPECT_EQ(seen.nType, NOTICE_PACKET);
      EXPECT_EQ(seen.strProt, want.pszProt);
      EXPECT_EQ(seen.nSrcPort, want.nSrcPort);
      EXPECT_EQ(seen.nDesPort, want.nDesPort);
      EXPECT_EQ(seen.wSize, want.wSize);
      EXPECT_EQ(seen.strPayloadText, want.strText);
      EXPECT_EQ(seen.nDataLen, want.nRawLen);
      // The block: the received payload bytes, then zeros; never a byte of
      // another datagram or from behind the received end.
      for (int nByte = 0; nByte < PACKET_BUFFER_SIZE; ++nByte) {
        const BYTE want8 = nByte < want.nRawLen ? c.receive[static_cast<std::size_t>(want.nPayloadStart + nByte)] : 0;
        ASSERT_EQ(seen.block[static_cast<std::size_t>(nByte)], want8) << "block byte " << nByte;
      }
    }
  }
}

// A frame longer than the buffer is delivered with its true size and the
// payload bytes that fit in 1500; the bytes behind the first 1500 are never read.
TEST(MalformedDatagrams, AFrameLongerThanTheBufferGivesItsTrueSize) {
  const auto dg1600 = Datagram(17, Udp(std::string(1572, 'o')));
  ASSERT_EQ(dg1600.size(), 1600u);
  NoticeLog log;
  ASSERT_EQ(Deliver(dg1600, log), 1);
  EXPECT_EQ(log.notices[0].wSize, 1600);
  EXPECT_EQ(log.notices[0].nDataLen, 1472);
  EXPECT_EQ(log.notices[0].strPayloadText, std::string(1472, 'o'));

  auto dg1500 = Datagram(17, Udp(std::string(1472, 'o')));
  dg1500.resize(1600, 'x');  // 100 bytes behind it, beyond the buffer
  NoticeLog log1500;
  ASSERT_EQ(Deliver(dg1500, log1500), 1);
  EXPECT_EQ(log1500.notices[0].wSize, 1500);
  EXPECT_EQ(log1500.notices[0].strPayloadText, std::string(1472, 'o'));
}

}  // namespace
