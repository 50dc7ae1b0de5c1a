// DeliverPacket and OnCaptureEnd: what a notice carries and that an
// undeliverable one is freed exactly once (ASan/LSan builds catch a leak or a
// double free here).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "platform/threadmsg.h"
#include "platform/window.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

TEST(DeliverPacket, PostsOneFilledRecordWithTheGivenMessage) {
  NoticeLog log;
  CCaptureEngine engine;
  constexpr UINT kMsg = WM_USER + 77;
  engine.SetNotifyWindow(log.hwnd(), kMsg);
  const std::vector<BYTE> payload = {'h', 'i', 0, 'x', 'y'};
  engine.DeliverPacket("10.1.2.3", 1234, "10.9.8.7", 80, 6, payload.data(), static_cast<int>(payload.size()), 45);
  engine.DeliverPacket("1.1.1.1", 0, "2.2.2.2", 0, 50, nullptr, 0, 60);
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.notices.size() == 2; }));

  const SeenNotice& tcp = log.notices[0];
  EXPECT_EQ(tcp.nMsg, kMsg);
  EXPECT_EQ(tcp.nType, NOTICE_PACKET);
  EXPECT_EQ(tcp.strText, "10.1.2.3");  // the source address, as the record's
  ASSERT_TRUE(tcp.bHasRecord);
  EXPECT_EQ(tcp.strSrcAddr, "10.1.2.3");
  EXPECT_EQ(tcp.strDesAddr, "10.9.8.7");
  EXPECT_EQ(tcp.strProt, "TCP");
  EXPECT_EQ(tcp.nSrcPort, 1234);
  EXPECT_EQ(tcp.nDesPort, 80);
  EXPECT_EQ(tcp.wSize, 45);
  EXPECT_EQ(tcp.strPayloadText, "hi");
  EXPECT_EQ(tcp.nDataLen, 5);  // all the payload bytes, the zero among them
  std::vector<BYTE> expected(PACKET_BUFFER_SIZE, 0);
  std::copy(payload.begin(), payload.end(), expected.begin());
  EXPECT_EQ(tcp.block, expected);  // the real bytes, then zeros

  const SeenNotice& other = log.notices[1];
  EXPECT_EQ(other.strProt, "");
  EXPECT_EQ(other.strPayloadText, "");
  EXPECT_EQ(other.block, std::vector<BYTE>(PACKET_BUFFER_SIZE, 0));
}

TEST(DeliverPacket, UndeliverableNoticesAreFreedBySomeoneOnce) {
  const BYTE payload[] = {'a', 'b', 'c'};
  // No window was ever set.
  {
    CCaptureEngine engine;
    engine.DeliverPacket("1.2.3.4", 1, "5.6.7.8", 2, 17, payload, 3, 31);
  }
  // A window that is gone: the post fails and the sender frees.
  HWND hGone = nullptr;
  {
    NoticeLog log;
    hGone = log.hwnd();
  }
  {
    CCaptureEngine engine;
    engine.SetNotifyWindow(hGone, WM_ENGINE_NOTIFY);
    engine.DeliverPacket("1.2.3.4", 1, "5.6.7.8", 2, 17, payload, 3, 31);
    engine.OnCaptureEnd();
  }
  // A full queue refuses a post from the window's own thread, which alone
  // could make room; the refused notice is the sender's.
  {
    NoticeLog log;
    CCaptureEngine engine;
    engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
    for (std::size_t i = 0; i < kWindowQueueLimit + 5; ++i) engine.DeliverPacket("1.2.3.4", 1, "5.6.7.8", 2, 17, payload, 3, 31);
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.notices.size() == kWindowQueueLimit; }));
  }
  // Still queued when the window dies: the window's disposer frees them.
  {
    std::optional<NoticeLog> log;
    log.emplace();
    CCaptureEngine engine;
    engine.SetNotifyWindow(log->hwnd(), WM_ENGINE_NOTIFY);
    for (int i = 0; i < 10; ++i) engine.DeliverPacket("1.2.3.4", 1, "5.6.7.8", 2, 17, payload, 3, 31);
    engine.OnCaptureEnd();
    log.reset();
    QCoreApplication::processEvents();
  }
}

// From another thread a full queue is a pause: the poster waits until the
// window's thread makes room, and nothing is lost. A stop request (WM_CLOSE in
// the poster's queue) or the window's end ends the wait; that notice is freed.
TEST(DeliverPacket, AFullQueueIsWaitedOutUntilRoomStopOrTheWindowsEnd) {
  const BYTE payload[] = {'a'};
  constexpr int kCount = static_cast<int>(kWindowQueueLimit) + 50;
  {
    NoticeLog log;
    CCaptureEngine engine;
    engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
    std::atomic<int> nDone{0};
    std::thread poster([&] {
      for (int i = 0; i < kCount; ++i) {
        engine.DeliverPacket("1.2.3.4", i, "5.6.7.8", 2, 17, payload, 1, 29);
        nDone.store(i + 1);
      }
    });
    // The poster fills the queue and then waits: nothing is handled until here.
    while (nDone.load() < static_cast<int>(kWindowQueueLimit)) std::this_thread::yield();
    const bool bAll = ProcessEventsUntil([&] { return static_cast<int>(log.notices.size()) == kCount; });
    poster.join();
    ASSERT_TRUE(bAll) << log.notices.size() << " of " << kCount << " notices arrived";
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(log.notices[static_cast<std::size_t>(i)].nSrcPort, i);
  }
  for (const bool bStop : {true, false}) {
    SCOPED_TRACE(bStop ? "stop request" : "window destroyed");
    std::optional<NoticeLog> log;
    log.emplace();
    CCaptureEngine engine;
    engine.SetNotifyWindow(log->hwnd(), WM_ENGINE_NOTIFY);
    std::atomic<DWORD> dwPoster{0};
    std::atomic<int> nDone{0};
    std::thread poster([&] {
      PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // a queue a stop request can reach
      dwPoster.store(GetCurrentThreadId());
      for (int i = 0; i <= static_cast<int>(kWindowQueueLimit); ++i) {
        engine.DeliverPacket("1.2.3.4", 1, "5.6.7.8", 2, 17, payload, 1, 29);
        nDone.store(i + 1);
      }
    });
    while (nDone.load() < static_cast<int>(kWindowQueueLimit)) std::this_thread::yield();
    if (bStop)
      EXPECT_TRUE(PostThreadMessage(dwPoster.load(), WM_CLOSE, 0, 0));
    else
      log.reset();  // the queued notices go to its disposer
    // No events are processed meanwhile, so no room is made: only the wake ends the wait.
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (nDone.load() <= static_cast<int>(kWindowQueueLimit) && std::chrono::steady_clock::now() < tGiveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool bEnded = nDone.load() > static_cast<int>(kWindowQueueLimit);
    log.reset();  // releases a poster still waiting, so the test can end
    poster.join();
    EXPECT_TRUE(bEnded) << "the wait did not end";
  }
}

TEST(OnCaptureEnd, PostsOneStoppedNoticeWithoutARecordAndLeavesTheEngineIdle) {
  NoticeLog log;
  CCaptureEngine engine;
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  engine.OnCaptureEnd();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.notices.size() == 1; }));
  EXPECT_EQ(log.notices[0].nType, NOTICE_STOPPED);
  EXPECT_EQ(log.notices[0].nMsg, WM_ENGINE_NOTIFY);
  EXPECT_FALSE(log.notices[0].bHasRecord);
  EXPECT_EQ(log.notices[0].strText, "");
  EXPECT_FALSE(engine.IsOpened());
  EXPECT_FALSE(engine.IsRunning());
  EXPECT_EQ(engine.GetThreadId(), 0u);
}

}  // namespace
