// The capture thread: receives datagrams, decodes them and delivers each one,
// until a WM_CLOSE arrives in its queue.
#include <atomic>

#include "capture/captureengine.h"
#include "capture/decode.h"
#include "platform/capturesocket.h"
#include "platform/threadmsg.h"

namespace {
std::atomic<void (*)()> g_pfnStartHook{nullptr};
}

void SetCaptureThreadStartHookForTesting(void (*pfnHook)()) { g_pfnStartHook.store(pfnHook); }

UINT CaptureThreadProc(LPVOID pParam) {
  auto* pEngine = static_cast<CCaptureEngine*>(pParam);
  MSG msg;
  // The queue must exist before the id is published, so that a Stop that
  // finds the id can always post its request.
  PeekMessage(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (void (*pfnHook)() = g_pfnStartHook.load()) pfnHook();
  pEngine->m_dwWakeThreadId.store(GetCurrentThreadId());
  pEngine->m_dwThreadId.store(GetCurrentThreadId());

  const SOCKET hSocket = pEngine->m_hSocket.load();
  {
    NoticeBatch& notices = pEngine->m_notices;
    // Its end posts what is gathered: a run's datagrams go before NOTICE_STOPPED.
    const NoticeBatch::Gathering gathering(notices);
    for (;;) {
      // Between batches only (at most kCapacity frames apart, and always
      // before the thread may sleep): the queue's lock is not taken per frame.
      // The WM_CLOSE stays in the queue; nothing reads the queue after this.
      if (notices.Empty() && PeekMessage(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE)) break;
      if (pEngine->m_bShutdown.load()) break;
      const BYTE* pFrame = nullptr;
      int nFrameLen = 0;
      // With notices gathered, only frames already there: the gathered ones are
      // posted before the thread may sleep, so none waits for later traffic.
      // Decoded where the batch holds it: DeliverReceivedFrame reads only the
      // captured bytes, and copies what the record keeps.
      const int nCaptured = !notices.Empty() ? ReceiveWaitingFrame(hSocket, &pFrame, &nFrameLen)
                                             : ReceiveFrame(hSocket, &pFrame, &nFrameLen);
      if (nCaptured == SOCKET_ERROR) {  // nothing waiting, time-out, error, or a message arrived
        // Nothing more will ever come (the helper ended: its interface is
        // gone): the run ends as a stop would end it.
        if (IsCaptureSocketEnded(hSocket)) break;
        notices.Flush();
        continue;
      }
      DeliverReceivedFrame(pEngine, pFrame, nCaptured, nFrameLen);
    }
  }
  pEngine->OnCaptureEnd();
  pEngine->m_dwWakeThreadId.store(0);
  return 0;
}

int DeliverReceivedFrame(CCaptureEngine* pEngine, const BYTE* pBuf, int nCaptured, int nFrameLen) {
  DecodedDatagram dg;
  if (!DecodeFrame(pBuf, nCaptured, nFrameLen, &dg)) return 0;
  const BYTE* pPayload = dg.nPayloadOffset >= 0 ? pBuf + dg.nPayloadOffset : nullptr;
  pEngine->DeliverPacket(dg.szSrcAddr, dg.nSrcPort, dg.szDesAddr, dg.nDesPort, dg.nProt, pPayload, dg.nPayloadLen,
                         dg.wSize);
  return 1;
}
