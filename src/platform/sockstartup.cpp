#include "platform/sockstartup.h"

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<bool> g_bStartupFails{false};

// WSASYSNOTREADY: what the socket library reports when the network subsystem is unusable.
constexpr int kSystemNotReady = 10091;
}  // namespace

int WSAStartup(WORD /*wVersionRequested*/) {
  if (g_bStartupFails.load()) return kSystemNotReady;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno != 0 ? errno : kSystemNotReady;
  close(fd);
  return 0;
}

void SetSocketStartupFailsForTesting(bool bFails) { g_bStartupFails.store(bFails); }
