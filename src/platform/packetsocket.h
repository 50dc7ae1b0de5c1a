#pragma once
// The capture socket: every IPv4 datagram of one interface, both directions,
// IP header first.
//
// A Linux packet socket (AF_PACKET, SOCK_DGRAM) bound to all protocols on the
// interface that holds the chosen address: only an all-protocols packet socket
// sees the interface's outgoing datagrams as well as its incoming ones.
//
// Opening: the capture helper (helperclient.h) takes the privileged steps,
// each mapping its own failure to the text the engine reports (create: "Create
// socket failed.", time-out: "Set socket option failed.", bind: "Bind ip
// failed.", promiscuous mode: "WSAIoctl failed."), and hands the socket over;
// AdoptCaptureSocket then does the rest here, with no privilege.
#include <cstdint>

#include "platform/packetring.h"
#include "platform/wintypes.h"

using StepError = const char*;

inline constexpr const char* kCreateSocketFailed = "Create socket failed.";
inline constexpr const char* kSetSocketOptionFailed = "Set socket option failed.";
inline constexpr const char* kBindIpFailed = "Bind ip failed.";
inline constexpr const char* kReceiveAllFailed = "WSAIoctl failed.";

// The capture ring: 8 MiB in 32 blocks of 256 KiB. The kernel hands a block
// over when it is full or 4 ms after it was opened, whichever comes first, so at low rates
// every block holds 4 ms of traffic and the ring rides out a reader stalled
// for 128 ms; at high rates it holds about 45,000 small datagrams or 7,000 of
// 1000 bytes. A full window queue makes the reader wait while datagrams queue
// here. 4 ms also bounds how long a lone datagram waits. A block holds the
// largest loopback datagram (64 KiB) whole. Smaller rings lost datagrams at
// the benchmark's highest rates (bench/README.md).
inline constexpr PacketRingGeometry kCaptureRing{256u * 1024, 32, 4};

// The capture socket on the interface that holds pszAddr, through the helper,
// read through a ring of pRing's geometry: the helper's failure text, or
// AdoptCaptureSocket's. *phSocket is INVALID_SOCKET on failure, with nothing
// left open.
StepError OpenCaptureSocket(LPCSTR pszAddr, SOCKET* phSocket, const PacketRingGeometry* pRing = &kCaptureRing);

// The unprivileged steps on a socket the helper opened: maps a ring of
// pRing's geometry (none when pRing is null: datagrams then queue in a large
// socket buffer and each costs a system call; a ring the kernel refuses gives
// the same), attaches the kernel filter, and binds for all protocols on the
// same interface, from which on IPv4 datagrams are queued (on a loopback
// interface each datagram once). "Create socket failed." when hSocket is no
// packet socket bound to an interface, "Bind ip failed." when that interface
// is gone. Does not close the socket.
StepError AdoptCaptureSocket(SOCKET hSocket, const PacketRingGeometry* pRing);

// TRUE when hSocket is an open packet socket read through a ring.
BOOL IsRingSocket(SOCKET hSocket);

// The longest a ReceiveDatagram waits (SO_RCVTIMEO); 0: no limit. The
// helper sets the capture's; tools and tests set shorter ones.
StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs);

// A plain UDP socket ("Create socket failed."), and its bind to the wildcard
// address and nPort ("Bind ip failed.").
StepError CreateDatagramSocket(SOCKET* phSocket);
StepError BindAnyAddress(SOCKET hSocket, int nPort);

// Receives the frame of one IPv4 datagram into pBuf: returns the bytes
// captured, at most nBufLen, and sets *pnFrameLen (when not null) to the
// frame's length on the link, which is more when the frame was cut at nBufLen.
// The frame is handed over as it came, link padding included: what its IP
// header says is the decoder's to read. A frame already waiting is returned at
// once, from the ring without a system call. Otherwise it waits and returns -1
// (SOCKET_ERROR) when the receive time-out passes, on an error, or as soon as a
// message arrives in the calling thread's queue (threadmsg.h), whichever comes
// first. The interface going down is no error: the wait goes on, and frames
// come again once it is up. After an error it pauses briefly (kErrorBackoffMs,
// ended early by a message) so a caller that retries does not spin. One thread
// at a time receives on a socket.
int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen = nullptr);

// ReceiveDatagram without the wait: the frame of one IPv4 datagram already
// waiting, or SOCKET_ERROR at once when none is (or on an error, which the
// next ReceiveDatagram meets again). Lets a caller act before it would wait.
int ReceiveWaitingDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen = nullptr);

// The pause after a receive error.
inline constexpr int kErrorBackoffMs = 20;

// Datagrams the kernel dropped for hSocket since it was created, because the
// ring (or socket buffer) was full. The kernel's counter resets on each read,
// so every read is added up here; 0 for a socket not adopted by AdoptCaptureSocket.
std::uint64_t GetKernelDrops(SOCKET hSocket);

// The same summed over every packet socket of the process, closed ones included.
std::uint64_t GetKernelDropsOfAllSockets();

// Closes hSocket and frees its ring; INVALID_SOCKET is ignored.
void CloseSocket(SOCKET hSocket);
