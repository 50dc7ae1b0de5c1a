// The capture thread's hand-over: decoding one receive (DeliverReceivedFrame)
// from a heap block of exactly the captured bytes, so that AddressSanitizer
// reports a read past them; delivery, where a full window queue is waited
// out and the engine frees a notice only when the window is gone, the engine
// ends or a stop is requested (ASan/LSan builds catch a leak or double free);
// the batch notices travel in, and the pool records live in.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "capture/captureengine.h"
#include "capture/noticebatch.h"
#include "capture/slotpool.h"
#include "decoderows.h"
#include "platform/threadmsg.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

TEST(Decode, EachFrameGivesTheRecordItsBytesSay) {
  for (const DecodeRow& row : DecodeRows()) {
    SCOPED_TRACE(row.pszName);
    const std::vector<BYTE> exact = row.frame;  // a copy's heap block holds exactly its bytes
    const int nBytes = static_cast<int>(exact.size());
    NoticeLog log;
    CCaptureEngine engine;
    engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
    const int nFrameLen = row.nFrameLen >= 0 ? row.nFrameLen : nBytes;
    ASSERT_EQ(DeliverReceivedFrame(&engine, exact.data(), nBytes, nFrameLen), row.pszProt ? 1 : 0);
    if (!row.pszProt) continue;
    ASSERT_TRUE(ProcessEventsUntil([&] { return !log.notices.empty(); }));
    const PacketRecord& r = log.notices[0].rec();
    EXPECT_EQ(r.strSrcAddr + " " + r.strDesAddr, nBytes > 1 ? "10.0.0.1 192.168.200.254" : "0.0.0.0 0.0.0.0");
    EXPECT_EQ(r.strProt + " ports " + std::to_string(r.nSrcPort) + " " + std::to_string(r.nDesPort) + " size " +
                  std::to_string(r.wSize) + " payload " + std::to_string(r.nDataLen),
              row.pszProt + (" ports " + std::to_string(row.nSrcPort) + " " + std::to_string(row.nDesPort) + " size " +
                             std::to_string(row.nSize) + " payload " + std::to_string(row.nLen)));
    std::vector<BYTE> want(PACKET_BUFFER_SIZE, 0);  // the payload's captured bytes, then zeros
    if (row.nLen > 0) std::copy_n(row.frame.begin() + row.nStart, row.nLen, want.begin());
    EXPECT_EQ(std::vector<BYTE>(r.pData, r.pData + PACKET_BUFFER_SIZE), want);
  }
}

constexpr UINT kMsg = WM_USER + 77;
void Deliver(CCaptureEngine& engine, int nSrcPort) {
  const BYTE payload[] = {'a', 'b', 'c'};
  engine.DeliverPacket("1.2.3.4", nSrcPort, "5.6.7.8", 2, 17, payload, 3, 31);
}

TEST(Deliver, UndeliverableNoticesAreFreedOnce) {
  std::optional<NoticeLog> log(std::in_place);
  CCaptureEngine engine;
  engine.SetNotifyWindow(log->hwnd(), kMsg);
  // Only the window's own thread could make room: the refused notices are the sender's.
  for (std::size_t i = 0; i < kWindowQueueLimit + 5; ++i) Deliver(engine, 1);
  log.reset();            // the queued ones go to the window's disposer
  engine.OnCaptureEnd();  // a post to a window that is gone: the sender's again
}

// From another thread a full queue is a pause, and nothing is lost. A stop
// request (WM_CLOSE in the poster's queue) or the window's end ends the wait;
// a wait that never ends fails the test by its time-out.
TEST(Deliver, AFullQueueIsWaitedOutUntilRoomStopOrTheWindowsEnd) {
  constexpr int kLimit = static_cast<int>(kWindowQueueLimit);
  for (const char* pszEnd : {"room", "stop", "window gone"}) {
    SCOPED_TRACE(pszEnd);
    const bool bRoom = pszEnd[0] == 'r';
    std::optional<NoticeLog> log(std::in_place);
    CCaptureEngine engine;
    engine.SetNotifyWindow(log->hwnd(), kMsg);
    std::atomic<DWORD> dwPoster{0};
    std::atomic<int> nDone{0};
    std::thread poster([&] {
      PeekMessage(nullptr, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // a queue a stop request can reach
      dwPoster.store(GetCurrentThreadId());
      for (int i = 0; i < kLimit + (bRoom ? 50 : 1); ++i, nDone.store(i)) Deliver(engine, i);
    });
    while (nDone.load() < kLimit) std::this_thread::yield();  // full: nothing handled yet
    if (bRoom)
      ProcessEventsUntil([&] { return static_cast<int>(log->notices.size()) == kLimit + 50; });
    else if (pszEnd[0] == 's')
      EXPECT_TRUE(PostThreadMessage(dwPoster.load(), WM_CLOSE, 0, 0));
    else
      log.reset();
    poster.join();  // a poster that waits on is let go only by room, the stop or the window's end
    if (!bRoom) continue;
    ASSERT_EQ(static_cast<int>(log->notices.size()), kLimit + 50);
    for (int i = 0; i < kLimit + 50; ++i) {
      const NoticeLog::Seen& n = log->notices[static_cast<std::size_t>(i)];
      ASSERT_EQ(std::to_string(n.nMsg) + " " + n.p->strText + " " + std::to_string(n.rec().nSrcPort) + " " +
                    std::to_string(n.rec().nDataLen),
                std::to_string(kMsg) + " 1.2.3.4 " + std::to_string(i) + " 3");
    }
  }
}

// Outside a gathering a notice goes at once; inside, in order, when flushed,
// when the batch is full, and at the gathering's end (a run's last notices,
// whatever ended it).
TEST(NoticeBatch, PostsEveryNoticeInOrderByTheGatheringsEnd) {
  std::vector<std::vector<int>> posts;  // each post's notices, by nType
  const auto post = [](void* pPosts, const WPARAM* pNotices, std::size_t n) {
    auto& calls = *static_cast<std::vector<std::vector<int>>*>(pPosts);
    calls.emplace_back();
    for (std::size_t i = 0; i < n; ++i) {
      auto* pNotice = reinterpret_cast<EngineNotice*>(pNotices[i]);
      calls.back().push_back(pNotice->nType);
      DeleteEngineNotice(pNotice);
    }
  };
  NoticeBatch batch(post, &posts);
  int nNext = 0;
  const auto add = [&](int n) {
    for (int i = 0; i < n; ++i) batch.Add(new EngineNotice{nNext++, {}, nullptr});
  };
  add(1);
  {
    const NoticeBatch::Gathering gathering(batch);
    add(2);
    EXPECT_EQ(posts.size(), 1u) << "gathered, not posted";
    batch.Flush();
    add(int(NoticeBatch::kCapacity) + 3);
  }
  std::vector<int> sizes, order;
  for (const auto& call : posts) {
    sizes.push_back(int(call.size()));
    order.insert(order.end(), call.begin(), call.end());
  }
  EXPECT_EQ(sizes, (std::vector<int>{1, 2, int(NoticeBatch::kCapacity), 3}));
  for (int i = 0; i < nNext; ++i) ASSERT_EQ(order[std::size_t(i)], i);
}

// Slots go round between a thread's cache and the shared store through many
// spills and refills: none is lost, none handed out twice, the counts exact.
TEST(SlotPool, SpillsAndRefillsNeitherLoseNorRepeatASlot) {
  using Pool = SlotPool<struct PoolTestTag, 64>;
  std::mt19937 rng(20261207);
  std::vector<void*> held;
  std::set<void*> live;
  for (int nRound = 0; nRound < 300; ++nRound) {
    for (int n = std::uniform_int_distribution<int>(0, 500)(rng); n > 0; --n) {
      void* p = Pool::Allocate();
      ASSERT_NE(p, nullptr);
      ASSERT_TRUE(live.insert(p).second) << "a slot handed out twice";
      held.push_back(p);
    }
    std::shuffle(held.begin(), held.end(), rng);
    for (int n = std::uniform_int_distribution<int>(0, int(held.size()))(rng); n > 0; --n) {
      live.erase(held.back());
      Pool::Free(held.back());
      held.pop_back();
    }
    ASSERT_EQ(Pool::CountLive(), long(held.size()));
    ASSERT_TRUE(Pool::CountsHold());
  }
  for (void* p : held) Pool::Free(p);
  EXPECT_EQ(Pool::CountLive(), 0);
}

}  // namespace
