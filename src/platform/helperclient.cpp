#include "platform/helperclient.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "capturehelper/capturewire.h"
#include "platform/deadline.h"

namespace {

std::mutex g_mtxTestPath;
std::string g_strTestPath;  // guarded by g_mtxTestPath

// The helper beside the running executable: the program's own folder is as
// trusted as the program. Empty when /proc/self/exe cannot be read.
std::string HelperPath() {
  {
    std::lock_guard lock(g_mtxTestPath);
    if (!g_strTestPath.empty()) return g_strTestPath;
  }
  char szExe[PATH_MAX];
  const ssize_t nLen = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
  if (nLen <= 0) return {};
  std::string strPath(szExe, static_cast<std::size_t>(nLen));
  const auto nSlash = strPath.rfind('/');
  if (nSlash == std::string::npos) return {};
  strPath.resize(nSlash + 1);
  return strPath + kHelperFileName;
}

// Waits until fd is readable (or hung up); false at the deadline.
bool WaitReadable(int fd, const Deadline& deadline) {
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int nReady = poll(&pfd, 1, deadline.LeftMs());
    if (nReady > 0) return true;
    if (nReady == 0) return false;
    if (errno != EINTR) return false;
  }
}

struct Fd {
  explicit Fd(int fd = -1) : fd(fd) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

// Reaps the helper, killing it if it has not exited by the deadline. The
// child is ours until reaped, so its pid names no other process; a kill of one
// already exiting does no harm.
void ReapHelper(pid_t pid, const Deadline& deadline) {
  int nStatus = 0;
  if (waitpid(pid, &nStatus, WNOHANG) != 0) return;  // reaped, or not ours to reap (SIGCHLD ignored)
  // Debian 12's glibc declares pidfd_open without C linkage: the system call
  // itself. The descriptor names this process even once its pid is free.
  const int fdPid = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fdPid >= 0) WaitReadable(fdPid, deadline);  // readable once the process has exited
  if (waitpid(pid, &nStatus, WNOHANG) == 0) {
    if (fdPid < 0 || syscall(SYS_pidfd_send_signal, fdPid, SIGKILL, nullptr, 0) != 0) kill(pid, SIGKILL);
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
  }
  if (fdPid >= 0) close(fdPid);
}

}  // namespace

void SetCaptureHelperPathForTesting(const char* pszPath) {
  std::lock_guard lock(g_mtxTestPath);
  g_strTestPath = pszPath != nullptr ? pszPath : "";
}

StepError StepErrorOfHelperStatus(std::uint8_t nStatus) {
  switch (nStatus) {
    case HELPER_OK: return nullptr;
    case HELPER_BIND_FAILED: return kBindIpFailed;
    case HELPER_RECEIVE_ALL_FAILED: return kReceiveAllFailed;
    default: return kCreateSocketFailed;  // HELPER_CREATE_FAILED, or a byte that names no step
  }
}

StepError ReceiveHelperAnswer(int fdChannel, int nWaitMs) {
  if (!WaitReadable(fdChannel, Deadline(nWaitMs))) return kCreateSocketFailed;
  char bytes[2] = {};  // room for one too many, to see a longer message
  iovec iov{bytes, sizeof bytes};
  // Room for descriptors, although the helper sends none, so that whatever
  // the kernel installs is seen and closed.
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t nGot;
  do {
    nGot = recvmsg(fdChannel, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (nGot < 0 && errno == EINTR);
  if (nGot < 0) return kCreateSocketFailed;  // nothing arrived

  bool bWellFormed = nGot == 1 && (msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) == 0;  // not end-of-file (0), not more
  for (cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg); pCmsg != nullptr; pCmsg = CMSG_NXTHDR(&msg, pCmsg)) {
    bWellFormed = false;
    if (pCmsg->cmsg_level != SOL_SOCKET || pCmsg->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t nCount = (pCmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < nCount; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(pCmsg) + i * sizeof(int), sizeof fd);
      close(fd);
    }
  }
  if (!bWellFormed) return kCreateSocketFailed;
  const auto nStatus = static_cast<std::uint8_t>(bytes[0]);
  return StepErrorOfHelperStatus(nStatus);
}

StepError StartCaptureHelper(LPCSTR pszAddr, int* pfdChannel, pid_t* pPid) {
  *pfdChannel = -1;
  *pPid = 0;
  const std::string strHelper = HelperPath();
  if (strHelper.empty() || pszAddr == nullptr) return kCreateSocketFailed;
  int fdPair[2];
  // Both ends close-on-exec: only the helper's copy on kHelperChannelFd, made
  // by the spawn's dup2, crosses the exec, so no other child of ours keeps
  // the channel open and end-of-file means the helper is gone.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fdPair) != 0) return kCreateSocketFailed;
  Fd ours(fdPair[0]);
  Fd theirs(fdPair[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return kCreateSocketFailed;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return kCreateSocketFailed;
  }
  // dup2 onto the same number clears close-on-exec as well.
  posix_spawn_file_actions_adddup2(&actions, theirs.fd, kHelperChannelFd);
  // No blocked or ignored signal of ours reaches the helper.
  sigset_t emptySet, allSet;
  sigemptyset(&emptySet);
  sigfillset(&allSet);
  posix_spawnattr_setsigmask(&attr, &emptySet);
  posix_spawnattr_setsigdefault(&attr, &allSet);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(strHelper.c_str()), const_cast<char*>(pszAddr), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = -1;
  // A missing helper, or one this user may not run, fails here (glibc reports
  // the exec's failure and reaps that child itself).
  const int nSpawn = posix_spawn(&pid, strHelper.c_str(), &actions, &attr, argv, envp);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (nSpawn != 0) return kCreateSocketFailed;
  close(std::exchange(theirs.fd, -1));  // ours must not keep the helper's end open

  const Deadline deadline(kHelperWaitMs);
  if (const StepError pszError = ReceiveHelperAnswer(ours.fd, deadline.LeftMs())) {
    close(std::exchange(ours.fd, -1));  // a helper that answered a failure exits; one that hangs sees its end
    ReapHelper(pid, deadline);
    return pszError;
  }
  *pfdChannel = std::exchange(ours.fd, -1);
  *pPid = pid;
  return nullptr;
}

void EndCaptureHelper(int fdChannel, pid_t pid, int nWaitMs) {
  if (fdChannel >= 0) close(fdChannel);
  if (pid > 0) ReapHelper(pid, Deadline(nWaitMs));
}
