// make_seed_corpus OUTDIR
//
// Writes the seed corpus of the datagram fuzzer, one file per receive:
// - real datagrams exactly as the capture socket hands them to the capture
//   thread, from UDP, ICMP echo and TCP traffic between 127.0.0.2 and itself
//   (run it through tests/netns-run.sh: it needs root, and its traffic must stay
//   inside a network namespace of its own);
// - hand-built receives for what loopback traffic does not carry: IGMP, an
//   unknown protocol, datagrams back to back, truncated and malformed headers.
// Exits 0 when at least one real datagram of each of UDP, ICMP and TCP was written.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../capture/capturetest.h"
#include "../capture/nettraffic.h"
#include "platform/packetsocket.h"
#include "platform/threadmsg.h"

namespace {

constexpr const char* kAddr = "127.0.0.2";
constexpr int kDrainTimeoutMs = 300;  // the traffic has been sent: a quiet socket means all is in
constexpr int kMaxReal = 40;

constexpr std::array<BYTE, 4> kA = {192, 168, 7, 1};
constexpr std::array<BYTE, 4> kB = {10, 20, 30, 40};

bool WriteFile(const std::string& strPath, const std::vector<BYTE>& bytes) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<BYTE> Head(std::vector<BYTE> bytes, std::size_t nLen) {
  bytes.resize(std::min(bytes.size(), nLen));
  return bytes;
}

std::string ProtName(int nProt) {
  switch (nProt) {
    case 1: return "icmp";
    case 6: return "tcp";
    case 17: return "udp";
    default: return "prot" + std::to_string(nProt);
  }
}

// Captures the datagrams of a short exchange on 127.0.0.2; false when the
// socket cannot be opened or the traffic cannot be made.
bool CaptureReal(std::vector<std::vector<BYTE>>* pReal) {
  MSG msg;
  PeekMessage(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // ReceiveDatagram waits on this queue too
  SOCKET hSocket = INVALID_SOCKET;
  StepError pszError = OpenCaptureSocket(kAddr, &hSocket);
  if (pszError == nullptr) pszError = SetReceiveTimeout(hSocket, kDrainTimeoutMs);
  if (pszError != nullptr) {
    std::fprintf(stderr, "%s\n", pszError);
    CloseSocket(hSocket);
    return false;
  }
  bool bSent = nettraffic::SendUdp(kAddr, 41000, kAddr, 41001, "seed: plain UDP text") &&
               nettraffic::SendUdp(kAddr, 41000, kAddr, 41001, std::string("abc\0def", 7)) &&
               nettraffic::SendUdp(kAddr, 41002, kAddr, 41003, std::string(1472, 'U')) &&  // 1500 bytes in all
               nettraffic::SendUdp(kAddr, 53, kAddr, 53, std::string("\x12\x34\x01\x00\x00\x01", 6)) &&
               nettraffic::SendIcmpEcho(kAddr, kAddr, 0x4d56, 1, "seed echo data") &&
               nettraffic::TcpExchange(kAddr, 41010, 41011, "GET /seed HTTP/1.0\r\n\r\n");
  // A datagram to a port nobody holds draws an ICMP port unreachable that
  // quotes its IP header: ICMP with a datagram inside.
  bSent = nettraffic::SendUdp(kAddr, 41020, kAddr, 9, "unreachable") && bSent;
  std::array<BYTE, PACKET_BUFFER_SIZE> buffer;
  while (static_cast<int>(pReal->size()) < kMaxReal) {
    buffer.fill(0);
    const int nReceived = ReceiveDatagram(hSocket, buffer.data(), PACKET_BUFFER_SIZE);
    if (nReceived == SOCKET_ERROR) break;  // quiet: everything sent has been seen
    pReal->emplace_back(buffer.begin(), buffer.begin() + nReceived);
  }
  CloseSocket(hSocket);
  return bSent;
}

std::map<std::string, std::vector<BYTE>> HandBuilt(const std::vector<BYTE>& tcpReal) {
  const auto udp = BuildIPv4(17, kA, kB, UdpDatagram(5353, 5353, Bytes("hand-built udp")));
  const auto tcp = BuildIPv4(6, kB, kA, TcpSegment(443, 50000, 8, Bytes("tcp with options")));
  const auto icmp = BuildIPv4(1, kA, kB, IcmpEcho(7, 9, Bytes("echo")));
  // IGMPv2 membership report for 224.0.0.251, behind the router alert option
  // that IGMP carries (RFC 2113): a 24-byte IP header.
  auto igmp = BuildIPv4(2, kA, {224, 0, 0, 22}, {0x16, 0x00, 0xFA, 0x04, 224, 0, 0, 251}, 6);
  igmp[20] = 0x94;
  igmp[21] = 0x04;
  std::map<std::string, std::vector<BYTE>> seeds = {
      {"igmp-report", igmp},
      {"unknown-protocol-50", BuildIPv4(50, kA, kB, Bytes("esp payload"))},
      {"back-to-back-udp-tcp-icmp", Concat({udp, tcp, icmp})},
      {"back-to-back-second-cut", Head(Concat({udp, tcp}), udp.size() + 30)},
      {"total-length-0", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("zero")), 5, 0)},
      {"total-length-below-header", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("short")), 5, 12)},
      {"total-length-past-received", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("long")), 5, 600)},
      {"ihl-0", BuildIPv4(6, kA, kB, TcpSegment(1, 2, 5, Bytes("x")), 0)},
      {"ihl-3", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, Bytes("y")), 3)},
      {"ihl-15-past-received", Head(BuildIPv4(17, kA, kB, UdpDatagram(1, 2, {}), 15, 30), 30)},
      {"tcp-data-offset-0", BuildIPv4(6, kA, kB, TcpSegment(0x4142, 0x4344, 0, Bytes("data")))},
      {"tcp-data-offset-15", BuildIPv4(6, kA, kB, TcpSegment(80, 81, 15, Bytes("far")))},
      {"tcp-cut-short", BuildIPv4(6, kA, kB, {0x01, 0xBB, 0xC3}, 5)},
      {"udp-cut-short", BuildIPv4(17, kA, kB, {0x00, 0x35}, 5)},
      {"icmp-cut-short", BuildIPv4(1, kA, kB, {8, 0}, 5)},
      {"udp-1500-no-zero", BuildIPv4(17, kA, kB, UdpDatagram(0x7F7F, 0x7F7F, std::vector<BYTE>(1472, 0x7F)))},
      {"oversize-1600", BuildIPv4(17, kA, kB, UdpDatagram(1, 2, std::vector<BYTE>(1572, 'o')))},
      {"first-byte-zero", {0x00, 0x00, 0x00, 0x14, 0, 0, 0, 0, 64, 17}},
      {"one-byte", {0x45}},
  };
  if (!tcpReal.empty()) {
    seeds["real-tcp-truncated-in-options"] = Head(tcpReal, 30);
    seeds["real-tcp-truncated-in-header"] = Head(tcpReal, 12);
  }
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argc > 0 ? argv[0] : "make_seed_corpus");
    return 2;
  }
  const std::string strDir = argv[1];
  std::vector<std::vector<BYTE>> real;
  if (!CaptureReal(&real)) {
    std::fprintf(stderr, "cannot capture the seed traffic (run as root through tests/netns-run.sh)\n");
    return 1;
  }
  std::map<int, int> countByProt;
  std::vector<BYTE> tcpWithData;  // the largest TCP segment: the one carrying data and options
  for (const auto& dg : real) {
    const int nProt = dg.size() > 9 ? dg[9] : -1;
    const int nIndex = ++countByProt[nProt];
    char szName[64];
    std::snprintf(szName, sizeof szName, "real-%s-%02d", ProtName(nProt).c_str(), nIndex);
    if (!WriteFile(strDir + "/" + szName, dg)) return 1;
    if (nProt == 6 && dg.size() > tcpWithData.size()) tcpWithData = dg;
  }
  for (const auto& [strName, bytes] : HandBuilt(tcpWithData)) {
    if (!WriteFile(strDir + "/built-" + strName, bytes)) return 1;
  }
  const bool bAll = countByProt[1] > 0 && countByProt[6] > 0 && countByProt[17] > 0;
  std::printf("%zu real datagrams (udp %d, icmp %d, tcp %d)\n", real.size(), countByProt[17], countByProt[1],
              countByProt[6]);
  return bAll ? 0 : 1;
}
