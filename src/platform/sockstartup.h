#pragma once
// Socket library start-up. Linux needs none; what callers rely on is the answer
// to "can this process use sockets at all", checked by creating and closing a
// plain datagram socket.
#include "platform/wintypes.h"

// 0 when the socket API is usable; otherwise a nonzero error code. The version
// asked for is accepted as given (only 2.2, 0x0202, is ever asked for).
int WSAStartup(WORD wVersionRequested);

// Makes every later WSAStartup fail (true) or behave normally again (false), so
// that the start-up failure paths of the dialogs can be tested.
void SetSocketStartupFailsForTesting(bool bFails);
