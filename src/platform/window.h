#pragma once
// Window handles and PostMessage: how another thread (the capture thread) hands
// messages to a window of the user-interface thread.
//
// What callers rely on:
// - A handle names one live WindowQueue; handles are never reused, so a post to
//   a destroyed window fails instead of reaching a newer one.
// - PostMessage never blocks and never runs the handler itself; it fails for a
//   dead handle or when kWindowQueueLimit messages are queued and not yet
//   handled. On failure the poster still owns whatever the message carries.
//   TryPostMessage tells the two failures apart, and WaitForWindowRoom lets a
//   poster on another thread wait out a full queue instead of dropping.
// - Messages reach the handler on the thread `context` lives in, one at a time
//   (never re-entered, even when the handler runs a nested event loop), in
//   posting order. Between handlers the queue returns to the event loop at least
//   every 5 ms, so painting and input go on under a flood of posts.
// - The handler may destroy its WindowQueue; no further message is then handed
//   to it.
// - An optional slice-end callback runs after the last handler of each slice
//   (the run of handlers between two returns to the event loop), on the same
//   thread and never re-entered, so a window may gather a slice's messages and
//   act on them once; it is skipped when a handler destroyed the window.
// - Construct and destroy a WindowQueue on the context's thread, and destroy it
//   before the context (a member of the context object is the usual place).
#include <QtCore/QObject>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "platform/wintypes.h"

constexpr std::size_t kWindowQueueLimit = 10000;

// Messages posted to hwnd() are handed to `handler` on the thread `context` lives in, one at a time, in posting order.
class WindowQueue {
 public:
  using Handler = std::function<void(UINT nMsg, WPARAM, LPARAM)>;
  using Disposer = std::function<void(UINT nMsg, WPARAM, LPARAM)>;  // frees what an undelivered message carries
  using SliceEnd = std::function<void()>;

  WindowQueue(QObject* context, Handler handler, Disposer disposer, SliceEnd sliceEnd = nullptr);
  ~WindowQueue();  // the handle dies first (later posts fail), then queued messages go to the disposer
  WindowQueue(const WindowQueue&) = delete;
  WindowQueue& operator=(const WindowQueue&) = delete;

  HWND hwnd() const;

  struct State;  // shared with the handle table and the context-side pump

 private:
  std::shared_ptr<State> m_pState;
  HWND m_hWnd;
};

// FALSE for a dead handle or a full queue; the poster then frees what it posted.
BOOL PostMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

// PostMessage that says why a post failed, for a poster that would rather wait
// for room than lose the message (the capture thread). Never blocks.
enum class PostResult {
  kPosted,     // queued: the window's thread owns what the message carries
  kNoWindow,   // the handle names no live window (or its context is gone)
  kQueueFull,  // kWindowQueueLimit messages wait; WaitForWindowRoom, then try again
};
PostResult TryPostMessage(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

// Posts one message nMsg per element of wParams (LPARAM 0), in order, with one
// lock and at most one wake-up for them all: as many as the queue has room
// for, counted in messages against kWindowQueueLimit. *pnPosted gets how many
// went (always a prefix). kPosted when all did; kQueueFull when only a prefix
// did (the poster still owns the rest); kNoWindow when none could. Never blocks.
PostResult TryPostMessages(HWND hWnd, UINT nMsg, std::span<const WPARAM> wParams, std::size_t* pnPosted);

// Waits while hWnd's queue is full. Returns once the window's thread has
// handled enough to bring it down to half of kWindowQueueLimit (so a waiting
// poster is woken once per thousands of messages, not once per message), once
// the window is destroyed, or as soon as a message arrives in the calling
// thread's queue (threadmsg.h; its wake is used up, as a receive uses it).
// Returns at once when the queue has room or the window is gone. FALSE, at
// once, when called on the window's own thread, which alone makes room: the
// poster must give up. TRUE otherwise: try the post again.
BOOL WaitForWindowRoom(HWND hWnd);

// TRUE while hWnd names a live WindowQueue.
BOOL IsWindow(HWND hWnd);
