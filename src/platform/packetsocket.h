#pragma once
// The capture socket: every IPv4 datagram of one interface, both directions,
// IP header first.
//
// A Linux packet socket (AF_PACKET, SOCK_DGRAM) bound to all protocols on the
// interface that holds the chosen address: only an all-protocols packet socket
// sees the interface's outgoing datagrams as well as its incoming ones.
//
// Opening takes four steps, each mapping its own system-call failure to the
// text the engine reports, so that a test can drive each one alone:
//   CreatePacketSocket   "Create socket failed."     (no CAP_NET_RAW)
//   SetReceiveTimeout    "Set socket option failed."
//   BindToAddress        "Bind ip failed."           (not a dotted address, or no interface holds it)
//   EnterReceiveAll      "WSAIoctl failed."          (promiscuous mode refused)
// Each returns nullptr on success, else that text. None closes the socket.
#include "platform/wintypes.h"

using StepError = const char*;

inline constexpr const char* kCreateSocketFailed = "Create socket failed.";
inline constexpr const char* kSetSocketOptionFailed = "Set socket option failed.";
inline constexpr const char* kBindIpFailed = "Bind ip failed.";
inline constexpr const char* kReceiveAllFailed = "WSAIoctl failed.";

// A packet socket that receives nothing until BindToAddress, with a large
// receive buffer so that bursts are not dropped. *phSocket is INVALID_SOCKET on failure.
StepError CreatePacketSocket(SOCKET* phSocket);

// The longest a ReceiveDatagram waits (SO_RCVTIMEO); nTimeoutMs > 0.
StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs);

// Binds to the interface that holds pszAddr (strict dotted-decimal text), all
// protocols; from then on only IPv4 datagrams are queued, and on a loopback
// interface each datagram once. Packet sockets have no ports.
StepError BindToAddress(SOCKET hSocket, LPCSTR pszAddr);

// Promiscuous mode on the bound interface (dropped again when the socket closes).
StepError EnterReceiveAll(SOCKET hSocket);

// A plain UDP socket ("Create socket failed."), and its bind to the wildcard
// address and nPort ("Bind ip failed.").
StepError CreateDatagramSocket(SOCKET* phSocket);
StepError BindAnyAddress(SOCKET hSocket, int nPort);

// Receives one IPv4 datagram into pBuf: returns its length, at most nBufLen
// (a longer datagram is cut there; link-layer padding behind a datagram is not
// counted). Returns -1 (SOCKET_ERROR) when the receive time-out passes, on an
// error, or as soon as a message arrives in the calling thread's queue
// (threadmsg.h), whichever comes first. After a lasting error (bad descriptor,
// interface gone) it waits out the time-out on the queue first, so a caller
// that retries does not spin.
int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen);

// Closes hSocket; INVALID_SOCKET is ignored.
void CloseSocket(SOCKET hSocket);
