#pragma once
// Small helpers the benchmarks share: a network namespace of their own,
// medians and percentiles, thread clocks and a bounded event-loop wait.
#include <dirent.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// Moves the process into a new network namespace with loopback up and
// 127.0.0.2 on it, so that the traffic a benchmark makes exists nowhere else.
// Call before any thread is made. False (with a message) when not permitted.
inline bool EnterOwnNetworkNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    std::perror("unshare(CLONE_NEWNET) (needs root or CAP_SYS_ADMIN)");
    return false;
  }
  if (std::system("ip link set lo up") != 0 || std::system("ip addr add 127.0.0.2/8 dev lo") != 0) {
    std::fprintf(stderr, "cannot set up loopback in the new namespace\n");
    return false;
  }
  return true;
}

// The count a benchmark takes as its only argument, nDefault without one; -1
// (after printing pszUsage) when it is not within 1..nMax.
inline int CountArgument(int argc, char** argv, int nDefault, int nMax, const char* pszUsage) {
  const int n = argc > 1 ? std::atoi(argv[1]) : nDefault;
  if (n > 0 && n <= nMax) return n;
  std::fprintf(stderr, "usage: %s\n", pszUsage);
  return -1;
}

// The value at fraction q (0..1) of the sorted values, nearest rank; 0 for none.
template <typename T>
T Quantile(std::vector<T> values, double q) {
  if (values.empty()) return T{};
  std::sort(values.begin(), values.end());
  const auto nIndex = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(nIndex, values.size() - 1)];
}

template <typename T>
T Median(std::vector<T> values) {
  return Quantile(std::move(values), 0.5);
}

inline std::int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return -1;
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline std::int64_t MonotonicNs() { return ClockNs(CLOCK_MONOTONIC); }

// A field such as "voluntary_ctxt_switches" of /proc/self/task/TID/status; -1 when absent.
inline long long TaskStatusField(pid_t tid, const std::string& strField) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.compare(0, strField.size() + 1, strField + ":") == 0)
      return std::atoll(strLine.c_str() + strField.size() + 1);
  }
  return -1;
}

// CPU time (user plus system, ns) of every live thread of process pid: the
// first field of each /proc/PID/task/TID/schedstat. -1 when the process is gone.
inline std::int64_t ProcessCpuNs(pid_t pid) {
  const std::string strTasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* pDir = opendir(strTasks.c_str());
  if (pDir == nullptr) return -1;
  std::int64_t nNs = 0;
  while (const dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] == '.') continue;
    std::ifstream in(strTasks + "/" + pEntry->d_name + "/schedstat");
    long long nTaskNs = 0;
    if (in >> nTaskNs) nNs += nTaskNs;
  }
  closedir(pDir);
  return nNs;
}

// The live child of this process whose command name is pszComm (the capture
// helper, "morvane-capture"), from /proc/PID/stat; -1 when there is none.
inline pid_t FindChild(const std::string& strComm) {
  DIR* pDir = opendir("/proc");
  if (pDir == nullptr) return -1;
  pid_t nFound = -1;
  while (const dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] < '1' || pEntry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + pEntry->d_name + "/stat");
    std::string strStat;
    if (!std::getline(in, strStat)) continue;
    const auto nOpen = strStat.find('('), nClose = strStat.rfind(')');  // the name may hold spaces
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose + 4 >= strStat.size()) continue;
    const long nParent = std::atol(strStat.c_str() + nClose + 4);  // behind ") S "
    if (nParent == getpid() && strStat.compare(nOpen + 1, nClose - nOpen - 1, strComm) == 0) {
      nFound = static_cast<pid_t>(std::atol(pEntry->d_name));
      break;
    }
  }
  closedir(pDir);
  return nFound;
}

// CPU time (ns) of process pid, 0 for none (-1) or one that is gone.
inline std::int64_t CpuNsOrZero(pid_t pid) {
  const std::int64_t nNs = pid > 0 ? ProcessCpuNs(pid) : 0;
  return nNs > 0 ? nNs : 0;
}

// The process's peak resident set (VmHWM) in KiB.
inline long long PeakRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.compare(0, 6, "VmHWM:") == 0) return std::atoll(strLine.c_str() + 6);
  }
  return -1;
}

// Runs the event loop until pred() holds; false if it still does not after
// `bound`. A tick of 0 ms wakes the loop only for events and at the bound, for
// conditions that an event always changes (and for counting the loop's wake-ups).
template <typename Pred>
bool ProcessEventsUntil(Pred pred, std::chrono::milliseconds bound,
                        std::chrono::milliseconds tick = std::chrono::milliseconds(2)) {
  QDeadlineTimer deadline(bound.count(), Qt::PreciseTimer);
  QTimer wake;  // wakes the loop for conditions that change without an event, and at the bound
  wake.setTimerType(Qt::PreciseTimer);
  wake.setSingleShot(tick.count() == 0);
  if (tick.count() > 0) wake.start(tick);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    // A timer may fire a little before the deadline it was set for: re-arm.
    if (!wake.isActive()) wake.start(static_cast<int>(deadline.remainingTime()) + 1);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace bench
