#include "platform/threadmsg.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Ids of threads without a queue, or gone, name no queue; a full queue refuses
// until a message is taken; a peek without PM_REMOVE leaves the message.
TEST(ThreadMsg, PostFailsWithoutAQueueAndWhenFull) {
  DWORD dwNoQueue = 0, dwEnded = 0;
  std::thread([&] { dwNoQueue = GetCurrentThreadId(); }).join();
  std::thread([&] { PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE), dwEnded = GetCurrentThreadId(); }).join();
  for (DWORD dw : {DWORD{0}, dwNoQueue, dwEnded}) EXPECT_FALSE(PostThreadMessage(dw, WM_CLOSE, 0, 0)) << dw;
  const DWORD dwSelf = GetCurrentThreadId();
  PeekMessage(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  for (std::size_t i = 0; i < kThreadQueueLimit; ++i) ASSERT_TRUE(PostThreadMessage(dwSelf, WM_USER + i % 2, i, 0));
  EXPECT_FALSE(PostThreadMessage(dwSelf, WM_CLOSE, 0, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, WM_USER + 1, WM_USER + 1, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_FALSE(PostThreadMessage(dwSelf, WM_CLOSE, 0, 0));
  ASSERT_TRUE(PeekMessage(&msg, nullptr, WM_USER + 1, WM_USER + 1, PM_REMOVE));
  EXPECT_TRUE(PostThreadMessage(dwSelf, WM_CLOSE, 0, 0));
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace
