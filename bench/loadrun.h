#pragma once
// What the capture benchmarks share: tcpdump as the yardstick, capturing the
// same traffic, and udpgen as the load, both on the namespace's loopback.
#include <sys/types.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QStandardPaths>
#include <QtCore/QString>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchutil.h"

namespace bench {

// --seconds S --repeats N --sizes A,B,... --rates R,... (rate 0: as fast as udpgen can).
struct LoadOptions {
  double dSeconds = 3;
  int nRepeats = 3;
  std::vector<long> sizes = {64, 1000};
  std::vector<long> rates;
};

inline std::vector<long> ParseLongList(const char* psz) {
  std::vector<long> values;
  for (const QString& str : QString::fromLocal8Bit(psz).split(',', Qt::SkipEmptyParts)) values.push_back(str.toLong());
  return values;
}

// Fills in *pOptions over its defaults; false on anything unknown or out of range.
inline bool ParseLoadOptions(int argc, char** argv, LoadOptions* pOptions) {
  for (int i = 1; i < argc; i += 2) {
    const std::string strArg = argv[i];
    if (i + 1 >= argc) return false;
    const char* pszValue = argv[i + 1];
    if (strArg == "--seconds")
      pOptions->dSeconds = std::atof(pszValue);
    else if (strArg == "--repeats")
      pOptions->nRepeats = std::atoi(pszValue);
    else if (strArg == "--sizes")
      pOptions->sizes = ParseLongList(pszValue);
    else if (strArg == "--rates")
      pOptions->rates = ParseLongList(pszValue);
    else
      return false;
  }
  return pOptions->dSeconds > 0 && pOptions->dSeconds <= 60 && pOptions->nRepeats > 0 && !pOptions->sizes.empty() &&
         !pOptions->rates.empty();
}

// tcpdump and udpgen (beside the running program); false with a message.
inline bool FindLoadTools(QString* pstrTcpdump, QString* pstrUdpgen, std::string* pstrError) {
  *pstrTcpdump = QStandardPaths::findExecutable("tcpdump");
  if (pstrTcpdump->isEmpty()) *pstrTcpdump = QStandardPaths::findExecutable("tcpdump", {"/usr/sbin", "/usr/bin"});
  *pstrUdpgen = QCoreApplication::applicationDirPath() + "/udpgen";
  if (pstrTcpdump->isEmpty()) {
    *pstrError = "tcpdump not found (apt-get install tcpdump)";
    return false;
  }
  if (access(pstrUdpgen->toLocal8Bit().constData(), X_OK) != 0) {
    *pstrError = "udpgen not found beside the benchmark";
    return false;
  }
  return true;
}

// `tcpdump -w /dev/null` on the UDP datagrams to one port that come in on lo
// (-Q in: loopback passes each datagram out and in; counted once, as the
// engine counts it).
class TcpdumpProbe {
 public:
  bool Start(const QString& strTcpdump, int nPort, std::string* pstrError) {
    using namespace std::chrono_literals;
    m_process.setProgram(strTcpdump);
    m_process.setArguments({"-i", "lo", "-Q", "in", "-n", "-w", "/dev/null", "udp dst port " + QString::number(nPort)});
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_err += m_process.readAllStandardError(); });
    m_process.start();
    if (ProcessEventsUntil([this] { return m_err.contains("listening on"); }, 10s)) return true;
    m_process.kill();
    m_process.waitForFinished();
    *pstrError = "tcpdump did not start: " + m_err.toStdString();
    return false;
  }

  // Its CPU time so far (all threads, ns).
  std::int64_t CpuNs() const { return ProcessCpuNs(static_cast<pid_t>(m_process.processId())); }

  // Waits out libpcap's 1000 ms block time-out, so that its last block is
  // handed over, and stops it. *pnCpuNs: its CPU time just before. Returns
  // the packets it captured, -1 when it did not say.
  long long Finish(std::int64_t* pnCpuNs) {
    using namespace std::chrono_literals;
    ProcessEventsUntil([] { return false; }, 1200ms, 0ms);
    *pnCpuNs = CpuNs();
    m_process.terminate();  // tcpdump prints its counts on SIGTERM
    ProcessEventsUntil([this] { return m_process.state() == QProcess::NotRunning; }, 10s);
    m_err += m_process.readAllStandardError();
    const QRegularExpressionMatch match =
        QRegularExpression(R"((\d+) packets captured)").match(QString::fromLocal8Bit(m_err));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
  }

 private:
  QProcess m_process;
  QByteArray m_err;
};

// Runs udpgen to pszAddr:nPort (nRate 0: as fast as it can) for dSeconds while
// the event loop runs; *pnSent: the datagrams it sent.
inline bool RunUdpgen(const QString& strUdpgen, const char* pszAddr, int nPort, long nSize, long nRate,
                      double dSeconds, long long* pnSent, std::string* pstrError) {
  using namespace std::chrono_literals;
  QProcess gen;
  gen.start(strUdpgen, {pszAddr, QString::number(nPort), QString::number(nSize), QString::number(nRate),
                        QString::number(dSeconds)});
  if (!ProcessEventsUntil([&] { return gen.state() == QProcess::NotRunning; },
                          std::chrono::milliseconds(static_cast<long>(dSeconds * 1000) + 10000), 0ms) ||
      gen.exitStatus() != QProcess::NormalExit || gen.exitCode() != 0) {
    gen.kill();
    gen.waitForFinished();
    *pstrError = "udpgen failed: " + gen.readAllStandardError().toStdString();
    return false;
  }
  *pnSent = gen.readAllStandardOutput().trimmed().toLongLong();
  return true;
}

// After the load: waits until seen() (datagrams handled or freed) reaches
// nSent, or nothing moved for 300 ms; what is left may still sit in the ring
// or the window's queue.
template <typename Seen>
void WaitForTheRest(Seen seen, long long nSent) {
  using namespace std::chrono_literals;
  long long nLastSeen = -1;
  auto tLastMove = std::chrono::steady_clock::now();
  ProcessEventsUntil(
      [&] {
        const long long nSeen = seen();
        if (nSeen >= nSent) return true;
        const auto tNow = std::chrono::steady_clock::now();
        if (nSeen != nLastSeen) {
          nLastSeen = nSeen;
          tLastMove = tNow;
        }
        return tNow - tLastMove > 300ms;
      },
      10s);
}

}  // namespace bench
