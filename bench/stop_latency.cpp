// stop_latency [RUNS]
//
// Time from CCaptureEngine::Stop to the arrival of NOTICE_STOPPED at the
// notify window, with no traffic, over RUNS runs (default 50). Each run opens
// and starts the engine on 127.0.0.2 in a network namespace of its own, waits
// until the capture thread sits in its receive, then stops it. Prints the
// median and the worst time, and for comparison the time CloseSocket alone
// takes on a capture socket (the thread closes it before it posts the notice).
// Needs root.
#include <QtCore/QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "benchutil.h"
#include "capture/captureengine.h"
#include "platform/capturesocket.h"
#include "platform/window.h"
#include "startcapture.h"

namespace {

using namespace std::chrono_literals;

// How long the thread is given to settle in its receive before Stop: the
// receive time-out is 5000 ms, so it is waiting there, far from any time-out.
constexpr auto kSettle = 20ms;

}  // namespace

int main(int argc, char** argv) {
  const int nRuns = bench::CountArgument(argc, argv, 50, 10000, "stop_latency [RUNS]");
  if (nRuns < 0) return 2;
  if (!bench::EnterOwnNetworkNamespace()) return 1;
  QCoreApplication app(argc, argv);
  if (!InitSockets()) {
    std::fprintf(stderr, "Initialize socket failed.\n");
    return 1;
  }

  std::int64_t nStoppedAtNs = 0;
  WindowQueue window(
      &app,
      [&](UINT, WPARAM wParam, LPARAM) {
        auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
        if (pNotice->nType == NOTICE_STOPPED) nStoppedAtNs = bench::MonotonicNs();
        DeleteEngineNotice(pNotice);
      },
      [](UINT, WPARAM wParam, LPARAM) { DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam)); });

  std::vector<double> totalMs;
  for (int i = 0; i < nRuns; ++i) {
    CCaptureEngine engine;
    std::string strError;
    if (!StartCapture(engine, "127.0.0.2", window.hwnd(), &strError)) {
      std::fprintf(stderr, "%s\n", strError.c_str());
      return 1;
    }
    if (!bench::ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }, 5s)) {
      std::fprintf(stderr, "the capture thread did not start\n");
      return 1;
    }
    bench::ProcessEventsUntil([] { return false; }, kSettle, 0ms);
    nStoppedAtNs = 0;
    const std::int64_t nStopNs = bench::MonotonicNs();
    engine.Stop();
    // No tick: the notice's own event wakes the loop, so nothing but the
    // path under measurement runs in between.
    if (!bench::ProcessEventsUntil([&] { return nStoppedAtNs != 0; }, 10s, 0ms)) {
      std::fprintf(stderr, "no NOTICE_STOPPED within 10 s\n");
      return 1;
    }
    totalMs.push_back(static_cast<double>(nStoppedAtNs - nStopNs) / 1e6);
  }
  std::vector<double> closeMs;
  for (int i = 0; i < nRuns; ++i) {
    SOCKET hSocket = INVALID_SOCKET;
    if (OpenCaptureSocket("127.0.0.2", &hSocket)) {
      std::fprintf(stderr, "cannot open a capture socket\n");
      return 1;
    }
    const std::int64_t nStartNs = bench::MonotonicNs();
    CloseSocket(hSocket);
    closeMs.push_back(static_cast<double>(bench::MonotonicNs() - nStartNs) / 1e6);
  }
  std::printf("stop to NOTICE_STOPPED over %d runs: median %.3f ms, worst %.3f ms\n", nRuns,
              bench::Median(totalMs), bench::Quantile(totalMs, 1.0));
  std::printf("of which CloseSocket of a capture socket:   median %.3f ms, worst %.3f ms\n", bench::Median(closeMs),
              bench::Quantile(closeMs, 1.0));
  return 0;
}
