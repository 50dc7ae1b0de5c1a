#include "platform/threadmsg.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

struct ThreadQueue {
  ThreadQueue() : fdWake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~ThreadQueue() {
    if (fdWake >= 0) close(fdWake);
  }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  std::mutex mtx;
  std::deque<MSG> msgs;  // guarded by mtx
  const int fdWake;
};

// Process-wide id -> queue table. Immortal (never destroyed) so that a thread
// ending during static destruction can still unregister.
struct Registry {
  std::mutex mtx;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
};

Registry& TheRegistry() {
  static Registry* pRegistry = new Registry;
  return *pRegistry;
}

std::atomic<DWORD> g_dwNextThreadId{1};

// The calling thread's queue; unregistered when the thread ends. Posters that
// already hold the shared_ptr finish their post on a queue nobody reads.
struct ThisThread {
  DWORD dwId = 0;
  std::shared_ptr<ThreadQueue> pQueue;

  ~ThisThread() {
    if (pQueue) {
      Registry& reg = TheRegistry();
      std::lock_guard lock(reg.mtx);
      reg.queues.erase(dwId);
    }
  }
};

thread_local ThisThread t_thisThread;

DWORD ThisThreadId() {
  if (t_thisThread.dwId == 0) t_thisThread.dwId = g_dwNextThreadId.fetch_add(1);
  return t_thisThread.dwId;
}

ThreadQueue& ThisThreadQueue() {
  if (!t_thisThread.pQueue) {
    auto pQueue = std::make_shared<ThreadQueue>();
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mtx);
    reg.queues[ThisThreadId()] = pQueue;
    t_thisThread.pQueue = std::move(pQueue);
  }
  return *t_thisThread.pQueue;
}

bool Matches(const MSG& msg, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (wMsgFilterMin == 0 && wMsgFilterMax == 0) return true;
  return msg.message >= wMsgFilterMin && msg.message <= wMsgFilterMax;
}

}  // namespace

DWORD GetCurrentThreadId() { return ThisThreadId(); }

BOOL PeekMessage(MSG* pMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  ThreadQueue& queue = ThisThreadQueue();
  // Thread messages carry no window: a filter naming a window never finds one.
  if (hWnd != nullptr && hWnd != reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) return FALSE;
  std::lock_guard lock(queue.mtx);
  for (auto it = queue.msgs.begin(); it != queue.msgs.end(); ++it) {
    if (!Matches(*it, wMsgFilterMin, wMsgFilterMax)) continue;
    if (pMsg) *pMsg = *it;
    if (wRemoveMsg & PM_REMOVE) queue.msgs.erase(it);
    return TRUE;
  }
  return FALSE;
}

BOOL PostThreadMessage(DWORD idThread, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> pQueue;
  {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mtx);
    auto it = reg.queues.find(idThread);
    if (it == reg.queues.end()) return FALSE;
    pQueue = it->second;
  }
  {
    std::lock_guard lock(pQueue->mtx);
    if (pQueue->msgs.size() >= kThreadQueueLimit) return FALSE;
    pQueue->msgs.push_back(MSG{nullptr, nMsg, wParam, lParam});
  }
  // Written after the message is queued, so a woken reader always finds it.
  // An eventfd write fails only when the counter would overflow, which cannot
  // happen with a bounded queue.
  const std::uint64_t nOne = 1;
  ssize_t nWritten;
  do {
    nWritten = write(pQueue->fdWake, &nOne, sizeof nOne);
  } while (nWritten < 0 && errno == EINTR);
  return TRUE;
}

int GetThreadQueueWakeFd() { return t_thisThread.pQueue ? t_thisThread.pQueue->fdWake : -1; }

BOOL ConsumeThreadQueueWake() {
  if (!t_thisThread.pQueue) return FALSE;
  std::uint64_t nCount = 0;
  ssize_t nRead;
  do {
    nRead = read(t_thisThread.pQueue->fdWake, &nCount, sizeof nCount);
  } while (nRead < 0 && errno == EINTR);
  return nRead == static_cast<ssize_t>(sizeof nCount) && nCount > 0 ? TRUE : FALSE;
}
