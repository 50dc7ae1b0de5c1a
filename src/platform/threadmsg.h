#pragma once
// Per-thread message queues: how one thread asks another (the capture thread)
// to do something, here to stop.
//
// What callers rely on:
// - A thread's queue exists from its first PeekMessage until the thread ends;
//   PostThreadMessage to an id with no queue fails and posts nothing.
// - Thread ids are never 0 and never reused within a process, so a stale id
//   fails instead of reaching another thread.
// - A queue holds at most kThreadQueueLimit messages; a post to a full queue fails.
// - Each queue is waitable: GetThreadQueueWakeFd() is readable once a message
//   has arrived since the owner last called ConsumeThreadQueueWake(). The wake is
//   an edge, not a level, so a message left in the queue on purpose (one the
//   owner is not looking for) cannot keep a blocking wait from blocking.
#include <cstddef>

#include "platform/wintypes.h"

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr std::size_t kThreadQueueLimit = 10000;

// The calling thread's id: nonzero, stable for the thread's life, never reused.
DWORD GetCurrentThreadId();

// Looks in the calling thread's queue (making it exist) for the first message,
// oldest first, whose number lies in [wMsgFilterMin, wMsgFilterMax]; both 0 means
// any number. Thread messages have no window, so only hWnd null (or (HWND)-1)
// finds them. PM_REMOVE takes the message found out of the queue. Returns TRUE
// and fills *pMsg (when not null) if one was found.
BOOL PeekMessage(MSG* pMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);

// Appends a message (hwnd null) to the queue of thread idThread and wakes it.
// FALSE when that thread has no queue (never peeked, or ended) or its queue is full.
BOOL PostThreadMessage(DWORD idThread, UINT nMsg, WPARAM wParam, LPARAM lParam);

// The calling thread's wake descriptor (an eventfd, for poll), or -1 when the
// thread has no queue yet. Owned by the queue: never close it.
int GetThreadQueueWakeFd();

// Clears the calling thread's wake; TRUE when a message had arrived since the
// last call. FALSE (and nothing done) when the thread has no queue.
BOOL ConsumeThreadQueueWake();
