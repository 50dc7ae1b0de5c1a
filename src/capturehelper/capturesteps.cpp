#include "capturehelper/capturesteps.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace {

struct IfAddrsFree {
  void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

struct CapFree {
  void operator()(void* p) const { cap_free(p); }
};
using CapPtr = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

// Longest dotted-decimal text: "255.255.255.255".
constexpr std::size_t kMaxAddrChars = 15;

}  // namespace

HelperStatus FindCaptureInterface(const char* pszAddr, int* pnIfIndex, bool* pbLoopback) {
  in_addr addr{};
  // inet_pton takes only four decimal parts without leading zeros; the length
  // bound keeps anything else from reaching it.
  if (pszAddr == nullptr || std::strlen(pszAddr) > kMaxAddrChars || inet_pton(AF_INET, pszAddr, &addr) != 1)
    return HELPER_BIND_FAILED;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return HELPER_BIND_FAILED;
  const std::unique_ptr<ifaddrs, IfAddrsFree> pTable(pList);
  for (const ifaddrs* p = pTable.get(); p != nullptr; p = p->ifa_next) {
    if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr != addr.s_addr) continue;
    // getifaddrs names an IPv4 entry by its address label; a label such as
    // "eth0:1" is the device name, a colon and an alias.
    char szDevice[IF_NAMESIZE] = {};
    std::strncpy(szDevice, p->ifa_name, sizeof szDevice - 1);
    if (char* pColon = std::strchr(szDevice, ':')) *pColon = '\0';
    const unsigned nIndex = if_nametoindex(szDevice);
    if (nIndex == 0) continue;
    *pnIfIndex = static_cast<int>(nIndex);
    *pbLoopback = (p->ifa_flags & IFF_LOOPBACK) != 0;
    return HELPER_OK;
  }
  return HELPER_BIND_FAILED;
}

HelperStatus CreateCaptureSocket(int* pfd) {
  *pfd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return *pfd < 0 ? (*pfd = -1, HELPER_CREATE_FAILED) : HELPER_OK;
}

HelperStatus BindCaptureInterface(int fd, int nIfIndex) {
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = 0;  // no protocol hook: nothing queues before the program is ready
  sll.sll_ifindex = nIfIndex;
  return bind(fd, reinterpret_cast<const sockaddr*>(&sll), sizeof sll) == 0 ? HELPER_OK : HELPER_BIND_FAILED;
}

HelperStatus EnterPromiscuousMode(int fd) {
  sockaddr_ll sll{};
  socklen_t nLen = sizeof sll;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sll), &nLen) != 0) return HELPER_RECEIVE_ALL_FAILED;
  if (sll.sll_family != AF_PACKET || sll.sll_ifindex == 0) return HELPER_RECEIVE_ALL_FAILED;  // not a bound packet socket
  packet_mreq mreq{};
  mreq.mr_ifindex = sll.sll_ifindex;
  mreq.mr_type = PACKET_MR_PROMISC;
  if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return HELPER_RECEIVE_ALL_FAILED;
  return HELPER_OK;
}

bool KeepOnlyCaptureCapability() {
  const CapPtr pNow(cap_get_proc());
  if (!pNow) return false;
  cap_flag_value_t bPermitted = CAP_CLEAR;
  cap_value_t nRaw = CAP_NET_RAW;
  if (cap_get_flag(pNow.get(), nRaw, CAP_PERMITTED, &bPermitted) != 0) return false;
  const CapPtr pKept(cap_init());  // all clear
  if (!pKept) return false;
  if (bPermitted == CAP_SET && (cap_set_flag(pKept.get(), CAP_PERMITTED, 1, &nRaw, CAP_SET) != 0 ||
                                cap_set_flag(pKept.get(), CAP_EFFECTIVE, 1, &nRaw, CAP_SET) != 0))
    return false;
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return false;
  return cap_set_proc(pKept.get()) == 0;
}

bool DropAllCapabilities() {
  const CapPtr pNone(cap_init());
  if (!pNone || prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 || cap_set_proc(pNone.get()) != 0)
    return false;
  // Trust what the kernel reports, not the call's result.
  const CapPtr pNow(cap_get_proc());
  return pNow && cap_compare(pNow.get(), pNone.get()) == 0 &&
         prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) == 0;
}
