// make_seed_corpus OUTDIR: writes the seeds of the datagram corpus, one file
// per receive. real-*: datagrams exactly as the capture socket hands them
// over, from UDP, ICMP and TCP traffic on 127.0.0.2 (as root, in a network
// namespace of its own: run it through tests/netns-run.sh). built-*: the
// frames of the decode table, which loopback does not carry. wire-*: the same
// frames in batches as the capture helper sends them over its channel, so
// that the fuzzer starts from that format too. Exits 0 when at
// least one real datagram of each of UDP, ICMP and TCP was written.
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "../capture/decoderows.h"
#include "../capture/nettraffic.h"
#include "capturehelper/capturefeed.h"
#include "platform/capturesocket.h"
#include "platform/threadmsg.h"

namespace {

constexpr const char* kAddr = "127.0.0.2";

bool WriteFile(const std::string& strPath, const std::vector<BYTE>& bytes) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The datagrams of a short exchange, until the socket is quiet for 300 ms.
bool CaptureReal(std::vector<std::vector<BYTE>>* pReal) {
  PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // ReceiveDatagram waits on this queue too
  SOCKET hSocket = INVALID_SOCKET;
  if (OpenCaptureSocket(kAddr, &hSocket) != nullptr || SetReceiveTimeout(hSocket, 300) != nullptr) return false;
  bool bSent = true;
  for (const std::string& str : {std::string("seed text"), std::string("abc\0def", 7), std::string(1472, 'U')})
    bSent = nettraffic::SendUdp(kAddr, 41000, kAddr, 53, str) && bSent;
  // A port nobody holds draws an ICMP port unreachable quoting the datagram;
  // a connection to one, a SYN with its options and the RST.
  bSent = nettraffic::SendUdp(kAddr, 41020, kAddr, 9, "unreachable") && bSent;
  const nettraffic::Fd syn(nettraffic::Socket(SOCK_STREAM, kAddr, 41010, kAddr, 41011));
  std::array<BYTE, PACKET_BUFFER_SIZE> buf;
  for (int n = 0; pReal->size() < 40 && n != SOCKET_ERROR; n = ReceiveDatagram(hSocket, buf.data(), PACKET_BUFFER_SIZE))
    if (n > 0) pReal->emplace_back(buf.begin(), buf.begin() + n);
  CloseSocket(hSocket);
  return bSent;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<BYTE>> real;
  if (argc != 2 || !CaptureReal(&real)) {
    std::fprintf(stderr, "usage: tests/netns-run.sh make_seed_corpus OUTDIR (as root: it captures seed traffic)\n");
    return argc != 2 ? 2 : 1;
  }
  std::map<int, int> countByProt;
  for (const auto& dg : real) {
    const int nProt = dg.size() > 9 ? dg[9] : -1;
    const std::map<int, std::string> names = {{1, "icmp"}, {6, "tcp"}, {17, "udp"}};
    char szName[64];
    std::snprintf(szName, sizeof szName, "/real-%s-%02d", names.count(nProt) ? names.at(nProt).c_str() : "other",
                  ++countByProt[nProt]);
    if (!WriteFile(argv[1] + std::string(szName), dg)) return 1;
  }
  for (const DecodeRow& row : DecodeRows())
    if (!WriteFile(argv[1] + std::string("/built-") + row.pszName, row.frame)) return 1;
  const auto writeBatch = [&](const char* pszName, const auto& frames) {
    auto pBatch = std::make_unique<WireBatch>();
    for (const std::vector<BYTE>& frame : frames) pBatch->Add(frame.data(), uint32_t(frame.size()), uint32_t(frame.size()));
    return WriteFile(argv[1] + std::string(pszName), pBatch->Bytes(3));
  };
  std::vector<std::vector<BYTE>> built;
  for (const DecodeRow& row : DecodeRows()) built.push_back(row.frame);
  if (!writeBatch("/wire-real", real) || !writeBatch("/wire-built", built)) return 1;
  std::printf("%zu real datagrams (udp %d, icmp %d, tcp %d)\n", real.size(), countByProt[17], countByProt[1],
              countByProt[6]);
  return countByProt[1] > 0 && countByProt[6] > 0 && countByProt[17] > 0 ? 0 : 1;
}
