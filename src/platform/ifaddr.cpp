#include "platform/ifaddr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

namespace {

struct IfAddrsFree {
  void operator()(ifaddrs* p) const { freeifaddrs(p); }
};
using IfAddrsPtr = std::unique_ptr<ifaddrs, IfAddrsFree>;

IfAddrsPtr ReadTable() {
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return nullptr;
  return IfAddrsPtr(pList);
}

const sockaddr_in* IPv4Of(const ifaddrs* pEntry) {
  if (pEntry->ifa_addr == nullptr || pEntry->ifa_addr->sa_family != AF_INET) return nullptr;
  return reinterpret_cast<const sockaddr_in*>(pEntry->ifa_addr);
}

}  // namespace

void GetIPv4Addresses(std::vector<std::string>& arr) {
  IfAddrsPtr pTable = ReadTable();
  for (const ifaddrs* p = pTable.get(); p != nullptr; p = p->ifa_next) {
    const sockaddr_in* pAddr = IPv4Of(p);
    if (pAddr == nullptr) continue;
    char szText[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &pAddr->sin_addr, szText, sizeof szText) != nullptr) arr.emplace_back(szText);
  }
}
