// dialog_flood [SECONDS]
//
// The real CMonitorDlg, offscreen, with all three protocol boxes checked,
// flooded for SECONDS (default 10) with engine notices through its real
// notify queue. A source thread builds each notice as the engine does (notice,
// record, 1500-byte block; TCP, UDP and ICMP in turn) and posts it as fast as
// it can; a failed post is freed by the source, as the engine frees it.
// Prints the notices handled per second, the posts that failed, the event
// loop's lateness (how much later than due a 10 ms timer fires: median, 99th
// percentile, worst), the peak resident memory and the largest row count seen.
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "app/monitordlg.h"
#include "benchutil.h"
#include "capture/packetrecord.h"
#include "platform/window.h"
#include "res/resource.h"

namespace {

// Set while the flood is measured; the dialog's thread then counts every
// notice it frees (it frees each one it handles exactly once).
std::atomic<bool> g_bCounting{false};
std::thread::id g_uiThread;
long long g_nHandled = 0;  // the dialog's thread only
int g_nMaxRows = 0;
const CMonitorDlg* g_pDlg = nullptr;

}  // namespace

// The dialog's frees go through here (the link wraps the symbol): a notice
// freed on the dialog's thread has been handled.
extern "C" void __real__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice);
extern "C" void __wrap__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice) {
  __real__Z18DeleteEngineNoticeP12EngineNotice(pNotice);
  if (g_bCounting.load(std::memory_order_relaxed) && std::this_thread::get_id() == g_uiThread) {
    ++g_nHandled;
    const int nRows = g_pDlg->m_listPacket.GetItemCount();
    if (nRows > g_nMaxRows) g_nMaxRows = nRows;
  }
}

namespace {

constexpr int kTimerMs = 10;

// A notice as DeliverPacket builds it; null when memory runs out.
EngineNotice* MakeNotice(long long nSeq) {
  static const char* const kProts[] = {"TCP", "UDP", "ICMP"};
  auto* pNotice = new (std::nothrow) EngineNotice;
  auto* pRecord = new (std::nothrow) PacketRecord;
  BYTE* pData = new (std::nothrow) BYTE[PACKET_BUFFER_SIZE];
  if (!pNotice || !pRecord || !pData) {
    delete pNotice;
    delete pRecord;
    delete[] pData;
    return nullptr;
  }
  pRecord->strSrcAddr = "10.1.2.3";
  pRecord->strDesAddr = "10.4.5.6";
  pRecord->strProt = kProts[nSeq % 3];
  pRecord->nSrcPort = static_cast<int>(1024 + nSeq % 60000);
  pRecord->nDesPort = 80;
  std::memset(pData, 0, PACKET_BUFFER_SIZE);
  std::snprintf(reinterpret_cast<char*>(pData), 64, "payload of datagram %lld", nSeq);
  pRecord->pData = pData;
  pRecord->wSize = 88;
  pNotice->nType = NOTICE_PACKET;
  pNotice->strText = pRecord->strSrcAddr;
  pNotice->pRecord = pRecord;
  return pNotice;
}

}  // namespace

int main(int argc, char** argv) {
  const double dSeconds = argc > 1 ? std::atof(argv[1]) : 10;
  if (dSeconds <= 0 || dSeconds > 600) {
    std::fprintf(stderr, "usage: dialog_flood [SECONDS]\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static char szName[] = "Morvane";
  char* appArgv[] = {szName, nullptr};
  int nAppArgc = 1;
  QApplication app(nAppArgc, appArgv);
  g_uiThread = std::this_thread::get_id();

  auto pDlg = std::make_unique<CMonitorDlg>();
  if (!pDlg->Create()) {
    std::fprintf(stderr, "the dialog could not be built\n");
    return 1;
  }
  g_pDlg = pDlg.get();
  auto* pIcmp = qobject_cast<QCheckBox*>(pDlg->GetDlgItem(IDC_ICMP));
  if (pIcmp && !pIcmp->isChecked()) pIcmp->click();
  for (int nID : {IDC_TCP, IDC_UDP}) {
    auto* pBox = qobject_cast<QCheckBox*>(pDlg->GetDlgItem(nID));
    if (pBox && !pBox->isChecked()) pBox->click();
  }
  if (!(pDlg->m_bTcp && pDlg->m_bUdp && pDlg->m_bIcmp)) {
    std::fprintf(stderr, "the protocol boxes could not all be checked\n");
    return 1;
  }
  bench::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(200));  // settle: first paint

  const HWND hWnd = pDlg->GetNotifyWindow();
  std::atomic<bool> bFlooding{true};
  std::atomic<long long> nPosted{0}, nFailed{0};
  g_bCounting.store(true);
  std::thread source([&] {
    long long nSeq = 0;
    while (bFlooding.load(std::memory_order_relaxed)) {
      EngineNotice* pNotice = MakeNotice(nSeq++);
      if (!pNotice) continue;
      if (PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(pNotice), 0)) {
        nPosted.fetch_add(1, std::memory_order_relaxed);
      } else {
        nFailed.fetch_add(1, std::memory_order_relaxed);
        DeleteEngineNotice(pNotice);
      }
    }
  });

  // The lateness probe: a 10 ms single-shot timer, re-armed each time it fires.
  std::vector<double> latenessMs;
  QElapsedTimer sinceArmed;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setSingleShot(true);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    latenessMs.push_back(static_cast<double>(sinceArmed.nsecsElapsed()) / 1e6 - kTimerMs);
    sinceArmed.start();
    probe.start(kTimerMs);
  });
  const std::int64_t nStartNs = bench::MonotonicNs();
  sinceArmed.start();
  probe.start(kTimerMs);
  bench::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(static_cast<long>(dSeconds * 1000)), std::chrono::milliseconds(0));
  g_bCounting.store(false);
  const double dElapsedS = static_cast<double>(bench::MonotonicNs() - nStartNs) / 1e9;
  probe.stop();
  bFlooding.store(false);
  source.join();

  std::printf("dialog flood, %.0f s, all three protocol boxes checked\n", dSeconds);
  std::printf("  notices handled:   %.0f per second (%lld in %.2f s)\n", static_cast<double>(g_nHandled) / dElapsedS,
              g_nHandled, dElapsedS);
  std::printf("  posts:             %lld succeeded, %lld failed (queue full)\n", nPosted.load(), nFailed.load());
  std::printf("  10 ms timer late:  median %.2f ms, p99 %.2f ms, worst %.2f ms (%zu firings)\n",
              bench::Median(latenessMs), bench::Quantile(latenessMs, 0.99), bench::Quantile(latenessMs, 1.0),
              latenessMs.size());
  std::printf("  peak resident:     %.1f MB\n", static_cast<double>(bench::PeakRssKiB()) / 1024.0);
  std::printf("  largest row count: %d\n", g_nMaxRows);
  std::fflush(stdout);
  g_pDlg = nullptr;
  pDlg.reset();  // the queue frees what is still in it
  return 0;
}
