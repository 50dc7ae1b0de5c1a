#include "platform/window.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "platform/threadmsg.h"
#include "qtapp.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

struct Msg {
  UINT nMsg;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Msg&) const = default;
};

// A window whose handler and disposer log what they get; onHandle, if set, runs
// after each handled message.
struct LoggedWindow {
  LoggedWindow() {
    window.emplace(
        &context,
        [this](UINT n, WPARAM w, LPARAM l) {
          handled.push_back({n, w, l});
          if (onHandle) onHandle(w);
        },
        [this](UINT n, WPARAM w, LPARAM l) { disposed.push_back({n, w, l}); });
    hWnd = window->hwnd();
  }
  QObject context;
  std::vector<Msg> handled, disposed;
  std::function<void(WPARAM)> onHandle;
  std::optional<WindowQueue> window;
  HWND hWnd;
};

void Fill(HWND hWnd, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, i, 0));
}

// In posting order, never by the poster, one at a time: not re-entered even by
// a modal loop inside a handler while more messages come in.
TEST(Window, DeliversEveryMessageInPostingOrderOneAtATime) {
  LoggedWindow w;
  int nDepth = 0, nMaxDepth = 0;
  w.onHandle = [&](WPARAM n) {
    nMaxDepth = std::max(nMaxDepth, ++nDepth);
    if (n == 0) {
      ASSERT_TRUE(PostMessage(w.hWnd, WM_USER + 9, 100, 0));
      for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    }
    --nDepth;
  };
  std::vector<Msg> posted;
  for (UINT i = 0; i < 100; ++i) {
    posted.push_back({WM_USER + i % 3, i, -LPARAM(i)});
    ASSERT_TRUE(PostMessage(w.hWnd, posted.back().nMsg, posted.back().wParam, posted.back().lParam));
  }
  posted.push_back({WM_USER + 9, 100, 0});
  EXPECT_TRUE(w.handled.empty());
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == posted.size(); }));
  EXPECT_EQ(w.handled, posted);
  EXPECT_EQ(nMaxDepth, 1);
}

// The handle dies first, then what was queued goes to the disposer in order; a
// dead handle is never reused. A handler may destroy its own window.
TEST(Window, DestructionDisposesWhatIsQueuedAndKillsTheHandle) {
  EXPECT_FALSE(PostMessage(nullptr, WM_USER, 0, 0));
  for (const bool bFromHandler : {false, true}) {
    SCOPED_TRACE(bFromHandler);
    LoggedWindow w;
    Fill(w.hWnd, 6);
    if (bFromHandler) {
      w.onHandle = [&](WPARAM n) { if (n == 2) w.window.reset(); };
      ASSERT_TRUE(ProcessEventsUntil([&] { return !w.window; }));
    } else {
      w.window.reset();
    }
    QCoreApplication::processEvents();  // a wake-up left for the dead window does nothing
    const std::size_t nHandled = bFromHandler ? 3 : 0;
    ASSERT_EQ(w.handled.size(), nHandled);
    ASSERT_EQ(w.disposed.size(), 6 - nHandled);
    for (std::size_t i = 0; i < w.disposed.size(); ++i) EXPECT_EQ(w.disposed[i].wParam, nHandled + i);
    EXPECT_FALSE(IsWindow(w.hWnd));
    EXPECT_FALSE(PostMessage(w.hWnd, WM_USER, 0, 0));
    EXPECT_NE(LoggedWindow().hWnd, w.hWnd);
  }
}

// kWindowQueueLimit messages wait at most; a post beyond says so, and a batch
// takes what fits, in order.
TEST(Window, FullQueueRefusesUntilMessagesAreHandled) {
  LoggedWindow w;
  Fill(w.hWnd, kWindowQueueLimit);
  EXPECT_EQ(TryPostMessage(w.hWnd, WM_USER, 0, 0), PostResult::kQueueFull);
  EXPECT_FALSE(PostMessage(w.hWnd, WM_USER, 0, 0));
  EXPECT_FALSE(WaitForWindowRoom(w.hWnd)) << "the window's own thread cannot wait for itself";
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == kWindowQueueLimit; }));
  EXPECT_EQ(TryPostMessage(w.hWnd, WM_USER, 0, 0), PostResult::kPosted);
  EXPECT_EQ(TryPostMessage(nullptr, WM_USER, 0, 0), PostResult::kNoWindow);

  Fill(w.hWnd, kWindowQueueLimit - 3);
  const WPARAM batch[] = {7, 8, 9};
  std::size_t nPosted = 99;
  EXPECT_EQ(TryPostMessages(w.hWnd, WM_USER + 1, batch, &nPosted), PostResult::kQueueFull);
  EXPECT_EQ(nPosted, 2u);
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == 2 * kWindowQueueLimit; }));
  EXPECT_EQ(w.handled.back(), (Msg{WM_USER + 1, 8, 0}));
  EXPECT_EQ(TryPostMessages(nullptr, WM_USER, batch, &nPosted), PostResult::kNoWindow);
  EXPECT_EQ(nPosted, 0u);
}

// A poster on another thread waits for room: it is woken once the window's
// thread has made room, when the window dies, or by a message in its own queue.
TEST(Window, WaitForRoomEndsOnRoomOnDeathAndOnAThreadMessage) {
  enum Wake { kRoom, kDeath, kThreadMessage };
  for (const Wake wake : {kRoom, kDeath, kThreadMessage}) {
    SCOPED_TRACE(wake);
    LoggedWindow w;
    Fill(w.hWnd, kWindowQueueLimit);
    std::atomic<DWORD> dwWaiter{0};
    std::atomic<bool> bReturned{false};
    std::thread waiter([&, hWnd = w.hWnd] {
      PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
      dwWaiter.store(GetCurrentThreadId());
      EXPECT_TRUE(WaitForWindowRoom(hWnd));
      bReturned.store(true);
    });
    while (dwWaiter.load() == 0) std::this_thread::yield();
    bool bWoken = true;
    if (wake == kRoom) bWoken = ProcessEventsUntil([&] { return bReturned.load(); });
    if (wake == kThreadMessage) bWoken = PostThreadMessage(dwWaiter.load(), WM_USER, 0, 0);
    if (wake == kDeath || !bWoken) w.window.reset();  // (also frees a waiter that was not woken)
    waiter.join();  // a wait that does not end hangs here
    EXPECT_TRUE(bWoken);
  }
}

}  // namespace
