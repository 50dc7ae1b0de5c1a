#include "platform/window.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QTimerEvent>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/threadmsg.h"

namespace {

struct QueuedMsg {
  UINT nMsg;
  WPARAM wParam;
  LPARAM lParam;
};

// The longest stretch of handlers run before the queue yields to the event loop.
// A timer or input that comes due during a slice waits up to a slice for it;
// at 10 ms a 10 ms timer was late by 17 to 19 ms in one firing of a hundred
// under a flood (bench/README.md, dialog_flood).
constexpr std::chrono::milliseconds kDrainSlice{5};

// A poster waiting for room is woken once the queue is down to this many: it
// then has thousands of posts before it may have to wait again.
constexpr std::size_t kRoomMark = kWindowQueueLimit / 2;

// How long the queue stays awake after a drain has emptied it: posts arriving
// meanwhile need no wake-up event, a timer takes them. A capture thread posts in
// bursts (one per ring block, up to every 4 ms) faster than it can be woken
// for: without this the window's thread emptied the queue some 30 times per
// burst at 200k datagrams a second, and each wake-up cost the poster a Qt
// event and a system call, a tenth of its time.
constexpr std::chrono::milliseconds kLinger{1};

QEvent::Type DrainEventType() {
  static const auto nType = static_cast<QEvent::Type>(QEvent::registerEventType());
  return nType;
}

class Pump;

}  // namespace

struct WindowQueue::State {
  std::mutex mtx;
  // Guarded by mtx:
  std::deque<QueuedMsg> msgs;
  bool bDead = false;
  bool bWakePosted = false;  // a drain event or the linger timer is on its way, or a drain is running
  int nDispatchDepth = 0;    // > 0 while a handler runs
  QObject* pPump = nullptr;  // null once the window or its context is gone
  int nRoomWaiters = 0;       // posters in WaitForWindowRoom
  bool bRoomSignalled = false;
  int fdRoom = -1;  // eventfd made by the first waiter: readable once room is made or the window is gone

  // Set at construction, then only read:
  Handler handler;
  Disposer disposer;
  SliceEnd sliceEnd;
  std::thread::id ownerThread;  // the context's thread, the one that makes room

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (fdRoom >= 0) close(fdRoom);
  }

  // Wakes the waiting posters; called under mtx.
  void SignalRoom() {
    if (fdRoom < 0 || bRoomSignalled) return;
    bRoomSignalled = true;
    const std::uint64_t nOne = 1;
    // Cannot fail short of a counter at its maximum, which one unread 1 never reaches.
    [[maybe_unused]] const ssize_t nWritten = write(fdRoom, &nOne, sizeof nOne);
  }
};

namespace {

// Receives the drain events on the context's thread. A child of the context,
// so it is freed with it even when its own deletion had to be deferred.
class Pump : public QObject {
 public:
  Pump(QObject* context, std::shared_ptr<WindowQueue::State> pState)
      : QObject(context), m_pState(std::move(pState)) {}

  ~Pump() override {
    // The context may be destroyed first; posts must then stop reaching us.
    std::lock_guard lock(m_pState->mtx);
    if (m_pState->pPump == this) {
      m_pState->pPump = nullptr;
      m_pState->SignalRoom();  // posts fail from now on: nobody should wait for room
    }
  }

  bool event(QEvent* pEvent) override {
    // A drain event is made under the state's lock, on the posting thread, and
    // reaches us through Qt's event queue, whose locking ThreadSanitizer cannot
    // see (Qt is not instrumented). Taking the same lock before reading the
    // event shows it the hand-over; it costs nothing next to a drain.
    { std::lock_guard lock(m_pState->mtx); }
    if (pEvent->type() != DrainEventType()) return QObject::event(pEvent);
    // A local owner: the handler may destroy the WindowQueue and this pump's owner.
    std::shared_ptr<WindowQueue::State> pState = m_pState;
    Drain(*pState);
    return true;
  }

 protected:
  void timerEvent(QTimerEvent* pEvent) override {
    if (pEvent->timerId() != m_nLingerTimer) return QObject::timerEvent(pEvent);
    killTimer(m_nLingerTimer);
    m_nLingerTimer = 0;
    std::shared_ptr<WindowQueue::State> pState = m_pState;
    Drain(*pState);
  }

 private:
  // Hands queued messages to the handler until the queue is empty, the slice
  // is used up, or the window dies. Called with the wake flag set; leaves it
  // set while a drain event or the linger timer is on its way.
  static void Drain(WindowQueue::State& state) {
    const auto tStart = std::chrono::steady_clock::now();
    bool bHandledAny = false;
    bool bSliceEndDone = false;
    std::unique_lock lock(state.mtx);
    for (;;) {
      if (state.bDead) return;
      if (state.nDispatchDepth > 0) return;  // a handler below us is running a nested loop
      // Once the slice-end callback has run the slice is over: what came in
      // meanwhile belongs to the next one.
      const bool bSliceOver = bSliceEndDone || state.msgs.empty() ||
                              (bHandledAny && std::chrono::steady_clock::now() - tStart >= kDrainSlice);
      if (bSliceOver && bHandledAny && state.sliceEnd && !bSliceEndDone) {
        // Before the event loop paints: the window shows what the whole slice left.
        bSliceEndDone = true;
        ++state.nDispatchDepth;
        lock.unlock();
        state.sliceEnd();
        lock.lock();
        --state.nDispatchDepth;
        continue;  // look again: the window may be gone, or more may have arrived
      }
      if (state.msgs.empty()) {
        // pPump is null when a handler destroyed the context (and the pump with it).
        if (bHandledAny && state.pPump != nullptr)
          static_cast<Pump*>(state.pPump)->Linger();
        else
          state.bWakePosted = false;  // the next post wakes us
        return;
      }
      if (bSliceOver && state.pPump != nullptr) {
        // Yield: go behind the events already waiting and carry on from there.
        QCoreApplication::postEvent(state.pPump, new QEvent(DrainEventType()));
        return;
      }
      const QueuedMsg msg = state.msgs.front();
      state.msgs.pop_front();
      if (state.nRoomWaiters > 0 && state.msgs.size() <= kRoomMark) state.SignalRoom();
      ++state.nDispatchDepth;
      lock.unlock();
      state.handler(msg.nMsg, msg.wParam, msg.lParam);
      lock.lock();
      --state.nDispatchDepth;
      bHandledAny = true;
    }
  }

  void Linger() {
    if (m_nLingerTimer == 0) m_nLingerTimer = startTimer(kLinger, Qt::PreciseTimer);
  }

  int m_nLingerTimer = 0;
  std::shared_ptr<WindowQueue::State> m_pState;
};

// Live windows by handle value. Handle values count up from 1 and are never
// reused. Immortal so that posts during static destruction stay defined.
struct HandleTable {
  std::mutex mtx;
  std::uintptr_t nNextId = 1;
  std::unordered_map<std::uintptr_t, std::shared_ptr<WindowQueue::State>> windows;
};

HandleTable& TheHandleTable() {
  static HandleTable* pTable = new HandleTable;
  return *pTable;
}

std::shared_ptr<WindowQueue::State> FindWindow(HWND hWnd) {
  HandleTable& table = TheHandleTable();
  std::lock_guard lock(table.mtx);
  auto it = table.windows.find(reinterpret_cast<std::uintptr_t>(hWnd));
  return it == table.windows.end() ? nullptr : it->second;
}

}  // namespace

WindowQueue::WindowQueue(QObject* context, Handler handler, Disposer disposer, SliceEnd sliceEnd)
    : m_pState(std::make_shared<State>()) {
  m_pState->handler = std::move(handler);
  m_pState->disposer = std::move(disposer);
  m_pState->sliceEnd = std::move(sliceEnd);
  m_pState->ownerThread = std::this_thread::get_id();
  m_pState->pPump = new Pump(context, m_pState);
  HandleTable& table = TheHandleTable();
  std::lock_guard lock(table.mtx);
  const std::uintptr_t nId = table.nNextId++;
  table.windows.emplace(nId, m_pState);
  m_hWnd = reinterpret_cast<HWND>(nId);
}

WindowQueue::~WindowQueue() {
  {
    HandleTable& table = TheHandleTable();
    std::lock_guard lock(table.mtx);
    table.windows.erase(reinterpret_cast<std::uintptr_t>(m_hWnd));
  }
  std::deque<QueuedMsg> undelivered;
  QObject* pPump = nullptr;
  bool bInHandler = false;
  {
    std::lock_guard lock(m_pState->mtx);
    m_pState->bDead = true;
    m_pState->SignalRoom();
    undelivered.swap(m_pState->msgs);
    pPump = std::exchange(m_pState->pPump, nullptr);
    bInHandler = m_pState->nDispatchDepth > 0;
  }
  if (pPump) {
    // Destroyed from inside its own handler: the pump is still on the call
    // stack (in its event()), so it may only go once control returns to Qt.
    if (bInHandler)
      pPump->deleteLater();
    else
      delete pPump;
  }
  for (const QueuedMsg& msg : undelivered) {
    if (m_pState->disposer) m_pState->disposer(msg.nMsg, msg.wParam, msg.lParam);
  }
}

HWND WindowQueue::hwnd() const { return m_hWnd; }

namespace {

// Appends what fits of the messages; one wake-up event for them all.
PostResult PostToQueue(HWND hWnd, UINT nMsg, std::span<const WPARAM> wParams, LPARAM lParam, std::size_t* pnPosted) {
  *pnPosted = 0;
  if (hWnd == nullptr) return PostResult::kNoWindow;
  std::shared_ptr<WindowQueue::State> pState = FindWindow(hWnd);
  if (!pState) return PostResult::kNoWindow;
  std::lock_guard lock(pState->mtx);
  if (pState->bDead || pState->pPump == nullptr) return PostResult::kNoWindow;
  const std::size_t nRoom = kWindowQueueLimit - std::min(pState->msgs.size(), kWindowQueueLimit);
  const std::size_t nTaken = std::min(nRoom, wParams.size());
  for (std::size_t i = 0; i < nTaken; ++i) pState->msgs.push_back(QueuedMsg{nMsg, wParams[i], lParam});
  *pnPosted = nTaken;
  if (nTaken > 0 && !pState->bWakePosted) {
    // One event per empty-to-non-empty change. Posted under the lock so the
    // pump cannot be deleted in between (its owner marks it gone under the lock).
    pState->bWakePosted = true;
    QCoreApplication::postEvent(pState->pPump, new QEvent(DrainEventType()));
  }
  return nTaken == wParams.size() ? PostResult::kPosted : PostResult::kQueueFull;
}

}  // namespace

PostResult TryPostMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  std::size_t nPosted = 0;
  return PostToQueue(hWnd, nMsg, std::span<const WPARAM>(&wParam, 1), lParam, &nPosted);
}

PostResult TryPostMessages(HWND hWnd, UINT nMsg, std::span<const WPARAM> wParams, std::size_t* pnPosted) {
  std::size_t nPostedUnused = 0;
  return PostToQueue(hWnd, nMsg, wParams, 0, pnPosted ? pnPosted : &nPostedUnused);
}

BOOL PostMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  return TryPostMessage(hWnd, nMsg, wParam, lParam) == PostResult::kPosted ? TRUE : FALSE;
}

BOOL WaitForWindowRoom(HWND hWnd) {
  std::shared_ptr<WindowQueue::State> pState = FindWindow(hWnd);
  if (!pState) return TRUE;
  int fdRoom = -1;
  {
    std::lock_guard lock(pState->mtx);
    if (pState->bDead || pState->pPump == nullptr || pState->msgs.size() < kWindowQueueLimit) return TRUE;
    if (pState->ownerThread == std::this_thread::get_id()) return FALSE;  // waiting here would never end
    if (pState->fdRoom < 0) pState->fdRoom = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    fdRoom = pState->fdRoom;
    if (fdRoom >= 0) ++pState->nRoomWaiters;
  }
  const int fdWake = GetThreadQueueWakeFd();
  pollfd fds[2] = {{fdRoom, POLLIN, 0}, {fdWake, POLLIN, 0}};
  // Without an eventfd (descriptors used up) look again now and then instead.
  constexpr int kRetryWithoutFdMs = 10;
  for (;;) {
    const int nReady = poll(fds, 2, fdRoom >= 0 ? -1 : kRetryWithoutFdMs);
    if (nReady < 0 && errno == EINTR) continue;
    break;
  }
  if (fds[1].revents & POLLIN) ConsumeThreadQueueWake();
  if (fdRoom < 0) return TRUE;
  std::lock_guard lock(pState->mtx);
  --pState->nRoomWaiters;
  // A dead window's signal stays readable, for every other waiter too.
  if ((fds[0].revents & POLLIN) && !pState->bDead && pState->pPump != nullptr) {
    std::uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t nRead = read(fdRoom, &nCount, sizeof nCount);
    pState->bRoomSignalled = false;
  }
  return TRUE;
}

BOOL IsWindow(HWND hWnd) {
  if (hWnd == nullptr) return FALSE;
  return FindWindow(hWnd) ? TRUE : FALSE;
}
