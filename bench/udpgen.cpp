// Bounded UDP generator for the capture benchmark: sends fixed-size datagrams to
// one 127.x address at a fixed rate (or as fast as it can) for a fixed time, in
// sendmmsg batches, and prints how many it sent.
//
//   udpgen DST_ADDR PORT PAYLOAD_BYTES RATE_PER_S SECONDS
//     RATE_PER_S 0 means "as fast as possible".
// Only loopback-range destinations are accepted: this tool exists to load the
// capture path inside a test namespace, never a network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: udpgen DST_ADDR PORT PAYLOAD_BYTES RATE_PER_S SECONDS\n");
    return 2;
  }
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[1], &dst.sin_addr) != 1 ||
      (ntohl(dst.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "udpgen: destination must be a 127.x address\n");
    return 2;
  }
  const long nPort = std::strtol(argv[2], nullptr, 10);
  const long nPayload = std::strtol(argv[3], nullptr, 10);
  const double rate = std::strtod(argv[4], nullptr);
  const double seconds = std::strtod(argv[5], nullptr);
  if (nPort <= 0 || nPort > 65535 || nPayload < 1 || nPayload > 1472 || rate < 0 ||
      seconds <= 0 || seconds > 60) {
    std::fprintf(stderr, "udpgen: bad arguments (payload 1..1472, seconds up to 60)\n");
    return 2;
  }
  dst.sin_port = htons(static_cast<uint16_t>(nPort));

  // A bound sink that is never read: the kernel drops what overflows it silently,
  // where an unbound port would answer every datagram with ICMP port unreachable.
  const int sink = socket(AF_INET, SOCK_DGRAM, 0);
  if (sink < 0 || bind(sink, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    std::perror("udpgen: bind sink");
    return 1;
  }

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("udpgen: socket");
    return 1;
  }
  int sndbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    std::perror("udpgen: connect");
    close(fd);
    return 1;
  }

  constexpr int kBatch = 32;
  std::vector<unsigned char> payload(static_cast<size_t>(nPayload));
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>('a' + i % 26);
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  std::memset(msgs, 0, sizeof msgs);
  for (int i = 0; i < kBatch; ++i) {
    iov[i].iov_base = payload.data();
    iov[i].iov_len = payload.size();
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  // Pace by batches: at low rates a batch is smaller so that the datagrams do
  // not arrive in bursts larger than the rate implies.
  const int batch = rate > 0 && rate < 100000 ? (rate < 10000 ? 1 : 8) : kBatch;
  const double start = NowSeconds();
  const double end = start + seconds;
  uint64_t nSent = 0;
  for (;;) {
    const double now = NowSeconds();
    if (now >= end) break;
    if (rate > 0) {
      const double due = (now - start) * rate;
      if (static_cast<double>(nSent) >= due) {
        const double waitS = (static_cast<double>(nSent) + batch - due) / rate;
        if (waitS > 0.0002) {
          timespec ts{0, static_cast<long>(waitS * 1e9 / 2)};
          nanosleep(&ts, nullptr);
        }
        continue;
      }
    }
    const int n = sendmmsg(fd, msgs, static_cast<unsigned>(batch), 0);
    if (n > 0) {
      nSent += static_cast<uint64_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
      std::perror("udpgen: sendmmsg");
      break;
    }
  }
  close(fd);
  close(sink);
  std::printf("%llu\n", static_cast<unsigned long long>(nSent));
  return 0;
}
