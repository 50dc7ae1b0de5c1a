#pragma once
// Asking the capture helper (morvane-capture, beside the running executable)
// for a capture socket, so that the program itself never holds a capability.
// capturehelper/capturewire.h says what the two exchange.
#include <cstdint>

#include "platform/wintypes.h"

using StepError = const char*;

// How long the helper has to answer and exit before it is killed.
inline constexpr int kHelperWaitMs = 2000;

// Starts the helper for pszAddr and waits at most kHelperWaitMs for its
// answer. On success *phSocket is the helper's packet socket, bound to the
// interface that holds pszAddr but receiving nothing yet (close-on-exec, ours
// to close); otherwise INVALID_SOCKET and the answer's text: "Create socket
// failed." for no helper, one that may not run or open sockets, one that
// dies, hangs or answers anything malformed; the texts of the other steps as
// the helper names them. The helper is reaped on every path.
StepError RequestCaptureSocket(LPCSTR pszAddr, SOCKET* phSocket);

// The text for one status byte of the helper; "Create socket failed." for a
// byte that names no step.
StepError StepErrorOfHelperStatus(std::uint8_t nStatus);

// Reads the helper's answer from fdChannel, waiting at most nWaitMs (0: only
// what is there already). Anything but one byte, with exactly one descriptor
// when the byte says success and none otherwise, is no answer; every
// descriptor that arrived with it is closed.
StepError ReceiveHelperAnswer(int fdChannel, int nWaitMs, SOCKET* phSocket);

// Tests point the engine at a stand-in helper; null or empty: the real one.
void SetCaptureHelperPathForTesting(const char* pszPath);
