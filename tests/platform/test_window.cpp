#include "platform/window.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
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
  friend bool operator==(const Msg&, const Msg&) = default;
};

// A window whose handler and disposer log what they get.
struct LoggedWindow {
  LoggedWindow()
      : window(
            &m_context, [this](UINT n, WPARAM w, LPARAM l) { handled.push_back({n, w, l}); },
            [this](UINT n, WPARAM w, LPARAM l) { disposed.push_back({n, w, l}); }) {}
  QObject m_context;
  std::vector<Msg> handled;
  std::vector<Msg> disposed;
  WindowQueue window;
};

// Counts the wake-up events delivered to the objects of one context.
class WakeCounter : public QObject {
 public:
  explicit WakeCounter(QObject* pContext) : m_pContext(pContext) { QCoreApplication::instance()->installEventFilter(this); }
  ~WakeCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
  bool eventFilter(QObject* pObj, QEvent* pEvent) override {
    if (pObj->parent() == m_pContext && pEvent->type() >= QEvent::User) ++nWakes;
    return false;
  }
  int nWakes = 0;

 private:
  QObject* m_pContext;
};

TEST(Window, DeliversEveryMessageInPostingOrderWithOneWakeUp) {
  LoggedWindow w;
  WakeCounter counter(&w.m_context);
  std::vector<Msg> posted;
  for (UINT i = 0; i < 100; ++i) {
    posted.push_back({WM_USER + i % 3, i, -static_cast<LPARAM>(i)});
    ASSERT_TRUE(PostMessage(w.window.hwnd(), posted.back().nMsg, posted.back().wParam, posted.back().lParam));
  }
  EXPECT_TRUE(w.handled.empty());  // never run by the poster
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == posted.size(); }));
  EXPECT_EQ(w.handled, posted);
  EXPECT_TRUE(w.disposed.empty());
  EXPECT_EQ(counter.nWakes, 1);  // cheap handlers: one event, not one per message

  // Right after a drain has emptied it the queue lingers awake (its timer runs
  // on this thread, so it cannot have fired yet): these need no new event.
  for (UINT i = 100; i < 110; ++i) {
    posted.push_back({WM_USER, i, 0});
    ASSERT_TRUE(PostMessage(w.window.hwnd(), WM_USER, i, 0));
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == posted.size(); }));
  EXPECT_EQ(w.handled, posted);
  EXPECT_EQ(counter.nWakes, 1);
}

TEST(Window, DeadOrUnknownHandlesFailAndAreNeverReused) {
  EXPECT_FALSE(PostMessage(nullptr, WM_USER, 0, 0));
  EXPECT_FALSE(IsWindow(nullptr));
  HWND hFirst = nullptr;
  {
    LoggedWindow w;
    hFirst = w.window.hwnd();
    EXPECT_TRUE(IsWindow(hFirst));
  }
  LoggedWindow next;
  EXPECT_NE(next.window.hwnd(), hFirst);
  EXPECT_FALSE(IsWindow(hFirst));
  EXPECT_FALSE(PostMessage(hFirst, WM_USER, 0, 0));
}

TEST(Window, FullQueueRefusesUntilMessagesAreHandled) {
  LoggedWindow w;
  const HWND hWnd = w.window.hwnd();
  for (std::size_t i = 0; i < kWindowQueueLimit; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, i, 0));
  EXPECT_FALSE(PostMessage(hWnd, WM_USER, kWindowQueueLimit, 0));
  EXPECT_EQ(TryPostMessage(hWnd, WM_USER, kWindowQueueLimit, 0), PostResult::kQueueFull);
  EXPECT_FALSE(WaitForWindowRoom(hWnd)) << "the window's own thread cannot wait for itself";
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == kWindowQueueLimit; }));
  EXPECT_TRUE(PostMessage(hWnd, WM_USER, 1, 0));
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == kWindowQueueLimit + 1; }));
  EXPECT_EQ(TryPostMessage(nullptr, WM_USER, 0, 0), PostResult::kNoWindow);

  // A batch counts in messages: two places left take its first two, in order.
  for (std::size_t i = 0; i < kWindowQueueLimit - 2; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, 0, 0));
  const WPARAM batch[] = {7, 8, 9};
  std::size_t nPosted = 99;
  EXPECT_EQ(TryPostMessages(hWnd, WM_USER + 1, batch, &nPosted), PostResult::kQueueFull);
  EXPECT_EQ(nPosted, 2u);
  EXPECT_EQ(TryPostMessages(hWnd, WM_USER + 1, std::span<const WPARAM>(batch + 2, 1), &nPosted), PostResult::kQueueFull);
  EXPECT_EQ(nPosted, 0u);
  ASSERT_TRUE(ProcessEventsUntil([&] { return w.handled.size() == 2 * kWindowQueueLimit + 1; }));
  EXPECT_EQ(w.handled.back(), (Msg{WM_USER + 1, 8, 0}));
  EXPECT_EQ(w.handled[w.handled.size() - 2], (Msg{WM_USER + 1, 7, 0}));
  EXPECT_EQ(TryPostMessages(nullptr, WM_USER, batch, &nPosted), PostResult::kNoWindow);
  EXPECT_EQ(nPosted, 0u);
}

// A poster on another thread waits for room: it is woken once the window's
// thread has made room, when the window dies, or by a message in its own
// thread queue.
TEST(Window, WaitForRoomEndsOnRoomOnDeathAndOnAThreadMessage) {
  enum Wake { kRoom, kDeath, kThreadMessage };
  for (const Wake wake : {kRoom, kDeath, kThreadMessage}) {
    SCOPED_TRACE(wake);
    std::optional<LoggedWindow> w;
    w.emplace();
    const HWND hWnd = w->window.hwnd();
    for (std::size_t i = 0; i < kWindowQueueLimit; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, i, 0));
    std::atomic<DWORD> dwWaiter{0};
    std::atomic<bool> bReturned{false};
    std::thread waiter([&] {
      PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
      dwWaiter.store(GetCurrentThreadId());
      EXPECT_TRUE(WaitForWindowRoom(hWnd));
      bReturned.store(true);
    });
    while (dwWaiter.load() == 0) std::this_thread::yield();
    bool bRoomMade = true;
    if (wake == kRoom) {
      bRoomMade = ProcessEventsUntil([&] { return bReturned.load(); });
      if (!bRoomMade) w.reset();  // releases the waiter, so the test can end
    } else if (wake == kDeath) {
      w.reset();
    } else {
      ASSERT_TRUE(PostThreadMessage(dwWaiter.load(), WM_USER, 0, 0));
    }
    waiter.join();  // a wait that does not end hangs here
    EXPECT_TRUE(bRoomMade) << "the waiter was not woken when room was made";
  }
}

TEST(Window, DestructionHandsQueuedMessagesToTheDisposerInOrder) {
  std::vector<Msg> disposed;
  std::vector<Msg> handled;
  HWND hWnd = nullptr;
  {
    QObject context;
    WindowQueue window(
        &context, [&](UINT n, WPARAM w, LPARAM l) { handled.push_back({n, w, l}); },
        [&](UINT n, WPARAM w, LPARAM l) {
          EXPECT_FALSE(IsWindow(hWnd));  // the handle died first
          disposed.push_back({n, w, l});
        });
    hWnd = window.hwnd();
    for (UINT i = 0; i < 5; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, i, 0));
  }
  EXPECT_TRUE(handled.empty());
  ASSERT_EQ(disposed.size(), 5u);
  for (UINT i = 0; i < 5; ++i) EXPECT_EQ(disposed[i].wParam, i);
  // The drain event still queued for the dead window must do nothing.
  QCoreApplication::processEvents();
  EXPECT_TRUE(handled.empty());
}

TEST(Window, HandlerMayDestroyItsOwnWindow) {
  QObject context;
  std::vector<Msg> handled;
  std::vector<Msg> disposed;
  std::optional<WindowQueue> window;
  window.emplace(
      &context,
      [&](UINT n, WPARAM w, LPARAM l) {
        handled.push_back({n, w, l});
        if (w == 2) window.reset();
      },
      [&](UINT n, WPARAM w, LPARAM l) { disposed.push_back({n, w, l}); });
  const HWND hWnd = window->hwnd();
  for (UINT i = 0; i < 6; ++i) ASSERT_TRUE(PostMessage(hWnd, WM_USER, i, 0));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !window.has_value(); }));
  QCoreApplication::processEvents();  // the deferred pump deletion runs here
  ASSERT_EQ(handled.size(), 3u);
  ASSERT_EQ(disposed.size(), 3u);
  EXPECT_EQ(disposed.front().wParam, 3u);
  EXPECT_FALSE(PostMessage(hWnd, WM_USER, 0, 0));
}

TEST(Window, NestedEventLoopInAHandlerDoesNotReenterIt) {
  QObject context;
  std::vector<WPARAM> order;
  int nDepth = 0;
  int nMaxDepth = 0;
  bool bNestedDone = false;
  HWND hWnd = nullptr;
  WindowQueue window(
      &context,
      [&](UINT, WPARAM w, LPARAM) {
        nMaxDepth = std::max(nMaxDepth, ++nDepth);
        order.push_back(w);
        if (w == 0) {
          // A modal loop inside the handler, while more messages come in.
          PostMessage(hWnd, WM_USER, 10, 0);
          for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
          bNestedDone = true;
        }
        --nDepth;
      },
      nullptr);
  hWnd = window.hwnd();
  ASSERT_TRUE(PostMessage(hWnd, WM_USER, 0, 0));
  ASSERT_TRUE(PostMessage(hWnd, WM_USER, 1, 0));
  ASSERT_TRUE(ProcessEventsUntil([&] { return order.size() == 3; }));
  EXPECT_TRUE(bNestedDone);
  EXPECT_EQ(nMaxDepth, 1);
  EXPECT_EQ(order, (std::vector<WPARAM>{0, 1, 10}));
}

// A handler that overruns the 10 ms slice makes the queue yield: an event
// posted behind the first wake-up runs before the next message.
TEST(Window, SlowHandlersYieldToTheEventLoop) {
  QObject context;
  std::vector<int> order;
  WindowQueue window(
      &context,
      [&](UINT, WPARAM w, LPARAM) {
        order.push_back(static_cast<int>(w));
        if (w == 1) {
          const auto tUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(12);
          while (std::chrono::steady_clock::now() < tUntil) {
          }
        }
      },
      nullptr, [&] { order.push_back(0); });
  for (WPARAM i = 1; i <= 3; ++i) ASSERT_TRUE(PostMessage(window.hwnd(), WM_USER, i, 0));
  QMetaObject::invokeMethod(&context, [&] { order.push_back(-1); }, Qt::QueuedConnection);
  ASSERT_TRUE(ProcessEventsUntil([&] { return order.size() == 6; }));
  // Each slice ends (0) before the event loop gets its turn.
  EXPECT_EQ(order, (std::vector<int>{1, 0, -1, 2, 3, 0}));
}

TEST(Window, ContextDestroyedFirstMakesPostsFail) {
  auto* pContext = new QObject;
  std::vector<Msg> disposed;
  std::optional<WindowQueue> window;
  window.emplace(pContext, [](UINT, WPARAM, LPARAM) {}, [&](UINT n, WPARAM w, LPARAM l) {
    disposed.push_back({n, w, l});
  });
  const HWND hWnd = window->hwnd();
  ASSERT_TRUE(PostMessage(hWnd, WM_USER, 7, 0));
  delete pContext;  // takes the pump with it
  EXPECT_FALSE(PostMessage(hWnd, WM_USER, 8, 0));
  QCoreApplication::processEvents();
  // Destroying the queue afterwards still frees what was waiting.
  window.reset();
  ASSERT_EQ(disposed.size(), 1u);
  EXPECT_EQ(disposed[0].wParam, 7u);
}

// Posters on several threads while the window's thread drains: every accepted
// post is handled once, each poster's in order (and TSan sees no race).
TEST(Window, ConcurrentFloodArrivesCompleteAndInOrder) {
  constexpr int kPosters = 4;
  constexpr int kPerPoster = 2000;
  QObject context;
  std::vector<std::vector<WPARAM>> received(kPosters);
  std::atomic<int> nAccepted{0};
  WindowQueue window(
      &context, [&](UINT, WPARAM w, LPARAM l) { received[static_cast<std::size_t>(l)].push_back(w); }, nullptr);
  const HWND hWnd = window.hwnd();
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        if (PostMessage(hWnd, WM_USER, static_cast<WPARAM>(i), p)) nAccepted.fetch_add(1);
      }
    });
  }
  auto nReceived = [&] {
    std::size_t n = 0;
    for (const auto& v : received) n += v.size();
    return n;
  };
  std::atomic<bool> bPostersDone{false};
  std::thread joiner([&] {
    for (auto& t : posters) t.join();
    bPostersDone.store(true);
  });
  const bool bAllArrived = ProcessEventsUntil(
      [&] { return bPostersDone.load() && nReceived() == static_cast<std::size_t>(nAccepted.load()); });
  joiner.join();
  ASSERT_TRUE(bAllArrived);
  EXPECT_EQ(nAccepted.load(), kPosters * kPerPoster);  // 8000 never fills a 10000 queue
  for (const auto& v : received) EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

}  // namespace
