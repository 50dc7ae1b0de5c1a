#pragma once
// What the capture helper (morvane-capture) and the program that starts it
// agree on, both sides in one place. The helper is the only executable of the
// project that may hold a capability. It keeps the packet socket it opens and
// forwards what that socket captures; the program never holds a packet socket
// (whoever holds one can send raw frames) and holds no capability.
//
// Start: argv = {path, ADDRESS}, an empty environment, descriptor
// kHelperChannelFd the helper's end of a SOCK_SEQPACKET Unix socket pair whose
// other end stays with the program. Any other kind of descriptor there and the
// helper exits at once.
//
// Answer: the first message, exactly one byte, a HelperStatus, never with a
// descriptor. Any byte but HELPER_OK names the first step that failed, and the
// helper exits. With HELPER_OK the interface that holds ADDRESS is captured,
// in promiscuous mode, and every later message is one batch:
//
//   WireBatchHeader, then nFrames times (WireFrameHeader, nCaptured bytes),
//   back to back, exactly nBytes after the header.
//
// A frame is one IPv4 datagram from its IP header on, of either direction on
// that interface (on loopback each datagram once), cut at
// kWireMaxCapturedBytes; nFrameLen is its length on the link. The program
// reads every length and count here as untrusted.
//
// The helper reads nothing from the channel: anything arriving there, or the
// program closing its end (or dying), ends the run. It also ends when the
// interface is gone for good, and when the program has taken no batch for
// kWireStalledReaderMs; in each case it closes the channel and exits.
#include <cstdint>

inline constexpr char kHelperFileName[] = "morvane-capture";
inline constexpr int kHelperChannelFd = 3;

enum HelperStatus : std::uint8_t {
  HELPER_OK = 0,
  HELPER_CREATE_FAILED = 1,       // no packet socket (not permitted)
  HELPER_BIND_FAILED = 3,         // not dotted-decimal, no interface holds it, or bind refused
  HELPER_RECEIVE_ALL_FAILED = 4,  // promiscuous membership refused
};

// The most of one frame forwarded: the program decodes no more of a datagram.
inline constexpr std::uint32_t kWireMaxCapturedBytes = 1500;
// The largest message: a batch never grows past it (well inside a Unix
// socket's default send buffer, so a message always fits one send).
inline constexpr std::uint32_t kWireMaxMessageBytes = 64 * 1024;
// How long the helper waits on a program that takes nothing before it ends.
inline constexpr int kWireStalledReaderMs = 10000;

// Host byte order: both ends run on the same machine.
struct WireBatchHeader {
  std::uint64_t nKernelDrops;  // frames the kernel dropped since the capture began
  std::uint32_t nFrames;
  std::uint32_t nBytes;  // of the frames behind this header
};

struct WireFrameHeader {
  std::uint32_t nFrameLen;  // on the link, nCaptured or more
  std::uint16_t nCaptured;  // bytes that follow, at most kWireMaxCapturedBytes
  std::uint16_t nReserved;  // 0
};

static_assert(sizeof(WireBatchHeader) == 16 && sizeof(WireFrameHeader) == 8);
static_assert(sizeof(WireBatchHeader) + sizeof(WireFrameHeader) + kWireMaxCapturedBytes <= kWireMaxMessageBytes);
