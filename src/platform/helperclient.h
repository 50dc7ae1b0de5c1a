#pragma once
// Starting and ending the capture helper (morvane-capture, beside the running
// executable), so that the program itself never holds a capability or a
// packet socket. capturehelper/capturewire.h says what the two exchange.
#include <sys/types.h>

#include <cstdint>

#include "platform/steperror.h"
#include "platform/wintypes.h"

// How long the helper has to answer, and to exit once its channel is closed,
// before it is killed.
inline constexpr int kHelperWaitMs = 2000;

// Starts the helper for pszAddr and waits at most kHelperWaitMs for its
// answer. On success *pfdChannel is the program's end of the channel
// (close-on-exec), from which the helper's batches are read, and *pPid the
// helper, for EndCaptureHelper. Otherwise the answer's text: "Create socket
// failed." for no helper, one that may not run or open sockets, one that dies,
// hangs or answers anything malformed; the texts of the other steps as the
// helper names them; the helper is reaped and *pfdChannel is -1. The helper
// also ends when the thread that called this ends (its parent-death signal).
StepError StartCaptureHelper(LPCSTR pszAddr, int* pfdChannel, pid_t* pPid);

// Closes fdChannel, which tells the helper to stop, and reaps it: waits at
// most nWaitMs for it to exit, then kills it.
void EndCaptureHelper(int fdChannel, pid_t pid, int nWaitMs = kHelperWaitMs);

// The text for one status byte of the helper; "Create socket failed." for a
// byte that names no step.
StepError StepErrorOfHelperStatus(std::uint8_t nStatus);

// Reads the helper's answer from fdChannel, waiting at most nWaitMs (0: only
// what is there already). Anything but one message of one byte, with no
// descriptor, is no answer ("Create socket failed."); every descriptor that
// arrived with it is closed.
StepError ReceiveHelperAnswer(int fdChannel, int nWaitMs);

// Tests point the engine at a stand-in helper; null or empty: the real one.
void SetCaptureHelperPathForTesting(const char* pszPath);
