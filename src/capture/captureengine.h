#pragma once
// The capture engine: one capture socket and at most one capture thread.
//
// One run: InitSockets, Open, SetNotifyWindow, Start; later Stop. The thread
// then closes the socket and posts NOTICE_STOPPED, its last notice; a new run
// starts again with Open. Every operation but OnCaptureEnd (the thread's) runs
// on the user-interface thread. Failures return FALSE and leave one fixed text
// in GetErrorText.
//
// States (opened, running, thread id): Idle (no, no, 0) -> Open -> Opened
// (yes, no, 0) -> Start -> Starting (yes, yes, 0) -> the thread records its id
// -> Capturing (yes, yes, id) -> Stop -> Stopping -> OnCaptureEnd -> Idle.
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/noticebatch.h"
#include "capture/packetrecord.h"
#include "platform/wintypes.h"

UINT CaptureThreadProc(LPVOID pParam);

class CCaptureEngine;

// The capture thread's work on one receive: decodes the one datagram of a
// frame of nFrameLen bytes of which the first nCaptured are at pBuf (at most
// PACKET_BUFFER_SIZE of them count; DecodeFrame) and hands it to
// pEngine->DeliverPacket. Reads nothing outside the captured bytes. Returns
// the number of datagrams delivered: 0 or 1.
int DeliverReceivedFrame(CCaptureEngine* pEngine, const BYTE* pBuf, int nCaptured, int nFrameLen);

class CCaptureEngine {
 public:
  CCaptureEngine();
  // Asks a running thread to stop (even one that has not yet recorded its id),
  // waits for it to end, and closes a socket that no thread uses.
  virtual ~CCaptureEngine();
  CCaptureEngine(const CCaptureEngine&) = delete;
  CCaptureEngine& operator=(const CCaptureEngine&) = delete;

  // Opens the capture socket on the interface holding pszAddr: "Create socket
  // failed.", "Set socket option failed.", "Bind ip failed." or "WSAIoctl
  // failed." on failure, which leaves the engine Idle with no socket open and
  // the bound address as it was. A null pszAddr opens a plain datagram socket
  // on the wildcard address and nPort instead (Start then refuses: "No IP to
  // bind."). A socket left open by an earlier Open with no thread is closed
  // first. While running it refuses with "Engine already be running.".
  BOOL Open(LPCSTR pszAddr, int nPort);

  // The window and message number notices are posted with. Call before Start.
  void SetNotifyWindow(HWND hWnd, UINT nMsg);

  // Starts the capture thread. FALSE when not opened (text unchanged), when
  // running ("Engine already be running."), when opened without an address
  // ("No IP to bind.") or when no thread can be made ("Create thread failed.",
  // the engine stays Opened).
  BOOL Start();

  // Posts WM_CLOSE to the capture thread once it has recorded its id; does
  // nothing before that or without a thread. Returns at once: the thread wakes
  // from its receive, ends, and posts NOTICE_STOPPED.
  void Stop();

  std::string GetErrorText() const;

  // Capture thread: builds a record and a NOTICE_PACKET notice for one datagram
  // and posts them (inside the capture thread's loop: gathered, and posted with
  // the others of its batch before the thread waits for more; noticebatch.h).
  // A full window queue is waited out (the datagrams behind this one wait in
  // the helper's ring) until there is room, the window is gone, or a stop
  // request arrives; a post to a window that is gone, a stop during the wait
  // (or no memory) frees whatever was built. pPayload may be null;
  // nPayloadLen counts the received bytes from pPayload on.
  void DeliverPacket(LPCSTR pszSrcAddr, int nSrcPort, LPCSTR pszDesAddr, int nDesPort, int nProt,
                     const BYTE* pPayload, int nPayloadLen, WORD wSize);

  // Capture thread, after its loop: closes the socket, returns the engine to
  // Idle and posts NOTICE_STOPPED, waiting out a full window queue unless the
  // engine is being destroyed; then reaps the capture helper (a Start or the
  // destructor that joins the thread waits for that too).
  void OnCaptureEnd();

  // The state, for callers that must wait on it (tests, tools).
  BOOL IsOpened() const { return m_bOpened.load(); }
  BOOL IsRunning() const { return m_bRunning.load(); }
  DWORD GetThreadId() const { return m_dwThreadId.load(); }

 protected:
  BOOL OpenAnyAddress(int nPort);

 private:
  friend UINT CaptureThreadProc(LPVOID pParam);

  void CloseIdleSocket();
  // Stops a thread that may still run (its loop, or its last post) and joins it.
  void EndThread();
  // Posts a notice; one that cannot be posted is freed here. bLast: the
  // NOTICE_STOPPED, whose stop request is already in the queue.
  void PostNotice(HWND hWnd, UINT nMsg, EngineNotice* pNotice, BOOL bLast);
  // Posts n notices (as WPARAMs) in order, as many at a time as the window's
  // queue takes; those that cannot be posted are freed here, as PostNotice does.
  void PostNotices(HWND hWnd, UINT nMsg, const WPARAM* pNotices, std::size_t n, BOOL bLast);
  // The batch's poster: a run's packet notices to the notify window.
  static void PostPacketNotices(void* pEngine, const WPARAM* pNotices, std::size_t n);

  NoticeBatch m_notices{&CCaptureEngine::PostPacketNotices, this};  // the capture thread's

  // Written by the user-interface thread, read by the capture thread, or the
  // other way round; hence atomic.
  std::atomic<SOCKET> m_hSocket{INVALID_SOCKET};
  std::atomic<DWORD> m_dwThreadId{0};
  std::atomic<DWORD> m_dwWakeThreadId{0};  // the thread's id from m_dwThreadId's start to its last post
  std::atomic<HWND> m_hNotifyWnd{nullptr};
  std::atomic<UINT> m_nNotifyMsg{0};
  std::string m_strError;
  std::atomic<BOOL> m_bOpened{FALSE};
  std::atomic<BOOL> m_bRunning{FALSE};
  int m_nPort = 0;
  std::unique_ptr<char[]> m_pszBindAddr;  // 16 bytes: at most 15 characters and a zero

  std::atomic<bool> m_bShutdown{false};  // the destructor's stop, seen even before the id is recorded
  std::thread m_thread;
};

// Whether the socket library has been started; set by InitSockets.
extern BOOL g_bSocketsReady;

// Starts the socket library once per process (WSAStartup 2.2). A failure is
// tried again at the next call.
BOOL InitSockets();

// Appends the machine's IPv4 addresses, in the order the kernel lists them,
// except the exact text "127.0.0.1". The caller owns the strings.
void EnumLocalAddresses(std::vector<std::string>& arr);

// Test seams. The first makes Start's thread creation fail; the second runs
// on a new capture thread before it records its id (null: none).
void SetCaptureThreadStartFailsForTesting(bool bFails);
void SetCaptureThreadStartHookForTesting(void (*pfnHook)());
