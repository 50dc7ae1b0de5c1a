// libFuzzer entry point: one received frame of the capture thread, handed to
// the very function the thread calls (decoding, DeliverPacket and its payload
// copy). The input is the frame as the link carried it; the thread captures
// its first PACKET_BUFFER_SIZE bytes.
//
// Every input runs twice: once in a heap block of exactly the captured bytes,
// so that reading one byte past them is a heap overflow AddressSanitizer
// reports, and once in the thread's own kind of buffer, PACKET_BUFFER_SIZE bytes
// zero-filled behind the captured ones. Each run must give at most one record,
// that record must agree with the small reference decoding below (written from
// the rules, sharing no code with the engine), and every field must lie within
// its bounds.
#include <QtCore/QObject>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/captureengine.h"
#include "platform/window.h"

namespace {

[[noreturn]] void Fail(const char* pszWhat) {
  std::fprintf(stderr, "fuzz_capture: %s\n", pszWhat);
  __builtin_trap();
}

// What the rules say one frame gives.
struct Expected {
  bool bRecord = false;
  std::string strSrc, strDes, strProt;
  int nSrcPort = 0, nDesPort = 0, nSize = 0;
  std::vector<uint8_t> data;  // the payload bytes the block holds
};

std::string Dotted(const uint8_t* p) {
  return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." + std::to_string(p[3]);
}

Expected Reference(const uint8_t* pFrame, size_t nFrame) {
  Expected e;
  const size_t nCap = std::min<size_t>(nFrame, 1500);
  uint8_t hdr[24] = {};  // the fixed IPv4 header as captured, zeros behind
  std::memcpy(hdr, pFrame, std::min(nCap, sizeof hdr));
  if (nCap == 0 || hdr[0] == 0) return e;
  const size_t nTotal = (hdr[2] << 8) | hdr[3];
  if (nTotal > nFrame) return e;  // bytes missing on the wire
  e.bRecord = true;
  e.nSize = static_cast<int>(nTotal);
  e.strSrc = Dotted(hdr + 12);
  e.strDes = Dotted(hdr + 16);
  const int nProt = hdr[9];
  e.strProt = nProt == 0 ? "IP" : nProt == 1 ? "ICMP" : nProt == 2 ? "IGMP" : nProt == 3 ? "GGP" : nProt == 6 ? "TCP"
            : nProt == 12 ? "PUP" : nProt == 17 ? "UDP" : nProt == 22 ? "IDP" : nProt == 77 ? "NP" : nProt == 255 ? "RAW" : "";
  // The datagram's own bytes: up to its total length (0: no end stated), as captured.
  const size_t nEnd = nTotal == 0 ? nCap : std::min(nTotal, nCap);
  auto at = [&](size_t i) -> int { return i < nEnd ? pFrame[i] : 0; };
  const size_t nIhl = (hdr[0] & 15u) * 4u;
  const bool bLater = (((hdr[6] << 8) | hdr[7]) & 0x1FFF) != 0;
  long nStart = -1;
  if (bLater) {
    nStart = static_cast<long>(nIhl);
  } else if (nProt == 1) {
    nStart = static_cast<long>(nIhl + 4);
  } else if (nProt == 6 || nProt == 17) {
    e.nSrcPort = (at(nIhl) << 8) | at(nIhl + 1);
    e.nDesPort = (at(nIhl + 2) << 8) | at(nIhl + 3);
    nStart = static_cast<long>(nIhl + (nProt == 17 ? 8 : (at(nIhl + 12) >> 4) * 4));
  }
  if (nStart >= 0 && static_cast<size_t>(nStart) < nEnd) {
    const size_t nKeep = std::min<size_t>(nEnd - static_cast<size_t>(nStart), 1499);
    e.data.assign(pFrame + nStart, pFrame + nStart + nKeep);
  }
  return e;
}

// Runs one capture and checks what the window would have been handed.
void RunAndCheck(CCaptureEngine& engine, const BYTE* pBuf, int nCaptured, int nFrameLen, const Expected& want) {
  std::vector<PacketRecord*> records;
  {
    // Never drained: the window's destruction hands every queued notice to
    // the disposer, so no event loop is needed.
    QObject context;
    WindowQueue window(&context, [](UINT, WPARAM, LPARAM) {},
                       [&](UINT, WPARAM wParam, LPARAM) {
                         auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
                         if (pNotice->nType != NOTICE_PACKET || pNotice->pRecord == nullptr) Fail("not a packet notice");
                         if (pNotice->strText != pNotice->pRecord->strSrcAddr) Fail("notice text");
                         records.push_back(std::exchange(pNotice->pRecord, nullptr));
                         DeleteEngineNotice(pNotice);
                       });
    engine.SetNotifyWindow(window.hwnd(), WM_ENGINE_NOTIFY);
    const int nDelivered = DeliverReceivedFrame(&engine, pBuf, nCaptured, nFrameLen);
    if (nDelivered < 0 || nDelivered > 1) Fail("more than one record for one frame");
  }
  engine.SetNotifyWindow(nullptr, WM_ENGINE_NOTIFY);
  if (records.size() != (want.bRecord ? 1u : 0u)) Fail("record count differs from the reference");
  for (PacketRecord* pRecord : records) {
    const PacketRecord& r = *pRecord;
    if (r.strSrcAddr != want.strSrc || r.strDesAddr != want.strDes) Fail("addresses");
    if (r.strSrcAddr.size() > 15 || r.strDesAddr.size() > 15) Fail("address text too long");
    if (r.strProt != want.strProt) Fail("protocol name");
    if (r.nSrcPort != want.nSrcPort || r.nDesPort != want.nDesPort) Fail("ports");
    if (r.nSrcPort < 0 || r.nSrcPort > 65535 || r.nDesPort < 0 || r.nDesPort > 65535) Fail("port out of range");
    if (r.wSize != want.nSize) Fail("size");
    if (r.nDataLen != static_cast<int>(want.data.size())) Fail("payload byte count");
    if (r.nDataLen < 0 || r.nDataLen > PACKET_BUFFER_SIZE - 1 || r.pData == nullptr) Fail("block out of bounds");
    if (!std::equal(want.data.begin(), want.data.end(), r.pData)) Fail("payload bytes");
    if (!std::all_of(r.pData + r.nDataLen, r.pData + PACKET_BUFFER_SIZE, [](BYTE b) { return b == 0; }))
      Fail("block not zero behind the payload");
    const std::string strText(want.data.begin(), std::find(want.data.begin(), want.data.end(), 0));
    if (std::string(reinterpret_cast<const char*>(r.pData)) != strText) Fail("payload text");
    DeletePacketRecord(pRecord);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static CCaptureEngine s_engine;
  // The frame is the input; the thread captures at most the buffer of it.
  const int nFrameLen = static_cast<int>(std::min<size_t>(nSize, 1 << 20));
  const int nCaptured = std::min(nFrameLen, PACKET_BUFFER_SIZE);
  const Expected want = Reference(pData, static_cast<size_t>(nFrameLen));

  std::unique_ptr<BYTE[]> exact(new BYTE[static_cast<size_t>(nCaptured)]);
  if (nCaptured > 0) std::memcpy(exact.get(), pData, static_cast<size_t>(nCaptured));
  RunAndCheck(s_engine, exact.get(), nCaptured, nFrameLen, want);

  auto zeroFilled = std::make_unique<BYTE[]>(PACKET_BUFFER_SIZE);  // value-initialised: zeros
  if (nCaptured > 0) std::memcpy(zeroFilled.get(), pData, static_cast<size_t>(nCaptured));
  RunAndCheck(s_engine, zeroFilled.get(), nCaptured, nFrameLen, want);
  return 0;
}
