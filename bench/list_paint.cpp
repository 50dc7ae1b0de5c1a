// list_paint [PAINTS]
//
// What one paint of the packet list costs while rows arrive: the real
// CMonitorDlg, offscreen, its list at the top and full (501 rows); before each
// paint 20 new rows go on top, so that every row in view is one not painted
// before, as at the list's paint pace under ordinary traffic. Each paint is a
// synchronous repaint of the rows and of the scroll bar; median and worst wall
// time, and the median CPU time of this thread. Payloads of 200 and 1000
// bytes, the letters udpgen sends.
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/monitordlg.h"
#include "benchutil.h"
#include "capture/packetrecord.h"

namespace {

PacketRecord* MakeRecord(int nPayload, int nSeq) {
  auto* pRecord = new PacketRecord{"127.0.0.2", "127.0.0.2", "UDP", new BYTE[PACKET_BUFFER_SIZE](),
                                   40000 + nSeq % 1000, 9999, static_cast<WORD>(28 + nPayload), nPayload};
  for (int i = 0; i < nPayload; ++i) pRecord->pData[i] = static_cast<BYTE>('a' + i % 26);
  return pRecord;
}

struct Figures {
  double dMedianMs, dWorstMs, dCpuMedianMs;
};

Figures TimePaints(CPacketList& list, int nPayload, int nPaints) {
  std::vector<double> wallMs, cpuMs;
  static int s_nSeq = 0;
  for (int i = 0; i < nPaints; ++i) {
    for (int j = 0; j < 20; ++j) {
      if (list.GetItemCount() > MAX_LIST_ITEMS) list.DeleteAllItems();
      list.InsertRecord(MakeRecord(nPayload, s_nSeq++));
    }
    QCoreApplication::processEvents();  // the view's layout, as before a paint
    const std::int64_t nStartNs = bench::MonotonicNs();
    const std::int64_t nCpuStartNs = bench::ClockNs(CLOCK_THREAD_CPUTIME_ID);
    list.viewport()->repaint();
    list.verticalScrollBar()->repaint();
    cpuMs.push_back(static_cast<double>(bench::ClockNs(CLOCK_THREAD_CPUTIME_ID) - nCpuStartNs) / 1e6);
    wallMs.push_back(static_cast<double>(bench::MonotonicNs() - nStartNs) / 1e6);
  }
  return {bench::Median(wallMs), bench::Quantile(wallMs, 1.0), bench::Median(cpuMs)};
}

}  // namespace

int main(int argc, char** argv) {
  const int nPaints = bench::CountArgument(argc, argv, 300, 100000, "list_paint [PAINTS]");
  if (nPaints < 0) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  auto pDlg = std::make_unique<CMonitorDlg>();
  if (!pDlg->Create()) {
    std::fprintf(stderr, "list_paint: the dialog was not created\n");
    return 1;
  }
  CPacketList& list = pDlg->m_listPacket;
  std::printf("packet list paint with 20 new rows on top each time, %d paints each\n", nPaints);
  for (int nPayload : {200, 1000}) {
    list.DeleteAllItems();
    TimePaints(list, nPayload, 30);  // warm-up: glyph caches, backing store, a full list
    const Figures f = TimePaints(list, nPayload, nPaints);
    std::printf("  %4d-byte payloads: median %.3f ms, worst %.3f ms; thread CPU median %.3f ms\n", nPayload,
                f.dMedianMs, f.dWorstMs, f.dCpuMedianMs);
  }
  return 0;
}
