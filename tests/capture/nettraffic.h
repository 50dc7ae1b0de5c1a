#pragma once
// Bounded test traffic between 127.x addresses of the test's own network
// namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

namespace nettraffic {

inline sockaddr_in Addr(const char* pszAddr, int nPort) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(nPort));
  inet_pton(AF_INET, pszAddr, &sin.sin_addr);
  return sin;
}

// Closes a descriptor when it goes out of scope.
struct Fd {
  explicit Fd(int fd = -1) : fd(fd) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

// A socket of nType bound to pszAddr:nPort, or -1; with pszDes, connected to pszDes:nDesPort too.
inline int Socket(int nType, const char* pszAddr, int nPort, const char* pszDes = nullptr, int nDesPort = 0) {
  Fd s(socket(AF_INET, nType, 0));
  const sockaddr_in sin = Addr(pszAddr, nPort), des = Addr(pszDes ? pszDes : pszAddr, nDesPort);
  if (s.fd < 0 || bind(s.fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 ||
      (pszDes && connect(s.fd, reinterpret_cast<const sockaddr*>(&des), sizeof des) != 0))
    return -1;
  return std::exchange(s.fd, -1);
}

// One UDP datagram from pszSrc:nSrcPort to pszDes:nDesPort.
inline bool SendUdp(const char* pszSrc, int nSrcPort, const char* pszDes, int nDesPort, const std::string& strPayload) {
  Fd s(Socket(SOCK_DGRAM, pszSrc, nSrcPort, pszDes, nDesPort));
  return s.fd >= 0 && send(s.fd, strPayload.data(), strPayload.size(), 0) == static_cast<ssize_t>(strPayload.size());
}

}  // namespace nettraffic
