#pragma once
// Hand-built frames and the record each must give: test_decode's rows, and the
// built-* seeds of the fuzzer. Header fields are used as they stand, bytes past
// the captured end read as zero, a transport header lies only inside the total
// length (behind it is padding or another datagram), and a frame shorter than
// its total length is dropped.
#include "capturetest.h"

struct DecodeRow {
  const char* pszName;
  std::vector<BYTE> frame;  // the captured bytes
  int nFrameLen;            // on the link; -1: as captured
  const char* pszProt;      // null: nothing delivered
  int nSrcPort, nDesPort, nSize;
  int nStart, nLen;  // the payload the block holds: nLen captured bytes from nStart
};

inline std::vector<DecodeRow> DecodeRows() {
  const auto dg = [](int nProt, const std::vector<BYTE>& transport, int nIhl = 5, int nTotal = -1) {
    return BuildIPv4(nProt, {10, 0, 0, 1}, {192, 168, 200, 254}, transport, nIhl, nTotal);
  };
  const auto head = [](std::vector<BYTE> bytes, std::size_t nLen) { return bytes.resize(nLen, 0), bytes; };
  const auto fragment = [](std::vector<BYTE> bytes, int wField) {  // flags and fragment offset
    return bytes[6] = static_cast<BYTE>(wField >> 8), bytes[7] = static_cast<BYTE>(wField), bytes;
  };
  const auto udp = dg(17, UdpDatagram(1, 2, Bytes("first")));  // 33 bytes
  const auto icmp = dg(1, {8, 0, 0, 0, 'h', 'i', '!', '!'});   // 28 bytes
  const auto tcp = [&](int nOffsetWords) { return dg(6, TcpSegment(0x4142, 0x4344, nOffsetWords, Bytes("data"))); };
  auto ihl15 = head(dg(17, {}, 15, 62), 62);
  ihl15[60] = 0x12, ihl15[61] = 0x34;  // the source port is the last two captured bytes
  return {
      {"tcp", tcp(5), -1, "TCP", 0x4142, 0x4344, 44, 40, 4},
      {"tcp-options", dg(6, TcpSegment(80, 1234, 8, Bytes("HTTP"))), -1, "TCP", 80, 1234, 56, 52, 4},
      {"udp-behind-ip-options", dg(17, UdpDatagram(53, 65534, Bytes("opt")), 6), -1, "UDP", 53, 65534, 35, 32, 3},
      {"icmp-identifier-leads-the-payload", icmp, -1, "ICMP", 0, 0, 28, 24, 4},
      {"unknown-protocol", dg(50, Bytes("esp")), -1, "", 0, 0, 23, -1, 0},
      {"fragment-at-1480", fragment(dg(17, Bytes("tail")), 185), -1, "UDP", 0, 0, 24, 20, 4},
      {"back-to-back", Concat({udp, tcp(5), icmp}), -1, "UDP", 1, 2, 33, 28, 5},
      {"ethernet-padding", Concat({icmp, std::vector<BYTE>(18, 'p')}), -1, "ICMP", 0, 0, 28, 24, 4},
      {"total-length-8-forged-datagram-behind", Concat({head(dg(17, {}, 5, 8), 20), udp}), -1, "UDP", 0, 0, 8, -1,
       0},
      {"total-length-below-header", dg(17, UdpDatagram(1, 2, Bytes("abcd")), 5, 12), -1, "UDP", 0, 0, 12, -1, 0},
      {"udp-cut-short-datagram-behind", Concat({dg(17, {0x00, 0x35}), icmp}), -1, "UDP", 53, 0, 22, -1, 0},
      {"total-length-0", Concat({dg(17, UdpDatagram(1, 2, Bytes("zero")), 5, 0), udp}), -1, "UDP", 1, 2, 0, 28, 37},
      {"ihl-15-ports-straddle-captured-end", ihl15, -1, "UDP", 0x1234, 0, 62, -1, 0},
      {"tcp-cut-short", dg(6, {0x01, 0xBB, 0xC3}), -1, "TCP", 0x01BB, 0xC300, 23, 20, 3},
      {"one-byte", {0x45}, -1, "IP", 0, 0, 0, -1, 0},  // its total length reads 0
      // A 1500-byte payload from the frame's start: 1499 bytes kept, then the zero.
      {"ihl-0-tcp-data-offset-0", dg(6, TcpSegment(1, 2, 0, std::vector<BYTE>(1460, 'z')), 0), -1, "TCP", 0x4000, 1500,
       1500, 0, 1499},
      // Longer than the 1500-byte buffer: the true size, the bytes that fit.
      {"udp-4000-1500-captured", head(dg(17, UdpDatagram(9, 10, std::vector<BYTE>(3972, 'u'))), 1500), 4000, "UDP", 9,
       10, 4000, 28, 1472},
      {"total-length-past-frame", dg(17, UdpDatagram(1, 2, Bytes("abcd")), 5, 33), -1, nullptr, 0, 0, 0, 0, 0},
      {"ip-header-of-19-bytes", head(udp, 19), -1, nullptr, 0, 0, 0, 0, 0},
      {"nothing", {}, -1, nullptr, 0, 0, 0, 0, 0},
  };
}
