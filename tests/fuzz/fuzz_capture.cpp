// libFuzzer entry point. Each input is read twice:
// - as one frame as the link carried it, handed to the capture thread's
//   function in a heap block of exactly the captured bytes (a read past them is
//   an overflow AddressSanitizer reports);
// - as one message on the capture helper's channel, which the program reads as
//   untrusted: every frame the batch reader hands out must lie inside the
//   message, and is then decoded the same way.
// Each record must be what the reference decoding below, written from the
// rules, gives. With MORVANE_CORPUS_DIR it is test_fuzz_replay: every corpus
// input (the seeds and every input that ever found a fault) runs in the
// ordinary and sanitizer builds.
#include <QtCore/QObject>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "capture/captureengine.h"
#include "platform/capturebatch.h"
#include "platform/window.h"

namespace {

std::string Describe(const std::string& strAddrs, const std::string& strProt, int nSrcPort, int nDesPort, int nSize,
                     const BYTE* pData, std::size_t nDataLen) {
  return strAddrs + " " + strProt + " " + std::to_string(nSrcPort) + " " + std::to_string(nDesPort) + " " +
         std::to_string(nSize) + " [" + std::string(pData, pData + nDataLen) + "]";
}

// The one record the rules give for a frame of nFrame bytes of which nCaptured
// are at pFrame, described; "" for none.
std::string Reference(const uint8_t* pFrame, size_t nCaptured, size_t nFrame) {
  const size_t nCap = std::min<size_t>(nCaptured, 1500);
  uint8_t h[20] = {};  // the fixed IPv4 header as captured, zeros behind
  std::memcpy(h, pFrame, std::min(nCap, sizeof h));
  const size_t nTotal = (h[2] << 8) | h[3];
  if (nCap == 0 || h[0] == 0 || nTotal > std::max(nFrame, nCap)) return "";  // nothing, or bytes missing on the wire
  std::string strAddrs;
  for (int i = 12; i < 20; ++i) strAddrs += std::to_string(h[i]) + (i == 15 ? " " : i == 19 ? "" : ".");
  static const std::map<int, const char*> names = {{0, "IP"},   {1, "ICMP"}, {2, "IGMP"}, {3, "GGP"}, {6, "TCP"},
                                                   {12, "PUP"}, {17, "UDP"}, {22, "IDP"}, {77, "NP"}, {255, "RAW"}};
  const int nProt = h[9];
  // The datagram's own bytes end at its total length (0: no end stated) or the capture's.
  const size_t nEnd = nTotal == 0 ? nCap : std::min(nTotal, nCap);
  const auto at = [&](size_t i) -> int { return i < nEnd ? pFrame[i] : 0; };
  const size_t nIhl = (h[0] & 15u) * 4u;
  size_t nStart = SIZE_MAX;
  int nSrcPort = 0, nDesPort = 0;
  if ((((h[6] << 8) | h[7]) & 0x1FFF) != 0) {
    nStart = nIhl;  // a later fragment: no transport header
  } else if (nProt == 1) {
    nStart = nIhl + 4;
  } else if (nProt == 6 || nProt == 17) {
    nSrcPort = (at(nIhl) << 8) | at(nIhl + 1);
    nDesPort = (at(nIhl + 2) << 8) | at(nIhl + 3);
    nStart = nIhl + (nProt == 17 ? 8 : (at(nIhl + 12) >> 4) * 4);
  }
  const size_t nLen = nStart < nEnd ? std::min<size_t>(nEnd - nStart, 1499) : 0;  // the block's last byte stays 0
  return Describe(strAddrs, names.count(nProt) ? names.at(nProt) : "", nSrcPort, nDesPort, static_cast<int>(nTotal),
                  pFrame + (nLen ? nStart : 0), nLen);
}

// Delivers one frame as the capture thread does and checks its record.
void CheckFrame(const uint8_t* pFrame, int nCaptured, int nFrameLen) {
  static CCaptureEngine s_engine;
  nCaptured = std::min(nCaptured, PACKET_BUFFER_SIZE);  // the thread captures at most its buffer
  std::unique_ptr<BYTE[]> exact(new BYTE[static_cast<size_t>(nCaptured)]);
  if (nCaptured > 0) std::memcpy(exact.get(), pFrame, static_cast<size_t>(nCaptured));
  std::string strGot;
  {
    // Never drained: destroying the window hands every queued notice to the disposer.
    QObject context;
    WindowQueue window(&context, [](UINT, WPARAM, LPARAM) {}, [&](UINT, WPARAM wParam, LPARAM) {
      auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
      const PacketRecord* r = pNotice->pRecord;
      const bool bSound = pNotice->nType == NOTICE_PACKET && r && pNotice->strText == r->strSrcAddr &&
                          r->nDataLen >= 0 && r->nDataLen < PACKET_BUFFER_SIZE &&
                          std::all_of(r->pData + r->nDataLen, r->pData + PACKET_BUFFER_SIZE, [](BYTE b) { return !b; });
      strGot += !bSound ? "(a notice out of bounds)"
                        : Describe(r->strSrcAddr + " " + r->strDesAddr, r->strProt, r->nSrcPort, r->nDesPort, r->wSize,
                                   r->pData, static_cast<std::size_t>(r->nDataLen));
      DeleteEngineNotice(pNotice);
    });
    s_engine.SetNotifyWindow(window.hwnd(), WM_ENGINE_NOTIFY);
    DeliverReceivedFrame(&s_engine, exact.get(), nCaptured, nFrameLen);
  }
  s_engine.SetNotifyWindow(nullptr, WM_ENGINE_NOTIFY);
  const std::string strWant = Reference(pFrame, static_cast<size_t>(nCaptured), static_cast<size_t>(nFrameLen));
  if (strGot != strWant) {
    std::fprintf(stderr, "fuzz_capture: got  %s\nfuzz_capture: want %s\n", strGot.c_str(), strWant.c_str());
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const int nFrameLen = static_cast<int>(std::min<size_t>(nSize, 1 << 20));
  CheckFrame(pData, std::min(nFrameLen, PACKET_BUFFER_SIZE), nFrameLen);

  CaptureBatchReader reader;
  if (!reader.Open(pData, nSize)) return 0;
  for (CaptureFrame f; reader.Next(&f);) {
    if (f.pData < pData || f.nCaptured < 0 || f.nCaptured > 1500 || f.nFrameLen < f.nCaptured ||
        static_cast<size_t>(f.pData - pData) + static_cast<size_t>(f.nCaptured) > nSize) {
      std::fprintf(stderr, "fuzz_capture: the batch reader handed out a frame outside its message\n");
      __builtin_trap();
    }
    CheckFrame(f.pData, f.nCaptured, f.nFrameLen);
  }
  return 0;
}

#ifdef MORVANE_CORPUS_DIR
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

TEST(FuzzCorpus, EveryInputRunsClean) {
  std::size_t nFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MORVANE_CORPUS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
    ++nFiles;
  }
  EXPECT_GE(nFiles, 30u) << "the seeds alone are more: the corpus went missing";
}
#endif
