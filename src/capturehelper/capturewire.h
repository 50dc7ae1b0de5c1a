#pragma once
// What the capture helper (morvane-capture) and the program that starts it
// agree on. The helper is the only executable of the project that may hold a
// capability; the program asks it for the capture socket and holds none.
//
// Start: argv = {path, ADDRESS}, an empty environment, descriptor
// kHelperChannelFd the helper's end of a SOCK_SEQPACKET Unix socket pair whose
// other end stays with the program.
//
// Answer: at most one message, exactly one byte, a HelperStatus. With
// HELPER_OK, and only then, it carries one descriptor (SCM_RIGHTS): a packet
// socket (AF_PACKET, SOCK_DGRAM, protocol 0) with a receive time-out of
// kHelperReceiveTimeoutMs, bound to the interface that holds ADDRESS, that
// interface in promiscuous mode for as long as the socket lives. Protocol 0:
// it receives nothing until the program binds it again for all protocols, once
// its ring and filter are in place. Any other byte names the first step that
// failed; anything else (no message, end-of-file, more bytes, a descriptor
// with a failure) is no answer, and the program treats it as a helper that
// cannot open sockets.
//
// The helper then exits: 0 once it has answered, non-zero when it could not
// answer or could not give up its capabilities (then it has not answered).
#include <cstdint>

inline constexpr char kHelperFileName[] = "morvane-capture";
inline constexpr int kHelperChannelFd = 3;
inline constexpr int kHelperReceiveTimeoutMs = 5000;

enum HelperStatus : std::uint8_t {
  HELPER_OK = 0,
  HELPER_CREATE_FAILED = 1,     // no packet socket (not permitted)
  HELPER_TIMEOUT_FAILED = 2,    // SO_RCVTIMEO refused
  HELPER_BIND_FAILED = 3,       // not dotted-decimal, no interface holds it, or bind refused
  HELPER_RECEIVE_ALL_FAILED = 4,  // promiscuous membership refused
};
