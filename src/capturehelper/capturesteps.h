#pragma once
// The capture helper's steps, each mapping its own system-call failure to the
// HelperStatus it answers with, so that a test can drive each one alone.
// POSIX and libcap only: the helper links nothing else.
#include <cstdint>

#include "capturehelper/capturewire.h"

// The interface that holds pszAddr, which must be strict dotted-decimal IPv4
// ("1.2", "01.2.3.4", a host name or trailing blanks are not): its index and
// whether it is a loopback interface. HELPER_BIND_FAILED for a null or
// malformed text and for an address no interface holds. Reads the interface
// table only.
HelperStatus FindCaptureInterface(const char* pszAddr, int* pnIfIndex, bool* pbLoopback);

// A packet socket that receives nothing yet (protocol 0), close-on-exec.
// *pfd is -1 on failure (HELPER_CREATE_FAILED: CAP_NET_RAW is not effective).
HelperStatus CreateCaptureSocket(int* pfd);

// Binds fd to interface nIfIndex, keeping protocol 0: no frame is queued yet.
HelperStatus BindCaptureInterface(int fd, int nIfIndex);

// Promiscuous membership on the interface fd is bound to; the kernel drops it
// when the socket's last descriptor closes.
HelperStatus EnterPromiscuousMode(int fd);

// Capabilities. Linux checks CAP_NET_RAW only when a packet socket is created;
// bind, promiscuous membership, ring and filter need none once it is open.
//
// Reduces every set of the process to CAP_NET_RAW, in permitted and effective
// as far as it was permitted (nothing when it was not). false when the sets
// cannot be read or written.
bool KeepOnlyCaptureCapability();
// Clears every capability set, the ambient one included, and checks that
// nothing is left. false when anything remains.
bool DropAllCapabilities();
