#pragma once
// Bounded test traffic between 127.x addresses of the test's own network
// namespace, and the commands that build that namespace's extra links.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

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

inline void SetTimeouts(int fd) {
  timeval tv{2, 0};  // bounds every blocking call of the helpers
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// One UDP datagram from pszSrc:nSrcPort to pszDes:nDesPort.
inline bool SendUdp(const char* pszSrc, int nSrcPort, const char* pszDes, int nDesPort, const std::string& strPayload) {
  Fd s(socket(AF_INET, SOCK_DGRAM, 0));
  const sockaddr_in src = Addr(pszSrc, nSrcPort);
  const sockaddr_in des = Addr(pszDes, nDesPort);
  if (s.fd < 0 || bind(s.fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0) return false;
  return sendto(s.fd, strPayload.data(), strPayload.size(), 0, reinterpret_cast<const sockaddr*>(&des), sizeof des) ==
         static_cast<ssize_t>(strPayload.size());
}

inline uint16_t InternetChecksum(const std::vector<uint8_t>& bytes) {
  uint32_t nSum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) nSum += (bytes[i] << 8) | bytes[i + 1];
  if (bytes.size() % 2) nSum += bytes.back() << 8;
  while (nSum >> 16) nSum = (nSum & 0xFFFF) + (nSum >> 16);
  return static_cast<uint16_t>(~nSum);
}

// One ICMP echo request from pszSrc to pszDes; the kernel there answers with an echo reply.
inline bool SendIcmpEcho(const char* pszSrc, const char* pszDes, uint16_t nId, uint16_t nSeq, const std::string& strData) {
  Fd s(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  const sockaddr_in src = Addr(pszSrc, 0);
  if (s.fd < 0 || bind(s.fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0) return false;
  std::vector<uint8_t> msg = {ICMP_ECHO, 0, 0, 0, static_cast<uint8_t>(nId >> 8), static_cast<uint8_t>(nId),
                              static_cast<uint8_t>(nSeq >> 8), static_cast<uint8_t>(nSeq)};
  msg.insert(msg.end(), strData.begin(), strData.end());
  const uint16_t nSum = InternetChecksum(msg);
  msg[2] = static_cast<uint8_t>(nSum >> 8);
  msg[3] = static_cast<uint8_t>(nSum);
  const sockaddr_in des = Addr(pszDes, 0);
  return sendto(s.fd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&des), sizeof des) ==
         static_cast<ssize_t>(msg.size());
}

// A TCP connection from pszAddr:nClientPort to pszAddr:nServerPort carrying
// strPayload once, then closed.
inline bool TcpExchange(const char* pszAddr, int nClientPort, int nServerPort, const std::string& strPayload) {
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  const int nOne = 1;
  setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
  SetTimeouts(listener.fd);
  const sockaddr_in server = Addr(pszAddr, nServerPort);
  if (bind(listener.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return false;
  if (listen(listener.fd, 1) != 0) return false;
  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  setsockopt(client.fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
  SetTimeouts(client.fd);
  const sockaddr_in local = Addr(pszAddr, nClientPort);
  if (bind(client.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
  if (connect(client.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return false;
  Fd accepted(accept(listener.fd, nullptr, nullptr));
  if (accepted.fd < 0) return false;
  SetTimeouts(accepted.fd);
  if (send(client.fd, strPayload.data(), strPayload.size(), 0) != static_cast<ssize_t>(strPayload.size())) return false;
  std::string strGot(strPayload.size(), '\0');
  std::size_t nGot = 0;
  while (nGot < strGot.size()) {
    const ssize_t n = recv(accepted.fd, strGot.data() + nGot, strGot.size() - nGot, 0);
    if (n <= 0) return false;
    nGot += static_cast<std::size_t>(n);
  }
  return strGot == strPayload;
}

// The TCP header length of this namespace's segments: 32 bytes with the
// timestamp option (net.ipv4.tcp_timestamps, on by default), else 20.
inline int TcpHeaderBytes() {
  std::ifstream in("/proc/sys/net/ipv4/tcp_timestamps");
  int nTimestamps = 1;
  in >> nTimestamps;
  return nTimestamps ? 32 : 20;
}

// Runs argv (argv[0] looked up in PATH); the exit status, or -1.
inline int Run(std::vector<std::string> args, pid_t* pPidBackground = nullptr) {
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  if (pPidBackground) {
    *pPidBackground = pid;
    return 0;
  }
  int nStatus = 0;
  if (waitpid(pid, &nStatus, 0) != pid) return -1;
  return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

inline int Sh(const std::string& strCommand) { return Run({"sh", "-c", strCommand}); }

// Starts argv in the background with its standard output on a pipe and
// returns once it has written its first line (or ended): its pid, or -1.
inline pid_t StartAndWaitForLine(std::vector<std::string> args) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int nErr = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (nErr != 0) {
    close(fds[0]);
    return -1;
  }
  char ch = 0;
  while (read(fds[0], &ch, 1) == 1 && ch != '\n') {
  }
  close(fds[0]);
  return pid;
}

}  // namespace nettraffic
