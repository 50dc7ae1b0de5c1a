#pragma once
// The capture socket as the program holds it: every IPv4 datagram of one
// interface, both directions, IP header first.
//
// The program never holds a packet socket (whoever holds one can send raw
// frames) and never a capability. The capture helper (helperclient.h) opens
// one on the interface that holds the chosen address, keeps it, and forwards
// what it captures over a Unix socket, the channel, in batches
// (capturehelper/capturewire.h). The capture socket here is the program's end
// of that channel; everything that comes over it is read as untrusted.
#include <sys/types.h>

#include <cstdint>

#include "platform/steperror.h"
#include "platform/wintypes.h"

// The capture socket on the interface that holds pszAddr, through the helper:
// "Create socket failed." (no helper, one that may not run, dies, hangs or
// answers anything malformed), "Bind ip failed." (no such interface) or
// "WSAIoctl failed." (promiscuous mode refused) as the helper reports its
// steps. *phSocket is INVALID_SOCKET on failure, with nothing left open and the
// helper reaped.
StepError OpenCaptureSocket(LPCSTR pszAddr, SOCKET* phSocket);

// Makes fdChannel, the program's end of a helper's channel once the helper has
// answered HELPER_OK, a capture socket: its batches are what ReceiveDatagram
// returns, and CloseSocket ends helper pid (0: none to end). "Create socket
// failed." (fdChannel closed, the helper ended) when it cannot be done.
StepError AdoptCaptureChannel(int fdChannel, pid_t pid);

// The longest a ReceiveDatagram waits (SO_RCVTIMEO); 0: no limit.
StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs);

// A plain UDP socket ("Create socket failed."), and its bind to the wildcard
// address and nPort ("Bind ip failed.").
StepError CreateDatagramSocket(SOCKET* phSocket);
StepError BindAnyAddress(SOCKET hSocket, int nPort);

// Receives the frame of one IPv4 datagram: returns the bytes captured (at
// most kWireMaxCapturedBytes), *ppFrame pointing at them inside the socket's
// current batch (valid until the next receive on hSocket or its close), and
// sets *pnFrameLen (when not null) to the frame's length on the link, which is
// more when the frame was cut. The frame is handed over as it came, link
// padding included: what its IP header says is the decoder's to read. A frame
// already waiting is returned at once, with no system call while the batch it
// came in lasts. Otherwise it waits and returns -1 (SOCKET_ERROR) when the
// receive time-out passes, on an error, or as soon as a message arrives in the
// calling thread's queue (threadmsg.h), whichever comes first. The interface
// going down is no error: the wait goes on, and frames come again once it is
// up. A channel that ended (the helper is gone) or broke its format is an
// error that lasts (IsCaptureSocketEnded): after it, and after any other
// error, it pauses briefly (kErrorBackoffMs, ended early by a message) so a
// caller that retries does not spin. One thread at a time receives on a socket.
int ReceiveFrame(SOCKET hSocket, const BYTE** ppFrame, int* pnFrameLen = nullptr);

// ReceiveFrame without the wait: the frame of one IPv4 datagram already
// waiting, or SOCKET_ERROR at once when none is (or on an error, which the
// next ReceiveFrame meets again). Lets a caller act before it would wait.
int ReceiveWaitingFrame(SOCKET hSocket, const BYTE** ppFrame, int* pnFrameLen = nullptr);

// ReceiveFrame with the captured bytes copied into pBuf, at most nBufLen of
// them, for callers that keep them; returns the count copied.
int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen = nullptr);

// TRUE once hSocket can never receive again: the helper is gone (it ends when
// its interface is removed, among other ends) or broke the channel's format.
// Frames sent before that were all received first. FALSE for a socket that is
// not a capture socket.
BOOL IsCaptureSocketEnded(SOCKET hSocket);

// The pause after a receive error.
inline constexpr int kErrorBackoffMs = 20;

// Datagrams the kernel dropped because the helper's ring was full, as the
// helpers have reported them, summed over every capture socket of the
// process, closed ones included.
std::uint64_t GetKernelDropsOfAllSockets();

// Closes hSocket; INVALID_SOCKET is ignored. For a capture socket the helper
// sees the channel end, stops capturing and exits, and is reaped here within
// kHelperWaitMs (killed if it has not exited by then).
void CloseSocket(SOCKET hSocket);

// CloseSocket in two steps, for a caller with something to do before the
// wait: closes hSocket and returns the helper behind it (0 for none), which
// has stopped capturing and is exiting. A process that held a packet socket
// takes the kernel some 25 ms to end. ReapCaptureHelper then reaps it, as
// CloseSocket does; every pid returned must be reaped.
pid_t CloseSocketLeavingHelper(SOCKET hSocket);
void ReapCaptureHelper(pid_t pid);
