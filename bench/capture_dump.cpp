// capture_dump ADDRESS SECONDS
//
// Runs the capture engine on ADDRESS with a plain Qt Core event loop standing
// in for the dialog, and writes one line per delivered record to standard
// output: prot, size, src addr, src port, des addr, des port and the payload
// text as lower-case hex (the block up to its first zero byte), separated by
// tabs. After SECONDS, or on SIGINT or SIGTERM, it stops the engine, waits for
// NOTICE_STOPPED, writes "delivered N" to standard error and exits 0. An
// engine failure writes the engine's text to standard error and exits 1.
// Lines are flushed within 50 ms of being written.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "capture/captureengine.h"
#include "platform/window.h"
#include "startcapture.h"

namespace {

// How often a stop request is repeated until the thread ends: a request made
// before the thread has recorded its id is not heard.
constexpr int kStopRetryMs = 100;

// Lines are flushed this long after the first one written since the last
// flush, so output reaches a pipe or file promptly without a write per line.
constexpr int kFlushDelayMs = 50;

// The longest run a Qt timer can measure in milliseconds (about 24 days).
constexpr double kMaxSeconds = 2e6;

void AppendLine(std::string& strOut, const PacketRecord& rec) {
  static const char kHex[] = "0123456789abcdef";
  strOut += rec.strProt;
  strOut += '\t';
  strOut += std::to_string(rec.wSize);
  strOut += '\t';
  strOut += rec.strSrcAddr;
  strOut += '\t';
  strOut += std::to_string(rec.nSrcPort);
  strOut += '\t';
  strOut += rec.strDesAddr;
  strOut += '\t';
  strOut += std::to_string(rec.nDesPort);
  strOut += '\t';
  // The block always ends in a zero byte, so this stops inside it.
  for (const BYTE* p = rec.pData; *p != 0; ++p) {
    strOut += kHex[*p >> 4];
    strOut += kHex[*p & 0x0F];
  }
  strOut += '\n';
}

bool ParseSeconds(const char* pszText, double* pdSeconds) {
  char* pEnd = nullptr;
  errno = 0;
  const double d = std::strtod(pszText, &pEnd);
  if (errno != 0 || pEnd == pszText || *pEnd != '\0' || !std::isfinite(d) || d < 0 || d > kMaxSeconds) return false;
  *pdSeconds = d;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double dSeconds = 0;
  if (argc != 3 || !ParseSeconds(argv[2], &dSeconds)) {
    std::fprintf(stderr, "usage: %s ADDRESS SECONDS\n", argc > 0 ? argv[0] : "capture_dump");
    return 2;
  }
  const char* pszAddr = argv[1];

  // Blocked before any thread exists, so every thread inherits the mask and
  // the signals are read from the descriptor by the event loop alone.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int fdSignals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  // A closed pipe on standard output makes writes fail, not the process die.
  signal(SIGPIPE, SIG_IGN);

  QCoreApplication app(argc, argv);
  if (!InitSockets()) {
    std::fprintf(stderr, "Initialize socket failed.\n");
    return 1;
  }

  long nDelivered = 0;
  std::string strOut;
  QTimer flushTimer;
  flushTimer.setSingleShot(true);
  flushTimer.setInterval(kFlushDelayMs);
  QObject::connect(&flushTimer, &QTimer::timeout, [] { std::fflush(stdout); });
  WindowQueue window(
      &app,
      [&](UINT, WPARAM wParam, LPARAM) {
        auto* pNotice = reinterpret_cast<EngineNotice*>(wParam);
        if (pNotice->nType == NOTICE_PACKET && pNotice->pRecord != nullptr) {
          strOut.clear();
          AppendLine(strOut, *pNotice->pRecord);
          std::fwrite(strOut.data(), 1, strOut.size(), stdout);
          ++nDelivered;
          if (!flushTimer.isActive()) flushTimer.start();
        } else if (pNotice->nType == NOTICE_STOPPED) {
          QCoreApplication::quit();
        }
        DeleteEngineNotice(pNotice);
      },
      [](UINT, WPARAM wParam, LPARAM) { DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam)); });

  CCaptureEngine engine;
  std::string strError;
  if (!StartCapture(engine, pszAddr, window.hwnd(), &strError)) {
    std::fprintf(stderr, "%s\n", strError.c_str());
    return 1;
  }

  QTimer stopRetry;
  QObject::connect(&stopRetry, &QTimer::timeout, [&] { engine.Stop(); });
  auto requestStop = [&] {
    if (stopRetry.isActive()) return;
    engine.Stop();
    stopRetry.start(kStopRetryMs);
  };
  QTimer::singleShot(static_cast<int>(std::llround(dSeconds * 1000)), requestStop);
  std::optional<QSocketNotifier> signalNotifier;
  if (fdSignals >= 0) {
    signalNotifier.emplace(fdSignals, QSocketNotifier::Read);
    QObject::connect(&*signalNotifier, &QSocketNotifier::activated, [&] {
      signalfd_siginfo info;
      while (read(fdSignals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      requestStop();
    });
  }

  app.exec();
  signalNotifier.reset();
  if (fdSignals >= 0) close(fdSignals);
  std::fflush(stdout);
  std::fprintf(stderr, "delivered %ld\n", nDelivered);
  return 0;
}
