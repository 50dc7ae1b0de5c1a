#pragma once
// Helpers shared by the capture tests: hand-built IPv4 datagrams and a window
// that logs the engine's notices.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QtCore/QObject>
#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "../platform/qtapp.h"
#include "capture/packetrecord.h"
#include "platform/window.h"

// True when this process has no child at all: every capture helper it started
// has been reaped. Reaps one child that has exited, if there is one.
inline bool NoChildLeft() {
  errno = 0;
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

inline std::vector<BYTE> Bytes(const std::string& str) { return std::vector<BYTE>(str.begin(), str.end()); }

inline std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// nLen bytes: wA and wB big-endian (ports, or an IPv4 header's first words),
// byte nAt set to nValue, zeros elsewhere.
inline std::vector<BYTE> Header(int wA, int wB, int nLen, int nAt, int nValue) {
  std::vector<BYTE> h(static_cast<std::size_t>(nLen), 0);
  h[0] = static_cast<BYTE>(wA >> 8), h[1] = static_cast<BYTE>(wA), h[2] = static_cast<BYTE>(wB >> 8);
  h[3] = static_cast<BYTE>(wB), h[static_cast<std::size_t>(nAt)] = static_cast<BYTE>(nValue);
  return h;
}

// One IPv4 datagram: a header of nIhlWords words (at least the fixed 20 bytes
// written), then `transport`; the total length field is the built length
// unless nTotalLength says otherwise.
inline std::vector<BYTE> BuildIPv4(int nProt, std::array<BYTE, 4> src, std::array<BYTE, 4> des,
                                   const std::vector<BYTE>& transport, int nIhlWords = 5, int nTotalLength = -1) {
  const int nHeader = std::max(nIhlWords, 5) * 4;
  const int nTotal = nTotalLength >= 0 ? nTotalLength : nHeader + static_cast<int>(transport.size());
  std::vector<BYTE> dg = Header(0x4000 | (nIhlWords & 0x0F) << 8, nTotal, nHeader, 9, nProt);
  std::copy(src.begin(), src.end(), dg.begin() + 12);
  std::copy(des.begin(), des.end(), dg.begin() + 16);
  return Concat({dg, transport});
}

inline std::vector<BYTE> TcpSegment(int nSrcPort, int nDesPort, int nOffsetWords, const std::vector<BYTE>& payload) {
  return Concat({Header(nSrcPort, nDesPort, std::max(nOffsetWords, 5) * 4, 12, nOffsetWords << 4), payload});
}

inline std::vector<BYTE> UdpDatagram(int nSrcPort, int nDesPort, const std::vector<BYTE>& payload) {
  std::vector<BYTE> h = Header(nSrcPort, nDesPort, 8, 5, static_cast<int>(8 + payload.size()));
  h[4] = static_cast<BYTE>((8 + payload.size()) >> 8);
  return Concat({h, payload});
}

// A window that keeps every notice it gets until the log goes (the dialog
// frees each as it handles it; here they are looked at afterwards).
class NoticeLog {
 public:
  struct Seen {
    UINT nMsg;
    EngineNotice* p;
    const PacketRecord& rec() const { return *p->pRecord; }
    std::string Text() const { return p->pRecord ? reinterpret_cast<const char*>(p->pRecord->pData) : ""; }
  };
  ~NoticeLog() {
    for (const Seen& n : notices) DeleteEngineNotice(n.p);
  }
  HWND hwnd() const { return m_window.hwnd(); }
  int CountStopped() const {  // NOTICE_STOPPED alone has no record
    return static_cast<int>(std::count_if(notices.begin(), notices.end(), [](const Seen& n) { return !n.p->pRecord; }));
  }
  std::vector<const Seen*> WithPayload(const std::string& strText) const {  // the packet notices with this payload text
    std::vector<const Seen*> found;
    for (const Seen& n : notices)
      if (n.p->pRecord && n.Text() == strText) found.push_back(&n);
    return found;
  }
  std::vector<Seen> notices;

 private:
  QObject m_context;
  static EngineNotice* Notice(WPARAM w) { return reinterpret_cast<EngineNotice*>(w); }
  WindowQueue m_window{&m_context, [this](UINT nMsg, WPARAM w, LPARAM) { notices.push_back({nMsg, Notice(w)}); },
                       [](UINT, WPARAM w, LPARAM) { DeleteEngineNotice(Notice(w)); }};
};
