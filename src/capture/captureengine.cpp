#include "capture/captureengine.h"

#include <malloc.h>

#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <utility>

#include "platform/capturesocket.h"
#include "platform/ifaddr.h"
#include "platform/sockstartup.h"
#include "platform/threadmsg.h"
#include "platform/window.h"

BOOL g_bSocketsReady = FALSE;

namespace {

constexpr const char* kAlreadyRunning = "Engine already be running.";
constexpr const char* kNoIpToBind = "No IP to bind.";
constexpr const char* kCreateThreadFailed = "Create thread failed.";

constexpr WORD kSocketsVersion = 0x0202;

constexpr std::size_t kAddrBlockBytes = 16;  // at most 15 characters and a zero

std::atomic<bool> g_bThreadStartFails{false};

// Every datagram's notice, record and block are allocated on the capture
// thread and freed on the window's thread. glibc gives the capture thread an
// arena of its own and hands that arena's free top back to the kernel as soon
// as it exceeds the trim threshold (128 KiB), so under steady traffic each
// burst of frees was trimmed and the next burst faulted the pages back in: a
// fifth of the capture thread's time at 200k datagrams a second. The bound
// covers the most a run can hold at once (a full window queue of 10,000
// notices and the list's rows), so what is kept stays what was needed.
constexpr int kHeapTrimThresholdBytes = 32 * 1024 * 1024;

void KeepFreedHeapForReuse() {
  static std::once_flag s_once;
  std::call_once(s_once, [] { mallopt(M_TRIM_THRESHOLD, kHeapTrimThresholdBytes); });
}

}  // namespace

void SetCaptureThreadStartFailsForTesting(bool bFails) { g_bThreadStartFails.store(bFails); }

CCaptureEngine::CCaptureEngine() = default;

CCaptureEngine::~CCaptureEngine() {
  EndThread();
  CloseSocket(m_hSocket.exchange(INVALID_SOCKET));
}

void CCaptureEngine::EndThread() {
  // The stop flag first, the id second; the thread records its id first and
  // reads the flag second. So either the thread sees the flag or we see its id
  // and wake it with WM_CLOSE (all seq_cst). The wake id outlives m_dwThreadId
  // until the thread's last post, which may be waiting for room in a window
  // whose thread is this one, about to join.
  m_bShutdown.store(true);
  if (const DWORD dwThreadId = m_dwWakeThreadId.load(); dwThreadId != 0)
    PostThreadMessage(dwThreadId, WM_CLOSE, 0, 0);
  if (m_thread.joinable()) m_thread.join();
}

void CCaptureEngine::CloseIdleSocket() {
  // Only called while no thread runs, so the socket is ours alone.
  CloseSocket(m_hSocket.exchange(INVALID_SOCKET));
  m_bOpened.store(FALSE);
}

BOOL CCaptureEngine::Open(LPCSTR pszAddr, int nPort) {
  // The running thread reads m_hSocket; replacing it under the thread would
  // leak one socket and have the thread close the other.
  if (m_bRunning.load()) {
    m_strError = kAlreadyRunning;
    return FALSE;
  }
  CloseIdleSocket();
  if (pszAddr == nullptr) return OpenAnyAddress(nPort);

  m_bOpened.store(FALSE);
  // The capture helper creates the socket, binds it and enters receive-all
  // mode; its failures come back as their texts. The receive time-out is the
  // program's own: how long one receive on the helper's channel waits.
  SOCKET hSocket = INVALID_SOCKET;
  StepError pszError = OpenCaptureSocket(pszAddr, &hSocket);
  if (pszError == nullptr) pszError = SetReceiveTimeout(hSocket, RECV_TIMEOUT_MS);
  if (pszError != nullptr) {
    CloseSocket(hSocket);
    m_strError = pszError;
    return FALSE;
  }

  auto pszBindAddr = std::make_unique<char[]>(kAddrBlockBytes);
  std::strncpy(pszBindAddr.get(), pszAddr, kAddrBlockBytes - 1);
  pszBindAddr[kAddrBlockBytes - 1] = '\0';
  m_pszBindAddr = std::move(pszBindAddr);
  m_hSocket.store(hSocket);
  m_nPort = nPort;
  m_bOpened.store(TRUE);
  return TRUE;
}

BOOL CCaptureEngine::OpenAnyAddress(int nPort) {
  m_bOpened.store(FALSE);
  SOCKET hSocket = INVALID_SOCKET;
  if (StepError pszError = CreateDatagramSocket(&hSocket)) {
    m_strError = pszError;
    return FALSE;
  }
  if (StepError pszError = BindAnyAddress(hSocket, nPort)) {
    CloseSocket(hSocket);
    m_strError = pszError;
    return FALSE;
  }
  m_pszBindAddr.reset();
  m_hSocket.store(hSocket);
  m_nPort = nPort;
  m_bOpened.store(TRUE);
  return TRUE;
}

void CCaptureEngine::SetNotifyWindow(HWND hWnd, UINT nMsg) {
  m_hNotifyWnd.store(hWnd);
  m_nNotifyMsg.store(nMsg);
}

BOOL CCaptureEngine::Start() {
  if (!m_bOpened.load()) return FALSE;
  if (m_bRunning.load()) {
    m_strError = kAlreadyRunning;
    return FALSE;
  }
  if (!m_pszBindAddr) {
    m_strError = kNoIpToBind;
    return FALSE;
  }
  // The previous run's thread has passed OnCaptureEnd's state changes (it
  // cleared m_bRunning); collect it before its handle is replaced. Its last
  // notice may still wait for room in the window this thread drains: that
  // wait ends here.
  if (m_thread.joinable()) EndThread();
  KeepFreedHeapForReuse();
  m_bShutdown.store(false);
  m_bRunning.store(TRUE);
  bool bStarted = false;
  if (!g_bThreadStartFails.load()) {
    try {
      m_thread = std::thread(CaptureThreadProc, this);
      bStarted = true;
    } catch (const std::system_error&) {
      // No thread (resource limits): reported below.
    }
  }
  if (!bStarted) {
    m_bRunning.store(FALSE);  // back to Opened: the socket stays for another try
    m_strError = kCreateThreadFailed;
    return FALSE;
  }
  return TRUE;
}

void CCaptureEngine::Stop() {
  if (const DWORD dwThreadId = m_dwThreadId.load(); dwThreadId != 0)
    PostThreadMessage(dwThreadId, WM_CLOSE, 0, 0);
}

std::string CCaptureEngine::GetErrorText() const { return m_strError; }

void CCaptureEngine::DeliverPacket(LPCSTR pszSrcAddr, int nSrcPort, LPCSTR pszDesAddr, int nDesPort, int nProt,
                                   const BYTE* pPayload, int nPayloadLen, WORD wSize) {
  // Out of memory drops this datagram, as a failed post would.
  auto* pNotice = new (std::nothrow) EngineNotice;
  if (pNotice == nullptr) return;
  auto* pRecord = new (std::nothrow) PacketRecord;
  if (pRecord == nullptr) {
    DeleteEngineNotice(pNotice);
    return;
  }
  pNotice->pRecord = pRecord;  // from here on freed with the notice
  pRecord->strSrcAddr = pszSrcAddr;
  pRecord->strDesAddr = pszDesAddr;
  pRecord->nSrcPort = nSrcPort;
  pRecord->nDesPort = nDesPort;
  pRecord->strProt = GetProtocolName(nProt);
  pRecord->wSize = wSize;
  FillRecordPayload(pRecord, pPayload, nPayloadLen);
  pNotice->nType = NOTICE_PACKET;
  pNotice->strText = pszSrcAddr;
  m_notices.Add(pNotice);
}

void CCaptureEngine::PostPacketNotices(void* pEngine, const WPARAM* pNotices, std::size_t n) {
  auto* pThis = static_cast<CCaptureEngine*>(pEngine);
  pThis->PostNotices(pThis->m_hNotifyWnd.load(), pThis->m_nNotifyMsg.load(), pNotices, n, FALSE);
}

void CCaptureEngine::PostNotice(HWND hWnd, UINT nMsg, EngineNotice* pNotice, BOOL bLast) {
  const WPARAM wNotice = reinterpret_cast<WPARAM>(pNotice);
  PostNotices(hWnd, nMsg, &wNotice, 1, bLast);
}

void CCaptureEngine::PostNotices(HWND hWnd, UINT nMsg, const WPARAM* pNotices, std::size_t n, BOOL bLast) {
  std::size_t nDone = 0;
  while (nDone < n) {
    std::size_t nPosted = 0;
    const PostResult result = TryPostMessages(hWnd, nMsg, std::span<const WPARAM>(pNotices + nDone, n - nDone), &nPosted);
    nDone += nPosted;
    if (result == PostResult::kPosted) return;
    // A stop request ends the wait. The last notice is posted after the stop
    // request was seen (it stays queued), so only the engine's end stops that one.
    const bool bGiveUp = result == PostResult::kNoWindow || m_bShutdown.load() ||
                         (!bLast && PeekMessage(nullptr, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE));
    // A full queue: the datagrams behind these wait in the kernel's ring.
    // Only on the window's own thread (tests) can the wait not be done.
    if (bGiveUp || !WaitForWindowRoom(hWnd)) {
      for (; nDone < n; ++nDone) DeleteEngineNotice(reinterpret_cast<EngineNotice*>(pNotices[nDone]));
      return;
    }
  }
}

void CCaptureEngine::OnCaptureEnd() {
  // Read before the engine turns Idle: from then on the user-interface thread
  // may already set up the next run.
  const HWND hWnd = m_hNotifyWnd.load();
  const UINT nMsg = m_nNotifyMsg.load();
  // The helper stops capturing as its channel closes. Its exit, which takes the
  // kernel some 25 ms (it held a packet socket), is waited for after the
  // notice, so that the window sees the stop at once.
  const pid_t pidHelper = CloseSocketLeavingHelper(m_hSocket.exchange(INVALID_SOCKET));
  m_bOpened.store(FALSE);
  m_dwThreadId.store(0);
  m_bRunning.store(FALSE);

  if (auto* pNotice = new (std::nothrow) EngineNotice) {
    pNotice->nType = NOTICE_STOPPED;
    PostNotice(hWnd, nMsg, pNotice, TRUE);
  }
  ReapCaptureHelper(pidHelper);
}

BOOL InitSockets() {
  if (g_bSocketsReady) return TRUE;
  g_bSocketsReady = WSAStartup(kSocketsVersion) == 0 ? TRUE : FALSE;
  return g_bSocketsReady;
}

void EnumLocalAddresses(std::vector<std::string>& arr) {
  std::vector<std::string> all;
  GetIPv4Addresses(all);
  for (std::string& strAddr : all) {
    if (strAddr != "127.0.0.1") arr.push_back(std::move(strAddr));
  }
}
