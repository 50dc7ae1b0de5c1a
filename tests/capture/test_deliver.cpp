// DeliverPacket and OnCaptureEnd: what a notice carries and that an
// undeliverable one is freed exactly once (ASan/LSan builds catch a leak or a
// double free here).
#include <gtest/gtest.h>

#include <optional>

#include "capture/captureengine.h"
#include "capturetest.h"
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
  // A full queue refuses; the refused notice is the sender's.
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
