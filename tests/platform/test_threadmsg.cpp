#include "platform/threadmsg.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

bool WakeFdReadable() {
  pollfd pfd{GetThreadQueueWakeFd(), POLLIN, 0};
  return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN);
}

// Empties the calling thread's queue and its wake.
void DrainOwnQueue() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  ConsumeThreadQueueWake();
}

struct PeekCase {
  const char* pszName;
  std::vector<UINT> posted;
  UINT nMin, nMax, nRemove;
  bool bFound;
  UINT nFoundMsg;
  std::vector<UINT> left;  // the queue afterwards, oldest first
};

TEST(ThreadMsg, PeekFindsOldestInRangeAndRemovesOnlyWhenAsked) {
  const PeekCase cases[] = {
      {"close kept", {WM_USER, WM_CLOSE, WM_USER}, WM_CLOSE, WM_CLOSE, PM_NOREMOVE, true, WM_CLOSE,
       {WM_USER, WM_CLOSE, WM_USER}},
      {"close taken", {WM_USER, WM_CLOSE, WM_USER}, WM_CLOSE, WM_CLOSE, PM_REMOVE, true, WM_CLOSE, {WM_USER, WM_USER}},
      {"zero range means any", {WM_USER + 5, WM_CLOSE}, 0, 0, PM_REMOVE, true, WM_USER + 5, {WM_CLOSE}},
      {"oldest of several", {WM_USER + 3, WM_USER + 1, WM_USER + 2}, WM_USER + 1, WM_USER + 2, PM_REMOVE, true,
       WM_USER + 1, {WM_USER + 3, WM_USER + 2}},
      {"none in range", {WM_USER, WM_USER + 1}, WM_CLOSE, WM_CLOSE, PM_REMOVE, false, 0, {WM_USER, WM_USER + 1}},
      {"empty queue", {}, 0, 0, PM_REMOVE, false, 0, {}},
  };
  const DWORD dwSelf = GetCurrentThreadId();
  for (const PeekCase& c : cases) {
    SCOPED_TRACE(c.pszName);
    PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
    DrainOwnQueue();
    for (UINT nMsg : c.posted) ASSERT_TRUE(PostThreadMessage(dwSelf, nMsg, nMsg * 2, -static_cast<LPARAM>(nMsg)));
    MSG msg{};
    EXPECT_EQ(PeekMessage(&msg, nullptr, c.nMin, c.nMax, c.nRemove), c.bFound ? TRUE : FALSE);
    if (c.bFound) {
      EXPECT_EQ(msg.message, c.nFoundMsg);
      EXPECT_EQ(msg.wParam, c.nFoundMsg * 2);
      EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(c.nFoundMsg));
      EXPECT_EQ(msg.hwnd, nullptr);
    }
    std::vector<UINT> left;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) left.push_back(msg.message);
    EXPECT_EQ(left, c.left);
  }
}

TEST(ThreadMsg, PostFailsWithoutQueueAndAfterThreadEnds) {
  EXPECT_FALSE(PostThreadMessage(0, WM_CLOSE, 0, 0));
  EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, WM_CLOSE, 0, 0));

  DWORD dwNoQueue = 0;
  std::thread([&] { dwNoQueue = GetCurrentThreadId(); }).join();  // an id, but never peeked
  EXPECT_NE(dwNoQueue, 0u);
  EXPECT_FALSE(PostThreadMessage(dwNoQueue, WM_CLOSE, 0, 0));

  DWORD dwEnded = 0;
  std::thread([&] {
    PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
    dwEnded = GetCurrentThreadId();
  }).join();
  EXPECT_FALSE(PostThreadMessage(dwEnded, WM_CLOSE, 0, 0));
}

TEST(ThreadMsg, WakeIsAnEdgeNotALevel) {
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  DrainOwnQueue();
  ASSERT_GE(GetThreadQueueWakeFd(), 0);
  EXPECT_FALSE(WakeFdReadable());
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
  EXPECT_TRUE(WakeFdReadable());
  EXPECT_TRUE(ConsumeThreadQueueWake());
  // The message is still queued, yet a wait would block again: no spin.
  EXPECT_TRUE(PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
  EXPECT_FALSE(WakeFdReadable());
  EXPECT_FALSE(ConsumeThreadQueueWake());
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_CLOSE, 0, 0));
  EXPECT_TRUE(WakeFdReadable());
  DrainOwnQueue();
}

TEST(ThreadMsg, FullQueueRefusesPosts) {
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  DrainOwnQueue();
  const DWORD dwSelf = GetCurrentThreadId();
  for (std::size_t i = 0; i < kThreadQueueLimit; ++i) ASSERT_TRUE(PostThreadMessage(dwSelf, WM_USER, i, 0));
  EXPECT_FALSE(PostThreadMessage(dwSelf, WM_CLOSE, 0, 0));
  EXPECT_FALSE(PeekMessage(nullptr, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_TRUE(PostThreadMessage(dwSelf, WM_CLOSE, 0, 0));
  DrainOwnQueue();
}

// Several posters flood one consumer that blocks on its wake descriptor; every
// message arrives once and each poster's messages in posting order.
TEST(ThreadMsg, ConcurrentPostersReachABlockedConsumerInOrder) {
  constexpr int kPosters = 4;
  constexpr int kPerPoster = 1000;
  std::atomic<DWORD> dwConsumer{0};
  std::vector<std::vector<WPARAM>> received(kPosters);

  std::thread consumer([&] {
    PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
    dwConsumer.store(GetCurrentThreadId());
    int nLeft = kPosters * kPerPoster;
    while (nLeft > 0) {
      pollfd pfd{GetThreadQueueWakeFd(), POLLIN, 0};
      if (poll(&pfd, 1, 10000) <= 0) break;  // bound: a lost wake fails the test, not hangs it
      ConsumeThreadQueueWake();
      MSG msg;
      while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        received[msg.lParam].push_back(msg.wParam);
        --nLeft;
      }
    }
  });
  while (dwConsumer.load() == 0) std::this_thread::yield();

  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        // The consumer drains as it goes; a full queue is retried.
        while (!PostThreadMessage(dwConsumer.load(), WM_USER, static_cast<WPARAM>(i), p)) std::this_thread::yield();
      }
    });
  }
  for (auto& t : posters) t.join();
  consumer.join();
  for (int p = 0; p < kPosters; ++p) {
    ASSERT_EQ(received[p].size(), static_cast<std::size_t>(kPerPoster)) << "poster " << p;
    EXPECT_TRUE(std::is_sorted(received[p].begin(), received[p].end())) << "poster " << p;
  }
}

}  // namespace
