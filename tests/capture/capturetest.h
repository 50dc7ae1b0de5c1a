#pragma once
// Helpers shared by the capture tests: hand-built IPv4 datagrams and a window
// that logs the engine's notices.
#include <gtest/gtest.h>

#include <QtCore/QObject>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "../platform/qtapp.h"
#include "capture/packetrecord.h"
#include "platform/window.h"

// Builds one IPv4 datagram: a header of nIhlWords 32-bit words (options
// zero), then `transport` (header and payload). The total length field is the
// built length unless nTotalLength says otherwise.
inline std::vector<BYTE> BuildIPv4(int nProt, std::array<BYTE, 4> src, std::array<BYTE, 4> des,
                                   const std::vector<BYTE>& transport, int nIhlWords = 5, int nTotalLength = -1) {
  const int nHeaderBytes = std::max(nIhlWords, 5) * 4;  // a short IHL still gets the fixed 20 bytes written
  std::vector<BYTE> dg(static_cast<std::size_t>(nHeaderBytes), 0);
  dg[0] = static_cast<BYTE>(0x40 | (nIhlWords & 0x0F));
  const int nTotal = nTotalLength >= 0 ? nTotalLength : nHeaderBytes + static_cast<int>(transport.size());
  dg[2] = static_cast<BYTE>(nTotal >> 8);
  dg[3] = static_cast<BYTE>(nTotal);
  dg[8] = 64;
  dg[9] = static_cast<BYTE>(nProt);
  std::copy(src.begin(), src.end(), dg.begin() + 12);
  std::copy(des.begin(), des.end(), dg.begin() + 16);
  dg.insert(dg.end(), transport.begin(), transport.end());
  return dg;
}

inline std::vector<BYTE> Bytes(const std::string& str) { return std::vector<BYTE>(str.begin(), str.end()); }

inline std::vector<BYTE> TcpSegment(int nSrcPort, int nDesPort, int nDataOffsetWords, const std::vector<BYTE>& payload) {
  std::vector<BYTE> seg(static_cast<std::size_t>(std::max(nDataOffsetWords, 5) * 4), 0);
  seg[0] = static_cast<BYTE>(nSrcPort >> 8);
  seg[1] = static_cast<BYTE>(nSrcPort);
  seg[2] = static_cast<BYTE>(nDesPort >> 8);
  seg[3] = static_cast<BYTE>(nDesPort);
  seg[12] = static_cast<BYTE>(nDataOffsetWords << 4);
  seg[13] = 0x18;  // PSH, ACK
  seg.insert(seg.end(), payload.begin(), payload.end());
  return seg;
}

inline std::vector<BYTE> UdpDatagram(int nSrcPort, int nDesPort, const std::vector<BYTE>& payload) {
  std::vector<BYTE> dg(8, 0);
  dg[0] = static_cast<BYTE>(nSrcPort >> 8);
  dg[1] = static_cast<BYTE>(nSrcPort);
  dg[2] = static_cast<BYTE>(nDesPort >> 8);
  dg[3] = static_cast<BYTE>(nDesPort);
  const int nLen = 8 + static_cast<int>(payload.size());
  dg[4] = static_cast<BYTE>(nLen >> 8);
  dg[5] = static_cast<BYTE>(nLen);
  dg.insert(dg.end(), payload.begin(), payload.end());
  return dg;
}

inline std::vector<BYTE> IcmpEcho(int nId, int nSeq, const std::vector<BYTE>& data) {
  std::vector<BYTE> msg = {8, 0, 0, 0, static_cast<BYTE>(nId >> 8), static_cast<BYTE>(nId),
                           static_cast<BYTE>(nSeq >> 8), static_cast<BYTE>(nSeq)};
  msg.insert(msg.end(), data.begin(), data.end());
  return msg;
}

// What one notice carried, copied out before it is freed.
struct SeenNotice {
  UINT nMsg = 0;
  int nType = 0;
  std::string strText;
  bool bHasRecord = false;
  std::string strSrcAddr, strDesAddr, strProt;
  int nSrcPort = 0, nDesPort = 0;
  WORD wSize = 0;
  int nDataLen = 0;
  std::string strPayloadText;  // the block up to its first zero
  std::vector<BYTE> block;     // all PACKET_BUFFER_SIZE bytes
};

// A window that copies and frees every notice it gets, as the dialog does.
class NoticeLog {
 public:
  NoticeLog()
      : m_window(
            &m_context, [this](UINT nMsg, WPARAM wParam, LPARAM) { Take(nMsg, wParam); },
            [](UINT, WPARAM wParam, LPARAM) { DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam)); }) {}

  HWND hwnd() const { return m_window.hwnd(); }

  int CountStopped() const {
    return static_cast<int>(std::count_if(notices.begin(), notices.end(),
                                          [](const SeenNotice& n) { return n.nType == NOTICE_STOPPED; }));
  }

  // The packet notices whose payload text is strText.
  std::vector<const SeenNotice*> WithPayload(const std::string& strText) const {
    std::vector<const SeenNotice*> found;
    for (const SeenNotice& n : notices) {
      if (n.bHasRecord && n.strPayloadText == strText) found.push_back(&n);
    }
    return found;
  }

  std::vector<SeenNotice> notices;

 private:
  void Take(UINT nMsg, WPARAM wParam) {
    auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
    SeenNotice seen;
    seen.nMsg = nMsg;
    seen.nType = pNotice->nType;
    seen.strText = pNotice->strText;
    if (const PacketRecord* pRecord = pNotice->pRecord) {
      seen.bHasRecord = true;
      seen.strSrcAddr = pRecord->strSrcAddr;
      seen.strDesAddr = pRecord->strDesAddr;
      seen.strProt = pRecord->strProt;
      seen.nSrcPort = pRecord->nSrcPort;
      seen.nDesPort = pRecord->nDesPort;
      seen.wSize = pRecord->wSize;
      seen.nDataLen = pRecord->nDataLen;
      seen.strPayloadText = reinterpret_cast<const char*>(pRecord->pData);
      seen.block.assign(pRecord->pData, pRecord->pData + PACKET_BUFFER_SIZE);
    }
    notices.push_back(std::move(seen));
    DeleteEngineNotice(pNotice);
  }

  QObject m_context;
  WindowQueue m_window;
};
