#pragma once
// Seeing that a thread has gone to sleep in a system call, without guessing at
// times: a test of how quickly a sleeping thread is woken must first see it
// asleep, or a fault that ignores the wake-up goes unnoticed.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

// The calling thread's Linux id.
inline pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Records the Linux id of the thread that calls Record(), for hooks that take no argument.
struct TidRecorder {
  static inline std::atomic<pid_t> s_nTid{0};
  static void Record() { s_nTid.store(CurrentTid()); }
};

// True while thread nTid of this process sleeps in a system call other than a
// lock's futex wait: state S in /proc/self/task/<tid>/stat, and in .../syscall
// the number of the call it sleeps in ("running" while it runs).
inline bool IsAsleepInSyscall(pid_t nTid) {
  const std::string strTask = "/proc/self/task/" + std::to_string(nTid);
  std::ifstream statFile(strTask + "/stat");
  std::string strStat;
  if (!std::getline(statFile, strStat)) return false;
  const std::size_t nParen = strStat.rfind(')');  // the name in parentheses may hold spaces
  if (nParen == std::string::npos || nParen + 2 >= strStat.size() || strStat[nParen + 2] != 'S') return false;
  std::ifstream syscallFile(strTask + "/syscall");
  long nCall = -1;
  return (syscallFile >> nCall) && nCall >= 0 && nCall != SYS_futex;
}
