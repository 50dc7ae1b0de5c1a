// dialog_capture [--seconds S] [--repeats N] [--sizes A,B,...] [--rates R,...] [--idle S]
//
// The whole program at work: the real CMonitorDlg, offscreen, with all three
// protocol boxes checked, capturing through its real engine on 127.0.0.2 in a
// network namespace of its own while udpgen loads it, and `tcpdump -w
// /dev/null` captures the same datagrams. Without --sizes and --rates it runs
// ordinary traffic first (200-byte datagrams at 1,000 and 5,000 a second),
// then floods (64 and 1000 bytes at 200,000 a second and as fast as udpgen
// can); with either, every size at every rate. For each it prints the medians
// of the repeats:
//   sent        datagrams udpgen sent
//   dialog      packet notices the dialog's thread handled
//   tcpdump     packets tcpdump says it captured
//   kdrops      datagrams the kernel dropped for the engine's socket (worst repeat)
//   failpost    notices whose post failed and which the capture thread freed (worst repeat)
//   proc ns/dg  the whole capture's CPU time per notice handled: this process
//               and the capture helper it started
//   tcpd ns/dg  tcpdump's CPU time per packet it captured, over the same run
//   x tcpd      proc ns/dg by tcpd ns/dg
//   %core       the capture's CPU time (this process and the helper) as a share
//               of one core over the run; tcpd %core the same for tcpdump
//   dlg/sent    dialog by sent
//   paints/s    paint events of the list's rows per second while the load ran
//   ms/paint    the dialog thread's CPU time per such paint event
// Then, with capture running and no traffic for --idle seconds (default 10),
// the capture's CPU time as a share of one core.
// Needs root (namespaces, capture), tcpdump, and udpgen beside this program.
#include <unistd.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>

#include <QtCore/QDir>

#include <algorithm>
#include <fstream>
#include <map>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/monitordlg.h"
#include "benchutil.h"
#include "capture/packetrecord.h"
#include "loadrun.h"
#include "platform/capturesocket.h"
#include "res/resource.h"

namespace {

std::thread::id g_uiThread;
long long g_nHandled = 0;  // packet notices freed on the dialog's thread
long long g_nStopped = 0;  // NOTICE_STOPPED handled
std::atomic<long long> g_nFailedPosts{0};

}  // namespace

// The dialog frees every notice it handles exactly once, on its own thread;
// the capture thread frees only those whose post failed (the link wraps the
// symbol).
extern "C" void __real__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice);
extern "C" void __wrap__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice) {
  if (pNotice != nullptr) {
    if (std::this_thread::get_id() != g_uiThread)
      g_nFailedPosts.fetch_add(1, std::memory_order_relaxed);
    else if (pNotice->nType == NOTICE_PACKET)
      ++g_nHandled;
    else if (pNotice->nType == NOTICE_STOPPED)
      ++g_nStopped;
  }
  __real__Z18DeleteEngineNoticeP12EngineNotice(pNotice);
}

namespace {

using namespace std::chrono_literals;

constexpr const char* kAddr = "127.0.0.2";
constexpr int kPort = 9999;

struct RunResult {
  long long nSent = 0, nHandled = 0, nTcpdump = -1, nKernelDrops = 0, nFailedPosts = 0;
  double dProcessNsPerDg = 0, dTcpdumpNsPerDg = 0, dPaintsPerSecond = 0, dMsPerPaint = 0;
  double dCoreShare = 0, dTcpdumpCoreShare = 0;  // CPU time by wall time over the run
};

struct LoadCase {
  long nSize, nRate;
};


// CPU time of each thread of this process, by "tid name".
std::map<std::string, std::int64_t> ThreadCpuNs() {
  std::map<std::string, std::int64_t> threads;
  const QDir tasks("/proc/self/task");
  for (const QString& strTid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    std::ifstream comm(("/proc/self/task/" + strTid + "/comm").toStdString());
    std::ifstream stat(("/proc/self/task/" + strTid + "/schedstat").toStdString());
    std::string strName;
    std::getline(comm, strName);
    long long nNs = 0;
    stat >> nNs;
    threads[strTid.toStdString() + " " + strName] = nNs;
  }
  return threads;
}

// Counts the paint events of the packet list's rows, and the thread's CPU time
// spent handling them.
class PaintCounter : public QObject {
 public:
  long long m_nPaints = 0;
  std::int64_t m_nPaintNs = 0;

 protected:
  bool eventFilter(QObject* pObject, QEvent* pEvent) override {
    if (pEvent->type() != QEvent::Paint || m_bInside) return false;
    ++m_nPaints;
    // Delivered here, inside the paint cycle, so that it can be timed; the
    // filter lets the second pass through.
    m_bInside = true;
    const std::int64_t nStart = bench::ClockNs(CLOCK_THREAD_CPUTIME_ID);
    QCoreApplication::sendEvent(pObject, pEvent);
    m_nPaintNs += bench::ClockNs(CLOCK_THREAD_CPUTIME_ID) - nStart;
    m_bInside = false;
    return true;
  }

 private:
  bool m_bInside = false;
};
PaintCounter* g_pPaints = nullptr;

// Each thread's CPU time since `before`, and the helper's, divided by dPer
// and scaled by dScale, to standard error.
void PrintThreads(const std::map<std::string, std::int64_t>& before, std::int64_t nHelperBefore, pid_t nHelper,
                  double dPer, const char* pszUnit, double dScale) {
  for (const auto& [strThread, nNs] : ThreadCpuNs()) {
    const auto it = before.find(strThread);
    std::fprintf(stderr, "  %-24s %8.3f %s\n", strThread.c_str(),
                 static_cast<double>(nNs - (it == before.end() ? 0 : it->second)) * dScale / dPer, pszUnit);
  }
  std::fprintf(stderr, "  %-24s %8.3f %s\n", "helper",
               static_cast<double>(bench::CpuNsOrZero(nHelper) - nHelperBefore) * dScale / dPer, pszUnit);
}

bool Fail(std::string* pstrError, const std::string& strText) {
  *pstrError = strText;
  return false;
}

// One capture run through the dialog's own Start and Stop.
bool RunOnce(CMonitorDlg& dlg, const QString& strTcpdump, const QString& strUdpgen, long nSize, long nRate,
             double dSeconds, RunResult* pResult, std::string* pstrError) {
  *pResult = RunResult{};
  const std::uint64_t nDropsBefore = GetKernelDropsOfAllSockets();
  const long long nStoppedBefore = g_nStopped;
  dlg.OnStart();
  if (dlg.m_engine.GetThreadId() == 0 &&
      !bench::ProcessEventsUntil([&] { return dlg.m_engine.GetThreadId() != 0; }, 5s))
    return Fail(pstrError, "the capture did not start: " + dlg.m_engine.GetErrorText());

  bench::TcpdumpProbe tcpdump;
  if (!tcpdump.Start(strTcpdump, kPort, pstrError)) {
    dlg.OnStop();
    return false;
  }
  const long long nHandledBefore = g_nHandled;
  const long long nPaintsBefore = g_pPaints->m_nPaints;
  const std::int64_t nPaintNsBefore = g_pPaints->m_nPaintNs;
  const std::int64_t nStartNs = bench::MonotonicNs();
  const long long nFailedBefore = g_nFailedPosts.load();
  const pid_t nHelper = bench::FindChild("morvane-capture");
  if (nHelper <= 0) {
    dlg.OnStop();
    return Fail(pstrError, "no capture helper runs");
  }
  const std::int64_t nHelperCpuBefore = bench::CpuNsOrZero(nHelper);
  const std::int64_t nProcessCpuBefore = bench::ProcessCpuNs(getpid()) + nHelperCpuBefore;
  const std::map<std::string, std::int64_t> threadsBefore = ThreadCpuNs();
  const std::int64_t nTcpdumpCpuBefore = tcpdump.CpuNs();
  if (!bench::RunUdpgen(strUdpgen, kAddr, kPort, nSize, nRate, dSeconds, &pResult->nSent, pstrError)) {
    dlg.OnStop();
    return false;
  }
  // The rest: what is still in the ring or the dialog's queue. Done when every
  // datagram is accounted for, or nothing moved for 300 ms.
  bench::WaitForTheRest([&] { return g_nHandled - nHandledBefore + g_nFailedPosts.load() - nFailedBefore; },
                        pResult->nSent);
  // The list shows the last rows up to a paint pace later: that paint belongs to the run.
  bench::ProcessEventsUntil([] { return false; }, 150ms, 0ms);
  const std::int64_t nProcessCpu = bench::ProcessCpuNs(getpid()) + bench::CpuNsOrZero(nHelper) - nProcessCpuBefore;
  const std::int64_t nTcpdumpCpuAtEnd = tcpdump.CpuNs();
  const std::int64_t nRunNs = bench::MonotonicNs() - nStartNs;
  pResult->dCoreShare = static_cast<double>(nProcessCpu) / static_cast<double>(nRunNs);
  pResult->dTcpdumpCoreShare = static_cast<double>(nTcpdumpCpuAtEnd - nTcpdumpCpuBefore) / static_cast<double>(nRunNs);
  pResult->nHandled = g_nHandled - nHandledBefore;
  pResult->dPaintsPerSecond = static_cast<double>(g_pPaints->m_nPaints - nPaintsBefore) * 1e9 /
                              static_cast<double>(bench::MonotonicNs() - nStartNs);
  if (g_pPaints->m_nPaints > nPaintsBefore)
    pResult->dMsPerPaint = static_cast<double>(g_pPaints->m_nPaintNs - nPaintNsBefore) / 1e6 /
                           static_cast<double>(g_pPaints->m_nPaints - nPaintsBefore);
  if (std::getenv("DIALOG_CAPTURE_THREADS") && pResult->nHandled > 0)
    PrintThreads(threadsBefore, nHelperCpuBefore, nHelper, static_cast<double>(pResult->nHandled), "ns/dg", 1.0);
  pResult->nFailedPosts = g_nFailedPosts.load() - nFailedBefore;

  std::int64_t nTcpdumpCpu = 0;
  pResult->nTcpdump = tcpdump.Finish(&nTcpdumpCpu);
  nTcpdumpCpu -= nTcpdumpCpuBefore;

  dlg.OnStop();
  if (!bench::ProcessEventsUntil([&] { return g_nStopped > nStoppedBefore; }, 10s))
    return Fail(pstrError, "no NOTICE_STOPPED after Stop");
  pResult->nKernelDrops = static_cast<long long>(GetKernelDropsOfAllSockets() - nDropsBefore);
  if (pResult->nHandled > 0)
    pResult->dProcessNsPerDg = static_cast<double>(nProcessCpu) / static_cast<double>(pResult->nHandled);
  if (pResult->nTcpdump > 0)
    pResult->dTcpdumpNsPerDg = static_cast<double>(nTcpdumpCpu) / static_cast<double>(pResult->nTcpdump);
  return true;
}

// Capture running, no traffic, for dSeconds: the capture's CPU time (this
// process and the helper) as a share of one core; negative on failure.
double MeasureIdle(CMonitorDlg& dlg, double dSeconds, std::string* pstrError) {
  const long long nStoppedBefore = g_nStopped;
  dlg.OnStart();
  if (dlg.m_engine.GetThreadId() == 0 &&
      !bench::ProcessEventsUntil([&] { return dlg.m_engine.GetThreadId() != 0; }, 5s))
    return Fail(pstrError, "the capture did not start: " + dlg.m_engine.GetErrorText()), -1;
  const pid_t nHelper = bench::FindChild("morvane-capture");
  bench::ProcessEventsUntil([] { return false; }, 1s, 0ms);  // settle after the start
  const std::int64_t nHelperBefore = bench::CpuNsOrZero(nHelper);
  const std::int64_t nCpuBefore = bench::ProcessCpuNs(getpid()) + nHelperBefore;
  const std::map<std::string, std::int64_t> threadsBefore = ThreadCpuNs();
  const std::int64_t nStartNs = bench::MonotonicNs();
  // No tick: the loop wakes only for what the program itself asks for.
  bench::ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(static_cast<long>(dSeconds * 1000)), 0ms);
  const std::int64_t nCpu = bench::ProcessCpuNs(getpid()) + bench::CpuNsOrZero(nHelper) - nCpuBefore;
  const double dWallNs = static_cast<double>(bench::MonotonicNs() - nStartNs);
  if (std::getenv("DIALOG_CAPTURE_THREADS")) PrintThreads(threadsBefore, nHelperBefore, nHelper, dWallNs, "% core", 100.0);
  dlg.OnStop();
  if (!bench::ProcessEventsUntil([&] { return g_nStopped > nStoppedBefore; }, 10s))
    return Fail(pstrError, "no NOTICE_STOPPED after Stop"), -1;
  return static_cast<double>(nCpu) / dWallNs;
}

// Checks all three protocol boxes and selects kAddr in the address list.
bool PrepareDialog(CMonitorDlg& dlg, std::string* pstrError) {
  for (int nID : {IDC_TCP, IDC_UDP, IDC_ICMP}) {
    auto* pBox = qobject_cast<QCheckBox*>(dlg.GetDlgItem(nID));
    if (pBox != nullptr && !pBox->isChecked()) pBox->click();
  }
  if (!(dlg.m_bTcp && dlg.m_bUdp && dlg.m_bIcmp)) return Fail(pstrError, "the protocol boxes did not check");
  for (int i = 0; i < dlg.m_comboAddr.GetCount(); ++i) {
    QString strText;
    dlg.m_comboAddr.GetLBText(i, strText);
    if (strText == QLatin1String(kAddr)) {
      dlg.m_comboAddr.SetCurSel(i);
      return true;
    }
  }
  return Fail(pstrError, std::string(kAddr) + " is not in the address list");
}

}  // namespace

int main(int argc, char** argv) {
  // --idle S is ours; the rest are the load options the capture benchmarks share.
  double dIdleSeconds = 10;
  bool bOwnCases = false;
  std::vector<char*> loadArgs = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string strArg = argv[i];
    if (strArg == "--idle" && i + 1 < argc) {
      dIdleSeconds = std::atof(argv[++i]);
      continue;
    }
    if (strArg == "--sizes" || strArg == "--rates") bOwnCases = true;
    loadArgs.push_back(argv[i]);
  }
  bench::LoadOptions options;
  options.rates = {200000, 0};
  if (!bench::ParseLoadOptions(static_cast<int>(loadArgs.size()), loadArgs.data(), &options) || dIdleSeconds < 0) {
    std::fprintf(stderr,
                 "usage: dialog_capture [--seconds S] [--repeats N] [--sizes 64,1000] [--rates 200000,0] [--idle S]\n");
    return 2;
  }
  std::vector<LoadCase> cases;
  if (!bOwnCases) cases = {{200, 1000}, {200, 5000}};
  for (long nSize : options.sizes)
    for (long nRate : options.rates) cases.push_back({nSize, nRate});
  if (!bench::EnterOwnNetworkNamespace()) return 1;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  g_uiThread = std::this_thread::get_id();
  std::string strError;
  QString strTcpdump, strUdpgen;
  if (!bench::FindLoadTools(&strTcpdump, &strUdpgen, &strError)) {
    std::fprintf(stderr, "dialog_capture: %s\n", strError.c_str());
    return 1;
  }
  auto pDlg = std::make_unique<CMonitorDlg>();
  if (!pDlg->Create()) {
    std::fprintf(stderr, "dialog_capture: the dialog was not created\n");
    return 1;
  }
  pDlg->show();
  PaintCounter paints;
  g_pPaints = &paints;
  pDlg->m_listPacket.viewport()->installEventFilter(&paints);
  if (!PrepareDialog(*pDlg, &strError)) {
    std::fprintf(stderr, "dialog_capture: %s\n", strError.c_str());
    return 1;
  }

  std::printf("%d s per run, %d repeats, medians; rate 0 = as fast as udpgen can\n", static_cast<int>(options.dSeconds),
              options.nRepeats);
  std::printf("%5s %7s %9s %9s %9s %7s %8s %10s %10s %7s %7s %10s %8s %8s %8s\n", "size", "rate", "sent", "dialog",
              "tcpdump", "kdrops", "failpost", "proc ns/dg", "tcpd ns/dg", "x tcpd", "%core", "tcpd %core", "dlg/sent",
              "paints/s", "ms/paint");
  std::fflush(stdout);
  for (const auto [nSize, nRate] : cases) {
    {
      std::vector<long long> sent, handled, tcpdump, drops, failed;
      std::vector<double> procNs, tcpdNs, byTcpd, bySent, paintRate, paintMs, coreShare, tcpdCoreShare;
      for (int i = 0; i < options.nRepeats; ++i) {
        RunResult r;
        if (!RunOnce(*pDlg, strTcpdump, strUdpgen, nSize, nRate, options.dSeconds, &r, &strError)) {
          std::fprintf(stderr, "dialog_capture: %s\n", strError.c_str());
          return 1;
        }
        sent.push_back(r.nSent);
        handled.push_back(r.nHandled);
        tcpdump.push_back(r.nTcpdump);
        drops.push_back(r.nKernelDrops);
        failed.push_back(r.nFailedPosts);
        procNs.push_back(r.dProcessNsPerDg);
        tcpdNs.push_back(r.dTcpdumpNsPerDg);
        byTcpd.push_back(r.dTcpdumpNsPerDg > 0 ? r.dProcessNsPerDg / r.dTcpdumpNsPerDg : 0);
        paintRate.push_back(r.dPaintsPerSecond);
        paintMs.push_back(r.dMsPerPaint);
        coreShare.push_back(100.0 * r.dCoreShare);
        tcpdCoreShare.push_back(100.0 * r.dTcpdumpCoreShare);
        bySent.push_back(r.nSent > 0 ? static_cast<double>(r.nHandled) / static_cast<double>(r.nSent) : 0);
      }
      const std::string strRate = nRate == 0 ? "max" : std::to_string(nRate / 1000) + "k";
      std::printf("%5ld %7s %9lld %9lld %9lld %7lld %8lld %10.0f %10.0f %7.2f %7.2f %10.2f %8.4f %8.1f %8.2f\n", nSize,
                  strRate.c_str(), bench::Median(sent), bench::Median(handled), bench::Median(tcpdump),
                  *std::max_element(drops.begin(), drops.end()), *std::max_element(failed.begin(), failed.end()),
                  bench::Median(procNs), bench::Median(tcpdNs), bench::Median(byTcpd), bench::Median(coreShare),
                  bench::Median(tcpdCoreShare), bench::Median(bySent), bench::Median(paintRate),
                  bench::Median(paintMs));
      std::fflush(stdout);
    }
  }
  if (dIdleSeconds > 0) {
    const double dShare = MeasureIdle(*pDlg, dIdleSeconds, &strError);
    if (dShare < 0) {
      std::fprintf(stderr, "dialog_capture: %s\n", strError.c_str());
      return 1;
    }
    std::printf("no traffic, capture running (%.0f s): %.3f %% of one core\n", dIdleSeconds, 100.0 * dShare);
  }
  // What one paint of the list costs, with the rows the last run left.
  std::vector<double> repaintMs;
  for (int i = 0; i < 50; ++i) {
    const std::int64_t nStart = bench::MonotonicNs();
    pDlg->m_listPacket.viewport()->repaint();
    repaintMs.push_back(static_cast<double>(bench::MonotonicNs() - nStart) / 1e6);
  }
  std::printf("list repaint (%d rows): median %.2f ms\n", pDlg->m_listPacket.GetItemCount(), bench::Median(repaintMs));
  pDlg.reset();
  return 0;
}
