#pragma once
// Least privilege for capture. The executable is given CAP_NET_RAW and
// CAP_NET_ADMIN as permitted capabilities only (setcap ...+p); the socket code
// makes them effective just around the calls that need them. Linux capability
// sets belong to a thread, so this affects the calling thread alone.
#include <sys/capability.h>

// While alive, CAP_NET_RAW and CAP_NET_ADMIN are effective for the calling
// thread as far as they are permitted; the destructor restores the effective
// set found at construction (so root with full capabilities keeps them). A
// capability that is not permitted stays absent; the guarded call then fails
// as it would without the guard.
class ScopedNetCaps {
 public:
  ScopedNetCaps();
  ~ScopedNetCaps();
  ScopedNetCaps(const ScopedNetCaps&) = delete;
  ScopedNetCaps& operator=(const ScopedNetCaps&) = delete;

 private:
  cap_t m_capsBefore = nullptr;  // set only when the effective set was changed
};

// Clears the calling thread's effective set and keeps the permitted one, for a
// thread that needs no privilege. Threads it creates afterwards inherit the
// empty set. false when the capabilities cannot be read or set.
bool DropEffectiveCapabilities();

// TRUE when capability nCap is in the calling thread's effective set.
bool IsCapabilityEffective(cap_value_t nCap);
