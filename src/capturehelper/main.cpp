// morvane-capture ADDRESS: captures the IPv4 traffic of the interface that
// holds ADDRESS for the program that started it, and forwards it over
// descriptor kHelperChannelFd (capturewire.h). It never hands its socket out.
//
// The one executable of the project that may hold a capability (CAP_NET_RAW,
// given as a file capability by scripts/grant-capture.sh). So it trusts
// nothing it inherits: it is not dumpable for its whole life (nobody of its
// user can ptrace it or take its socket), clears its environment, makes sure
// descriptors 0 to 2 are open before it opens anything, closes every other
// inherited descriptor, reads no configuration and writes nothing but its
// answer and its batches. It holds CAP_NET_RAW only up to creating the socket
// and gives up every capability before it takes another step; if that fails it
// exits without answering.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "capturehelper/capturefeed.h"
#include "capturehelper/capturesteps.h"

namespace {

// Exit codes, for whoever reads them; the program only sees the channel end.
constexpr int kExitDone = 0;  // answered a failure, or the program ended the run
constexpr int kExitUsage = 2;
constexpr int kExitUnsafe = 3;  // could not set up its descriptors or capabilities
constexpr int kExitNoAnswer = 4;
constexpr int kExitStalled = 5;  // the program took nothing for kWireStalledReaderMs
constexpr int kExitInterfaceGone = 6;
constexpr int kExitCaptureFailed = 7;

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

// The channel must be what the program gives: a Unix socket that keeps
// message boundaries. A datagram socket could be any reader's, and a stream
// would run batches together.
bool IsChannel(int fd) {
  int nDomain = 0, nType = 0;
  socklen_t nLen = sizeof nDomain, nTypeLen = sizeof nType;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLen) == 0 && nDomain == AF_UNIX &&
         getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &nTypeLen) == 0 && nType == SOCK_SEQPACKET;
}

// One byte: the status, and nothing beside it.
bool Answer(HelperStatus status) {
  const char byte = static_cast<char>(status);
  for (;;) {
    const ssize_t nSent = send(kHelperChannelFd, &byte, 1, MSG_NOSIGNAL);
    if (nSent == 1) return true;
    if (nSent < 0 && errno == EINTR) continue;
    return false;
  }
}

// The steps of opening, in their order; the socket in *pfd once created.
HelperStatus OpenCapture(const char* pszAddr, int* pfd, std::unique_ptr<PacketRing>* ppRing, int* pnIfIndex,
                         bool* pbDropped) {
  bool bLoopback = false;
  // Checked before any privileged step: a text that names no local address
  // never reaches a call made with a capability.
  HelperStatus status = FindCaptureInterface(pszAddr, pnIfIndex, &bLoopback);
  if (status == HELPER_OK) status = CreateCaptureSocket(pfd);
  *pbDropped = DropAllCapabilities();
  if (!*pbDropped) return status;
  if (status == HELPER_OK) status = BindCaptureInterface(*pfd, *pnIfIndex);
  if (status == HELPER_OK) status = EnterPromiscuousMode(*pfd);
  if (status == HELPER_OK) status = StartCapture(*pfd, *pnIfIndex, bLoopback, &kCaptureRing, ppRing);
  return status;
}

WireBatch g_batch;  // 64 KiB: static, so a small stack limit cannot matter

}  // namespace

int main(int argc, char** argv) {
  // The exec that gave it CAP_NET_RAW made it not dumpable already; said here
  // so that it holds whatever the kernel's settings, before anything is open.
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return kExitUnsafe;
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
  // Ends with the program that started it, even if the channel's end lived on
  // somewhere. The exec of a file with capabilities cleared what the program
  // could have set, so it is set here.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) {
    DropAllCapabilities();
    return kExitUnsafe;
  }
  int fdSocket = -1;
  int nIfIndex = 0;
  bool bDropped = false;
  std::unique_ptr<PacketRing> pRing;
  const HelperStatus status = OpenCapture(argv[1], &fdSocket, &pRing, &nIfIndex, &bDropped);
  if (!bDropped) return kExitUnsafe;  // the socket closes with the process, unseen
  if (!Answer(status)) return kExitNoAnswer;
  if (status != HELPER_OK) return kExitDone;
  // Room for a few batches in flight, where the system allows it (best effort:
  // the default already holds more than one).
  const int nSendBuffer = 4 * static_cast<int>(kWireMaxMessageBytes);
  setsockopt(kHelperChannelFd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof nSendBuffer);
  switch (ForwardCapture(fdSocket, pRing.get(), nIfIndex, kHelperChannelFd, g_batch)) {
    case FeedEnd::kChannelEnded: return kExitDone;
    case FeedEnd::kReaderStalled: return kExitStalled;
    case FeedEnd::kInterfaceGone: return kExitInterfaceGone;
    case FeedEnd::kFailed: break;
  }
  return kExitCaptureFailed;  // the kernel releases socket, ring and promiscuous mode with the process
}
