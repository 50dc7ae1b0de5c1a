#include "capture/decode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/packetrecord.h"
#include "capturetest.h"

namespace {

constexpr std::array<BYTE, 4> kA = {10, 0, 0, 1};
constexpr std::array<BYTE, 4> kB = {192, 168, 200, 254};

// The datagram with its flags and fragment offset field (bytes 6-7) set to wField.
std::vector<BYTE> Fragment(std::vector<BYTE> dg, int wField) {
  dg[6] = static_cast<BYTE>(wField >> 8);
  dg[7] = static_cast<BYTE>(wField);
  return dg;
}

// The payload text DeliverPacket would make of a decoded datagram.
std::string PayloadText(const std::vector<BYTE>& buf, const DecodedDatagram& dg) {
  std::vector<BYTE> block(PACKET_BUFFER_SIZE, 0xAA);
  FillPayloadBlock(block.data(), dg.nPayloadOffset >= 0 ? buf.data() + dg.nPayloadOffset : nullptr, dg.nPayloadLen);
  return reinterpret_cast<const char*>(block.data());
}

TEST(ByteReader, ReadsBigEndianAndZeroOutsideTheReceivedBytes) {
  const BYTE buf[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
  const ByteReader reader(buf, 4);  // the fifth byte was not received
  EXPECT_EQ(reader.U8(0), 0x12);
  EXPECT_EQ(reader.BE16(1), 0x3456);
  EXPECT_EQ(reader.BE32(0), 0x12345678u);
  EXPECT_EQ(reader.U8(4), 0);           // past the received count
  EXPECT_EQ(reader.U8(-1), 0);          // before the buffer
  EXPECT_EQ(reader.BE16(3), 0x7800);    // straddles the end
  EXPECT_EQ(reader.BE32(2), 0x56780000u);
  EXPECT_EQ(reader.U8(1 << 30), 0);
  EXPECT_EQ(ByteReader(nullptr, 10).Size(), 0);
}

TEST(FormatIPv4, WritesDottedDecimal) {
  const struct {
    DWORD dwAddr;
    const char* pszText;
  } cases[] = {{0, "0.0.0.0"}, {0x7F000002, "127.0.0.2"}, {0xFFFFFFFF, "255.255.255.255"}, {0x0A00FF01, "10.0.255.1"},
               {0x64650A09, "100.101.10.9"}};
  for (const auto& c : cases) {
    char sz[16];
    std::memset(sz, 'x', sizeof sz);
    FormatIPv4(c.dwAddr, sz);
    EXPECT_STREQ(sz, c.pszText);
  }
}

struct DecodeCase {
  const char* pszName;
  std::vector<BYTE> datagram;
  int nReceived;  // -1: the whole datagram
  int nProt;
  int nSrcPort, nDesPort;
  int nPayloadOffset;
  std::string strPayloadText;
};

std::vector<DecodeCase> DecodeCases() {
  std::vector<BYTE> full1500 = BuildIPv4(17, kA, kB, UdpDatagram(1, 2, std::vector<BYTE>(1472, 'z')));
  return {
      {"TCP, data offset 5", BuildIPv4(6, kA, kB, TcpSegment(443, 51000, 5, Bytes("GET /"))), -1, 6, 443, 51000,
       40, "GET /"},
      {"TCP, data offset 8", BuildIPv4(6, kA, kB, TcpSegment(80, 1234, 8, Bytes("HTTP"))), -1, 6, 80, 1234, 52,
       "HTTP"},
      {"TCP without data", BuildIPv4(6, kA, kB, TcpSegment(1, 2, 5, {})), -1, 6, 1, 2, -1, ""},
      {"UDP", BuildIPv4(17, kA, kB, UdpDatagram(53, 65535, Bytes("query"))), -1, 17, 53, 65535, 28, "query"},
      {"UDP behind IP options", BuildIPv4(17, kA, kB, UdpDatagram(7, 9, Bytes("opt")), 6), -1, 17, 7, 9, 32, "opt"},
      {"ICMP echo: identifier and sequence lead the payload", BuildIPv4(1, kA, kB, IcmpEcho(0x4142, 0x4344, Bytes("ping"))),
       -1, 1, 0, 0, 24, "ABCDping"},
      {"IGMP: no payload, no ports", BuildIPv4(2, kA, kB, {0x11, 0x64, 0xEE, 0x9B, 0, 0, 0, 0}), -1, 2, 0, 0, -1, ""},
      {"unknown protocol 50", BuildIPv4(50, kA, kB, Bytes("esp-bytes")), -1, 50, 0, 0, -1, ""},
      {"zero byte inside the payload", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, {'a', 'b', 'c', 0, 'd'})), -1, 17, 1,
       2, 28, "abc"},
      {"1500-byte datagram", full1500, -1, 17, 1, 2, 28, std::string(1472, 'z')},
      // Truncated: the TCP header's data offset byte was not received and
      // reads 0, so the payload starts at the TCP header itself.
      {"TCP header cut short", BuildIPv4(6, kA, kB, TcpSegment(0x4142, 0x4344, 5, {}), 5, 24), 24, 6, 0x4142, 0x4344,
       20, "ABCD"},
      // Malformed: a data offset below 5 words is used as it stands.
      {"TCP data offset 1", BuildIPv4(6, kA, kB, TcpSegment(0x4142, 0x4344, 1, Bytes("x"))), -1, 6, 0x4142, 0x4344,
       24, ""},
      // Malformed: an IHL below 5 words is used as it stands; the ports then
      // come from the address bytes.
      {"IHL 3", BuildIPv4(17, {0, 7, 0, 9}, kB, UdpDatagram(1, 2, Bytes("p")), 3), -1, 17, 7, 9, 20, ""},
      // Header fields past the received bytes read as zeros.
      {"transport header past the received end", BuildIPv4(17, kA, kB, {}, 15), 20, 17, 0, 0, -1, ""},
      // A later fragment carries data where a first one has its transport header.
      {"UDP fragment at offset 1480", Fragment(BuildIPv4(17, kA, kB, Bytes("tail-of-it")), 185), -1, 17, 0, 0, 20,
       "tail-of-it"},
      {"TCP fragment at offset 8, more to come", Fragment(BuildIPv4(6, kA, kB, Bytes("mid")), 0x2001), -1, 6, 0, 0, 20,
       "mid"},
      {"unknown protocol fragment", Fragment(BuildIPv4(50, kA, kB, Bytes("esp")), 3), -1, 50, 0, 0, 20, "esp"},
      {"first fragment (more fragments, offset 0) has its ports",
       Fragment(BuildIPv4(17, kA, kB, UdpDatagram(7, 9, Bytes("head"))), 0x2000), -1, 17, 7, 9, 28, "head"},
  };
}

TEST(DecodeDatagram, AddressesPortsAndPayloadStart) {
  for (const DecodeCase& c : DecodeCases()) {
    SCOPED_TRACE(c.pszName);
    const int nReceived = c.nReceived >= 0 ? c.nReceived : static_cast<int>(c.datagram.size());
    const ByteReader reader(c.datagram.data(), nReceived);
    const DecodedDatagram dg = DecodeDatagram(reader, reader.BE16(2));
    EXPECT_STREQ(dg.szSrcAddr, c.datagram[12] == 0 ? "0.7.0.9" : "10.0.0.1");
    EXPECT_STREQ(dg.szDesAddr, "192.168.200.254");
    EXPECT_EQ(dg.nProt, c.nProt);
    EXPECT_EQ(dg.nSrcPort, c.nSrcPort);
    EXPECT_EQ(dg.nDesPort, c.nDesPort);
    EXPECT_EQ(dg.nPayloadOffset, c.nPayloadOffset);
    EXPECT_EQ(dg.wSize, reader.BE16(2));
    if (dg.nPayloadOffset >= 0) {
      EXPECT_EQ(dg.nPayloadLen, std::min<int>(nReceived, dg.wSize) - dg.nPayloadOffset);
    }
    EXPECT_EQ(PayloadText(c.datagram, dg), c.strPayloadText);
  }
}

// One received frame: what is delivered, with which size, ports and payload.
struct FrameCase {
  const char* pszName;
  std::vector<BYTE> frame;
  int nCaptured;  // -1: the whole frame
  int nFrameLen;  // -1: the whole frame
  bool bDelivered;
  WORD wSize;
  int nSrcPort, nDesPort;
  std::string strText;
};

std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<FrameCase> FrameCases() {
  const auto udp = BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("first")));   // 33 bytes
  const auto tcp = BuildIPv4(6, kB, kA, TcpSegment(3, 4, 5, Bytes("second")));  // 46 bytes
  const auto icmp = BuildIPv4(1, kA, kB, IcmpEcho(0x6869, 0x2121, {}));        // 28 bytes
  auto full = BuildIPv4(17, kA, kB, UdpDatagram(1, 2, std::vector<BYTE>(1472, 'q')));
  // An offloaded TCP segment of 3040 bytes, of which the buffer holds 1500.
  const auto bigTcp = BuildIPv4(6, kA, kB, TcpSegment(5001, 443, 5, std::vector<BYTE>(3000, 'b')));
  // A frame whose total length (8) ends inside its own header, with a whole
  // datagram of the sender's choosing behind it.
  const auto forged = Concat({BuildIPv4(17, kA, kB, {}, 5, 8), BuildIPv4(17, {6, 6, 6, 6}, kB, UdpDatagram(66, 66, Bytes("forged")))});
  return {
      {"exactly one datagram", udp, -1, -1, true, 33, 1, 2, "first"},
      {"three back to back: the bytes behind the first are padding", Concat({udp, tcp, icmp}), -1, -1, true, 33, 1, 2,
       "first"},
      {"Ethernet padding to 46 bytes", Concat({icmp, std::vector<BYTE>(18, 'p')}), -1, -1, true, 28, 0, 0, "hi!!"},
      {"total length past the frame: bytes missing", udp, 32, 32, false, 0, 0, 0, ""},
      {"total length 0 runs to the captured end",
       Concat({BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("zero")), 5, 0), udp}), -1, -1, true, 0, 1, 2,
       std::string("zero") + std::string(reinterpret_cast<const char*>(udp.data()), 1)},
      {"a datagram of 1500 bytes", full, -1, -1, true, 1500, 1, 2, std::string(1472, 'q')},
      {"longer than the buffer: its true size, the bytes that fit", bigTcp, 1500, -1, true, 3040, 5001, 443,
       std::string(1460, 'b')},
      {"a UDP datagram of 4000 bytes on loopback", BuildIPv4(17, kA, kB, UdpDatagram(9, 10, std::vector<BYTE>(3972, 'u'))),
       1500, -1, true, 4000, 9, 10, std::string(1472, 'u')},
      {"a capture of more than the buffer counts 1500", full, 1600, 1600, true, 1500, 1, 2, std::string(1472, 'q')},
      {"total length 8 with a forged datagram inside: only the outer one, no ports", forged, -1, -1, true, 8, 0, 0, ""},
      {"nothing received", udp, 0, 0, false, 0, 0, 0, ""},
      {"first byte zero", Concat({{0}, udp}), -1, -1, false, 0, 0, 0, ""},
  };
}

TEST(DecodeFrame, OneFrameIsAtMostOneDatagram) {
  for (const FrameCase& c : FrameCases()) {
    SCOPED_TRACE(c.pszName);
    const int nCaptured = c.nCaptured >= 0 ? c.nCaptured : static_cast<int>(c.frame.size());
    const int nFrameLen = c.nFrameLen >= 0 ? c.nFrameLen : static_cast<int>(c.frame.size());
    std::vector<BYTE> buf = c.frame;
    buf.resize(std::max<std::size_t>(buf.size(), static_cast<std::size_t>(nCaptured)), 0);
    DecodedDatagram dg;
    ASSERT_EQ(DecodeFrame(buf.data(), nCaptured, nFrameLen, &dg), c.bDelivered ? TRUE : FALSE);
    if (!c.bDelivered) continue;
    EXPECT_STREQ(dg.szSrcAddr, "10.0.0.1");
    EXPECT_EQ(dg.wSize, c.wSize);
    EXPECT_EQ(dg.nSrcPort, c.nSrcPort);
    EXPECT_EQ(dg.nDesPort, c.nDesPort);
    EXPECT_EQ(PayloadText(buf, dg), c.strText);
    ASSERT_LE(dg.nPayloadOffset + dg.nPayloadLen, std::min(nCaptured, PACKET_BUFFER_SIZE));
  }
}

TEST(FillPayloadBlock, HoldsThePayloadUpToTheReceivedEndThenZeros) {
  struct Case {
    const char* pszName;
    std::vector<BYTE> payload;
    int nLen;  // -1: payload.size()
    bool bNull;
    std::string strText;
    std::size_t nRawBytes;  // bytes of the payload the block holds
  };
  std::vector<BYTE> noZero(1500, 'n');
  const Case cases[] = {
      {"empty", {}, -1, false, "", 0},
      {"null start", Bytes("abc"), 3, true, "", 0},
      {"negative length (start past the received end)", Bytes("abc"), -5, false, "", 0},
      {"plain text", Bytes("hello"), -1, false, "hello", 5},
      {"a zero as fourth byte gives three characters", {'a', 'b', 'c', 0, 'e', 'f'}, -1, false, "abc", 6},
      {"stops at the received end", Bytes("abcdef"), 2, false, "ab", 2},
      {"1500 bytes without a zero: the first 1499", noZero, -1, false, std::string(1499, 'n'), 1499},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    std::vector<BYTE> block(PACKET_BUFFER_SIZE, 0xCC);  // garbage that must not survive
    const int nLen = c.nLen >= 0 || c.nLen < -1 ? c.nLen : static_cast<int>(c.payload.size());
    EXPECT_EQ(FillPayloadBlock(block.data(), c.bNull ? nullptr : c.payload.data(), nLen), static_cast<int>(c.nRawBytes));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data())), c.strText);
    for (std::size_t i = 0; i < block.size(); ++i) {
      const BYTE expected = i < c.nRawBytes ? c.payload[i] : 0;
      ASSERT_EQ(block[i], expected) << "byte " << i;
    }
  }
}

TEST(GetProtocolName, NamesTheLowByteAndNeverMax) {
  const struct {
    int nProt;
    const char* pszName;
  } cases[] = {{0, "IP"},    {1, "ICMP"}, {2, "IGMP"}, {3, "GGP"},   {6, "TCP"},  {12, "PUP"},
               {17, "UDP"},  {22, "IDP"}, {77, "NP"},  {255, "RAW"}, {50, ""},    {89, ""},
               {256, "IP"},  {256 + 6, "TCP"}, {-1, "RAW"}, {4, ""}};
  for (const auto& c : cases) EXPECT_STREQ(GetProtocolName(c.nProt), c.pszName) << c.nProt;
  for (int n = -1024; n <= 1024; ++n) {
    const char* pszName = GetProtocolName(n);
    ASSERT_NE(pszName, nullptr);
    ASSERT_STRNE(pszName, "MAX") << n;
  }
}

TEST(DeletePacketRecord, NullIsIgnored) {
  DeletePacketRecord(nullptr);
  DeleteEngineNotice(nullptr);
}

}  // namespace
