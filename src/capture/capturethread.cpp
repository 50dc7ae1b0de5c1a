// The capture thread: receives datagrams, decodes them and delivers each one,
// until a WM_CLOSE arrives in its queue.
#include <array>
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
  std::array<BYTE, PACKET_BUFFER_SIZE> buffer;
  pEngine->m_bBatching = true;
  for (;;) {
    // Between batches only (at most kNoticeBatch frames apart, and always
    // before the thread may sleep): the queue's lock is not taken per frame.
    // The WM_CLOSE stays in the queue; nothing reads the queue after this.
    if (pEngine->m_nBatched == 0 && PeekMessage(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE)) break;
    if (pEngine->m_bShutdown.load()) break;
    int nFrameLen = 0;
    // With notices gathered, only frames already there: the gathered ones are
    // posted before the thread may sleep, so none waits for later traffic.
    const int nCaptured = pEngine->m_nBatched > 0
                              ? ReceiveWaitingDatagram(hSocket, buffer.data(), PACKET_BUFFER_SIZE, &nFrameLen)
                              : ReceiveDatagram(hSocket, buffer.data(), PACKET_BUFFER_SIZE, &nFrameLen);
    if (nCaptured == SOCKET_ERROR) {  // nothing waiting, time-out, error, or a message arrived
      pEngine->FlushNotices();
      continue;
    }
    DeliverReceivedFrame(pEngine, buffer.data(), nCaptured, nFrameLen);
  }
  // In datagram order: what was gathered goes before NOTICE_STOPPED.
  pEngine->FlushNotices();
  pEngine->m_bBatching = false;
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
