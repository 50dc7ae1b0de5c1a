// capture_bench [--seconds S] [--repeats N] [--sizes A,B,...] [--rates R,...]
//
// Capture at fixed loads. In a network namespace of its own (loopback with
// 127.0.0.2), for each payload size and rate it runs udpgen (rate 0: as fast
// as it can) against 127.0.0.2 and captures that traffic at the same time with
// (a) the capture engine, whose notices go to a WindowQueue on this program's
// main thread, which frees them, and (b) `tcpdump -w /dev/null` on the
// generator's port. It prints one row per size and rate, the median of the
// repeats for each column:
//   sent       datagrams udpgen sent
//   engine     notices for them handled on the window's thread
//   tcpdump    packets tcpdump says it captured
//   kdrops     datagrams the kernel dropped for the engine's socket
//   failpost   notices whose post failed and which the capture thread freed
//   qfull      posts that found the window's queue full and waited for room
//   cap ns/dg  capture-thread CPU time per datagram the engine took
//   ui ns/dg   window-thread CPU time per notice handled
//   ui wake/kdg  window-thread wake-ups (voluntary context switches) per 1000 notices
//   help ns/dg  the capture helper's CPU time per datagram the engine took
//   proc ns/dg  the whole capture's CPU time per datagram the engine took: this
//               process and the capture helper it started
//   tcpd ns/dg  tcpdump's CPU time per packet it captured, over the same run
//   x tcpd      proc ns/dg by tcpd ns/dg
//   eng/sent, eng/tcpd  the ratios (medians), and min e/s, the lowest eng/sent of the repeats
// With CAPTURE_BENCH_EACH set in the environment, each repeat's counts also go
// to standard error. Needs root (namespaces, capture), tcpdump, and udpgen
// beside this program.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "benchutil.h"
#include "loadrun.h"
#include "capture/captureengine.h"
#include "platform/capturesocket.h"
#include "platform/window.h"
#include "startcapture.h"

// The engine's posts and frees go through here (the link wraps the symbols):
// a post that finds the window's queue full is counted as a wait, and a notice
// the capture thread frees is one whose post failed (its window gone, or the
// old rule of freeing on a full queue), counted as a failed post.
extern "C" PostResult __real__Z15TryPostMessagesP6HWND__jSt4spanIKmLm18446744073709551615EEPm(
    HWND hWnd, UINT nMsg, std::span<const WPARAM> wParams, std::size_t* pnPosted);
extern "C" void __real__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice);
static std::atomic<std::uint64_t> g_nFailedPosts{0};
static std::atomic<std::uint64_t> g_nFullQueue{0};
static std::atomic<pthread_t> g_captureThread{};
static std::atomic<bool> g_bCaptureThreadSet{false};
extern "C" PostResult __wrap__Z15TryPostMessagesP6HWND__jSt4spanIKmLm18446744073709551615EEPm(
    HWND hWnd, UINT nMsg, std::span<const WPARAM> wParams, std::size_t* pnPosted) {
  const PostResult result =
      __real__Z15TryPostMessagesP6HWND__jSt4spanIKmLm18446744073709551615EEPm(hWnd, nMsg, wParams, pnPosted);
  if (result == PostResult::kQueueFull) g_nFullQueue.fetch_add(1, std::memory_order_relaxed);
  return result;
}
extern "C" void __wrap__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice) {
  if (pNotice != nullptr && g_bCaptureThreadSet.load(std::memory_order_relaxed) &&
      pthread_equal(pthread_self(), g_captureThread.load(std::memory_order_relaxed)))
    g_nFailedPosts.fetch_add(1, std::memory_order_relaxed);
  __real__Z18DeleteEngineNoticeP12EngineNotice(pNotice);
}

namespace {

using namespace std::chrono_literals;

constexpr const char* kAddr = "127.0.0.2";
constexpr int kPort = 9999;
// The capture thread's CPU clock, recorded by the thread itself as it starts.
std::atomic<clockid_t> g_captureClock{0};
std::atomic<bool> g_bCaptureClockSet{false};

void RecordCaptureClock() {
  g_captureThread.store(pthread_self());
  g_bCaptureThreadSet.store(true);
  clockid_t clock{};
  if (pthread_getcpuclockid(pthread_self(), &clock) == 0) {
    g_captureClock.store(clock);
    g_bCaptureClockSet.store(true);
  }
}


struct RunResult {
  long long nSent = 0, nEngine = 0, nTcpdump = -1, nKernelDrops = 0, nFailedPosts = 0, nFullQueue = 0;
  double dCaptureNsPerDg = 0, dUiNsPerDg = 0, dUiWakesPerKdg = 0, dHelperNsPerDg = 0, dProcessNsPerDg = 0;
  double dTcpdumpNsPerDg = 0;
  double dEngineBySent = 0, dEngineByTcpdump = 0;
};


class Bench {
 public:
  Bench()
      : m_window(
            QCoreApplication::instance(),
            [this](UINT, WPARAM wParam, LPARAM) {
              auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
              if (pNotice->nType == NOTICE_PACKET && pNotice->pRecord && pNotice->pRecord->nDesPort == kPort)
                ++m_nHandled;
              else if (pNotice->nType == NOTICE_STOPPED)
                m_bStopped = true;
              DeleteEngineNotice(pNotice);
            },
            [](UINT, WPARAM wParam, LPARAM) { DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam)); }),
        m_nMainTid(static_cast<pid_t>(syscall(SYS_gettid))) {}

  bool RunOnce(long nSize, long nRate, double dSeconds, RunResult* pResult, std::string* pstrError) {
    *pResult = RunResult{};
    m_nHandled = 0;
    m_bStopped = false;
    const std::uint64_t nDropsBefore = GetKernelDropsOfAllSockets();

    CCaptureEngine engine;
    g_bCaptureClockSet.store(false);
    std::string strEngineError;
    if (!StartCapture(engine, kAddr, m_window.hwnd(), &strEngineError))
      return Fail(pstrError, "engine: " + strEngineError);
    if (!bench::ProcessEventsUntil([&] { return engine.GetThreadId() != 0 && g_bCaptureClockSet.load(); }, 5s))
      return Fail(pstrError, "the capture thread did not start");

    bench::TcpdumpProbe tcpdump;
    if (!tcpdump.Start(m_strTcpdump, kPort, pstrError)) {
      StopEngine(engine);
      return false;
    }

    const std::int64_t nCpuBefore = bench::ClockNs(g_captureClock.load());
    const std::int64_t nUiCpuBefore = bench::ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const pid_t nHelper = bench::FindChild("morvane-capture");
    if (nHelper <= 0) {
      StopEngine(engine);
      return Fail(pstrError, "no capture helper runs");
    }
    const std::int64_t nProcessCpuBefore = bench::ProcessCpuNs(getpid());
    const std::int64_t nHelperCpuBefore = bench::CpuNsOrZero(nHelper);
    const std::int64_t nTcpdumpCpuBefore = tcpdump.CpuNs();
    const long long nWakesBefore = bench::TaskStatusField(m_nMainTid, "voluntary_ctxt_switches");
    const std::uint64_t nFailedBefore = g_nFailedPosts.load();
    const std::uint64_t nFullBefore = g_nFullQueue.load();

    if (!bench::RunUdpgen(m_strUdpgen, kAddr, kPort, nSize, nRate, dSeconds, &pResult->nSent, pstrError)) {
      StopEngine(engine);
      return false;
    }
    // Counted up to here: the wait below wakes the loop itself.
    const long long nWakes = bench::TaskStatusField(m_nMainTid, "voluntary_ctxt_switches") - nWakesBefore;
    const long long nHandledByGenEnd = m_nHandled;

    // The rest of the traffic: what is still in the ring or the window's queue.
    // Done when every datagram is accounted for, or nothing moved for 300 ms.
    bench::WaitForTheRest(
        [&] { return m_nHandled + static_cast<long long>(g_nFailedPosts.load() - nFailedBefore); }, pResult->nSent);

    const std::int64_t nCpu = bench::ClockNs(g_captureClock.load()) - nCpuBefore;
    const std::int64_t nUiCpu = bench::ClockNs(CLOCK_THREAD_CPUTIME_ID) - nUiCpuBefore;
    const std::int64_t nHelperCpu = bench::CpuNsOrZero(nHelper) - nHelperCpuBefore;
    const std::int64_t nProcessCpu = bench::ProcessCpuNs(getpid()) - nProcessCpuBefore + nHelperCpu;
    pResult->nFailedPosts = static_cast<long long>(g_nFailedPosts.load() - nFailedBefore);
    pResult->nFullQueue = static_cast<long long>(g_nFullQueue.load() - nFullBefore);
    pResult->nEngine = m_nHandled;

    std::int64_t nTcpdumpCpu = 0;
    pResult->nTcpdump = tcpdump.Finish(&nTcpdumpCpu);
    nTcpdumpCpu -= nTcpdumpCpuBefore;

    if (!StopEngine(engine)) return Fail(pstrError, "no NOTICE_STOPPED after Stop");
    pResult->nKernelDrops = static_cast<long long>(GetKernelDropsOfAllSockets() - nDropsBefore);

    const long long nTaken = pResult->nEngine + pResult->nFailedPosts;
    if (nTaken > 0) {
      pResult->dCaptureNsPerDg = static_cast<double>(nCpu) / static_cast<double>(nTaken);
      pResult->dProcessNsPerDg = static_cast<double>(nProcessCpu) / static_cast<double>(nTaken);
      pResult->dHelperNsPerDg = static_cast<double>(nHelperCpu) / static_cast<double>(nTaken);
    }
    if (pResult->nTcpdump > 0)
      pResult->dTcpdumpNsPerDg = static_cast<double>(nTcpdumpCpu) / static_cast<double>(pResult->nTcpdump);
    if (pResult->nEngine > 0) {
      pResult->dUiNsPerDg = static_cast<double>(nUiCpu) / static_cast<double>(pResult->nEngine);
    }
    if (nHandledByGenEnd > 0)
      pResult->dUiWakesPerKdg = 1000.0 * static_cast<double>(nWakes) / static_cast<double>(nHandledByGenEnd);
    if (pResult->nSent > 0)
      pResult->dEngineBySent = static_cast<double>(pResult->nEngine) / static_cast<double>(pResult->nSent);
    if (pResult->nTcpdump > 0)
      pResult->dEngineByTcpdump = static_cast<double>(pResult->nEngine) / static_cast<double>(pResult->nTcpdump);
    return true;
  }

  bool FindTools(std::string* pstrError) { return bench::FindLoadTools(&m_strTcpdump, &m_strUdpgen, pstrError); }

 private:
  static bool Fail(std::string* pstrError, const std::string& strText) {
    *pstrError = strText;
    return false;
  }

  bool StopEngine(CCaptureEngine& engine) {
    engine.Stop();
    return bench::ProcessEventsUntil([&] { return m_bStopped; }, 10s);
  }

  WindowQueue m_window;
  pid_t m_nMainTid;
  long long m_nHandled = 0;
  bool m_bStopped = false;
  QString m_strTcpdump, m_strUdpgen;
};

}  // namespace

int main(int argc, char** argv) {
  bench::LoadOptions options;
  options.rates = {10000, 100000, 200000, 0};
  if (!bench::ParseLoadOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: capture_bench [--seconds S] [--repeats N] [--sizes 64,1000] [--rates 10000,0]\n");
    return 2;
  }
  if (!bench::EnterOwnNetworkNamespace()) return 1;
  QCoreApplication app(argc, argv);
  if (!InitSockets()) {
    std::fprintf(stderr, "Initialize socket failed.\n");
    return 1;
  }
  SetCaptureThreadStartHookForTesting(RecordCaptureClock);
  Bench bench;
  std::string strError;
  if (!bench.FindTools(&strError)) {
    std::fprintf(stderr, "capture_bench: %s\n", strError.c_str());
    return 1;
  }

  std::printf("%d s per run, %d repeats, medians; rate 0 = as fast as udpgen can\n", static_cast<int>(options.dSeconds),
              options.nRepeats);
  std::printf("%5s %7s %9s %9s %9s %7s %8s %8s %9s %8s %11s %8s %9s %8s %10s %10s %10s %7s\n", "size", "rate", "sent",
              "engine", "tcpdump", "kdrops", "failpost", "qfull", "cap ns/dg", "ui ns/dg", "ui wake/kdg", "eng/sent",
              "eng/tcpd", "min e/s", "help ns/dg", "proc ns/dg", "tcpd ns/dg", "x tcpd");
  std::fflush(stdout);
  for (long nSize : options.sizes) {
    for (long nRate : options.rates) {
      std::vector<long long> sent, engine, tcpdump, drops, failed, full;
      std::vector<double> capNs, uiNs, uiWakes, bySent, byTcpdump, helpNs, procNs, tcpdNs, byTcpdNs;
      for (int i = 0; i < options.nRepeats; ++i) {
        RunResult r;
        if (!bench.RunOnce(nSize, nRate, options.dSeconds, &r, &strError)) {
          std::fprintf(stderr, "capture_bench: %s\n", strError.c_str());
          return 1;
        }
        if (std::getenv("CAPTURE_BENCH_EACH"))
          std::fprintf(stderr, "  repeat %d: sent %lld engine %lld kdrops %lld failpost %lld qfull %lld\n", i, r.nSent,
                       r.nEngine, r.nKernelDrops, r.nFailedPosts, r.nFullQueue);
        sent.push_back(r.nSent);
        engine.push_back(r.nEngine);
        tcpdump.push_back(r.nTcpdump);
        drops.push_back(r.nKernelDrops);
        failed.push_back(r.nFailedPosts);
        full.push_back(r.nFullQueue);
        capNs.push_back(r.dCaptureNsPerDg);
        uiNs.push_back(r.dUiNsPerDg);
        uiWakes.push_back(r.dUiWakesPerKdg);
        bySent.push_back(r.dEngineBySent);
        byTcpdump.push_back(r.dEngineByTcpdump);
        helpNs.push_back(r.dHelperNsPerDg);
        procNs.push_back(r.dProcessNsPerDg);
        tcpdNs.push_back(r.dTcpdumpNsPerDg);
        byTcpdNs.push_back(r.dTcpdumpNsPerDg > 0 ? r.dProcessNsPerDg / r.dTcpdumpNsPerDg : 0);
      }
      const std::string strRate = nRate == 0 ? "max" : std::to_string(nRate / 1000) + "k";
      // Drops and failed posts: the worst repeat, since any one is a loss.
      std::printf("%5ld %7s %9lld %9lld %9lld %7lld %8lld %8lld %9.0f %8.0f %11.1f %8.4f %9.3f %8.4f %10.0f %10.0f %10.0f %7.2f\n",
                  nSize,
                  strRate.c_str(), bench::Median(sent), bench::Median(engine), bench::Median(tcpdump),
                  *std::max_element(drops.begin(), drops.end()), *std::max_element(failed.begin(), failed.end()),
                  bench::Median(full), bench::Median(capNs), bench::Median(uiNs),
                  bench::Median(uiWakes), bench::Median(bySent), bench::Median(byTcpdump), bench::Quantile(bySent, 0.0),
                  bench::Median(helpNs), bench::Median(procNs), bench::Median(tcpdNs), bench::Median(byTcpdNs));
      std::fflush(stdout);
    }
  }
  return 0;
}
