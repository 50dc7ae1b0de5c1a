// morvane-capture ADDRESS: opens the capture socket for the program that
// started it and hands it over on descriptor kHelperChannelFd (capturewire.h).
//
// The one executable of the project that may hold a capability (CAP_NET_RAW,
// given as a file capability by scripts/grant-capture.sh). So it trusts
// nothing it inherits: it clears its environment, makes sure descriptors 0 to
// 2 are open before it opens anything, closes every other inherited
// descriptor, reads no configuration and writes nothing but its answer. It
// holds CAP_NET_RAW only up to creating the socket and gives up every
// capability before it takes another step; if that fails it exits without
// answering.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "capturehelper/capturesteps.h"

namespace {

// Exit codes; the program only tells "answered" from "did not".
constexpr int kExitAnswered = 0;
constexpr int kExitUsage = 2;
constexpr int kExitUnsafe = 3;  // could not set up its descriptors or capabilities
constexpr int kExitNoAnswer = 4;

// A closed 0, 1 or 2 would be taken by the next descriptor opened, and
// anything written to "standard error" would land there.
bool OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (errno != EBADF) return false;
    const int fdNull = open("/dev/null", O_RDWR);
    if (fdNull != fd) return false;  // the lowest free number is fd itself
  }
  return true;
}

// Everything inherited above the channel goes: it is not ours to hold.
void CloseOtherDescriptors() {
  if (close_range(kHelperChannelFd + 1, UINT_MAX, 0) == 0) return;
  const long nMax = sysconf(_SC_OPEN_MAX);
  for (long fd = kHelperChannelFd + 1; fd < (nMax > 0 ? nMax : 1024); ++fd) close(static_cast<int>(fd));
}

// The channel must be what the program gives: a Unix socket.
bool IsChannel(int fd) {
  int nDomain = 0;
  socklen_t nLen = sizeof nDomain;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLen) == 0 && nDomain == AF_UNIX;
}

// One byte, and with HELPER_OK the socket beside it.
bool Answer(HelperStatus status, int fdSocket) {
  char byte = static_cast<char>(status);
  iovec iov{&byte, 1};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (status == HELPER_OK) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg);
    pCmsg->cmsg_level = SOL_SOCKET;
    pCmsg->cmsg_type = SCM_RIGHTS;
    pCmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(pCmsg), &fdSocket, sizeof(int));
  }
  for (;;) {
    const ssize_t nSent = sendmsg(kHelperChannelFd, &msg, MSG_NOSIGNAL);
    if (nSent == 1) return true;
    if (nSent < 0 && errno == EINTR) continue;
    return false;
  }
}

// The steps of opening, in their order; the socket in *pfd once created.
HelperStatus OpenCaptureSocket(const char* pszAddr, int* pfd, bool* pbDropped) {
  int nIfIndex = 0;
  bool bLoopback = false;
  // Checked before any privileged step: a text that names no local address
  // never reaches a call made with a capability.
  HelperStatus status = FindCaptureInterface(pszAddr, &nIfIndex, &bLoopback);
  if (status == HELPER_OK) status = CreateCaptureSocket(pfd);
  *pbDropped = DropAllCapabilities();
  if (!*pbDropped) return status;
  if (status == HELPER_OK) status = SetCaptureTimeout(*pfd, kHelperReceiveTimeoutMs);
  if (status == HELPER_OK) status = BindCaptureInterface(*pfd, nIfIndex);
  if (status == HELPER_OK) status = EnterPromiscuousMode(*pfd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (!OpenStandardDescriptors()) return kExitUnsafe;
  if (clearenv() != 0) return kExitUnsafe;
  CloseOtherDescriptors();
  if (!KeepOnlyCaptureCapability()) {
    DropAllCapabilities();
    return kExitUnsafe;
  }
  if (argc != 2 || !IsChannel(kHelperChannelFd)) {
    DropAllCapabilities();
    return kExitUsage;
  }
  int fdSocket = -1;
  bool bDropped = false;
  const HelperStatus status = OpenCaptureSocket(argv[1], &fdSocket, &bDropped);
  if (!bDropped) return kExitUnsafe;  // the socket closes with the process, unseen
  const bool bAnswered = Answer(status, fdSocket);
  if (fdSocket >= 0) close(fdSocket);  // the program's copy keeps it open
  return bAnswered ? kExitAnswered : kExitNoAnswer;
}
