// Shutdown under load: 50 capture runs on the loopback of the test's own
// network namespace, each under UDP traffic to 127.0.0.2, ended at a
// moment and in a way drawn from a seeded generator: engine or window first,
// from inside the window's handler, or after a Stop. After each run every
// record the engine built must have been freed, whoever held it last.
// Reproduce a failing run with MORVANE_STRESS_SEED=<seed printed>.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"
#include "platform/window.h"

// Notices freed by a thread other than the test's: posts that failed. The
// link wraps DeleteEngineNotice (tests/capture/CMakeLists.txt).
extern "C" void __real__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice);
namespace {
const std::thread::id g_testThread = std::this_thread::get_id();
std::atomic<int> g_nFreedByPoster{0};
}  // namespace
extern "C" void __wrap__Z18DeleteEngineNoticeP12EngineNotice(EngineNotice* pNotice) {
  if (pNotice != nullptr && std::this_thread::get_id() != g_testThread) ++g_nFreedByPoster;
  __real__Z18DeleteEngineNoticeP12EngineNotice(pNotice);
}

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";
constexpr int kRuns = 50;
constexpr int kMaxCloseAfter = 600;  // notices handled before the close, at most
constexpr int kSinkPort = 47000;     // the traffic's destination: bound and never read
constexpr int kSenderPort = 47001;
constexpr unsigned kDefaultSeed = 20240607;
// Traffic runs until the run is over, paced so that the sender leaves the
// machine's cores to the capture; the limit only bounds a run that hangs.
constexpr int kDatagramsPerPace = 20;
constexpr auto kPace = std::chrono::milliseconds(1);
constexpr auto kMaxSendTime = std::chrono::seconds(20);
// Bound on a wait for something the run must do; reaching it fails the run.
constexpr auto kMustHappenBound = std::chrono::seconds(10);

// How a run ends.
enum class CloseMode {
  kEngineFirst,     // engine destroyed, then its window
  kWindowFirst,     // window destroyed while the thread still posts (its posts fail), then the engine
  kInsideHandler,   // both destroyed from inside the window's handler of one notice
  kStopThenClose,   // Stop, some events handled, then both destroyed
  kCount
};

struct RunPlan {
  CloseMode mode;
  int nCloseAfter;      // packet notices handled before the close (0: at once after Start)
  bool bKeepRecords;    // the window keeps records in a bounded list, as the dialog's packet list
  bool bTrafficFirst;   // traffic starts between Open and Start, so the thread begins with datagrams waiting
  int nStopEvents;      // kStopThenClose: event batches handled between Stop and the close
};

RunPlan DrawPlan(std::mt19937& rng) {
  RunPlan plan{};
  plan.mode = static_cast<CloseMode>(std::uniform_int_distribution<int>(0, static_cast<int>(CloseMode::kCount) - 1)(rng));
  // A quarter of the runs close at once, often before the thread has recorded its id.
  plan.nCloseAfter = std::uniform_int_distribution<int>(0, 3)(rng) == 0
                         ? 0
                         : std::uniform_int_distribution<int>(1, kMaxCloseAfter)(rng);
  if (plan.mode == CloseMode::kInsideHandler && plan.nCloseAfter == 0) plan.nCloseAfter = 1;
  plan.bKeepRecords = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
  plan.bTrafficFirst = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
  plan.nStopEvents = std::uniform_int_distribution<int>(0, 20)(rng);
  return plan;
}

// Sends small datagrams to the sink from Begin until Finish.
class Traffic {
 public:
  Traffic() = default;
  ~Traffic() { Finish(); }
  Traffic(const Traffic&) = delete;
  Traffic& operator=(const Traffic&) = delete;

  void Begin() {
    m_thread = std::thread([this] {
      nettraffic::Fd s(socket(AF_INET, SOCK_DGRAM, 0));
      const sockaddr_in src = nettraffic::Addr(kAddr, kSenderPort);
      const sockaddr_in des = nettraffic::Addr(kAddr, kSinkPort);
      const int nOne = 1;
      setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
      if (s.fd < 0 || bind(s.fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0) return;
      static const char kPayload[] = "stress";
      const auto tEnd = std::chrono::steady_clock::now() + kMaxSendTime;
      while (!m_bStop.load() && std::chrono::steady_clock::now() < tEnd) {
        for (int i = 0; i < kDatagramsPerPace; ++i) {
          if (sendto(s.fd, kPayload, sizeof kPayload - 1, 0, reinterpret_cast<const sockaddr*>(&des), sizeof des) > 0)
            m_nSent.fetch_add(1);
        }
        std::this_thread::sleep_for(kPace);
      }
    });
  }
  void Finish() {
    m_bStop.store(true);
    if (m_thread.joinable()) m_thread.join();
  }
  int Sent() const { return m_nSent.load(); }

 private:
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nSent{0};
};

// The dialog's part in one run: the engine, the window its notices go to, and
// the packet list when records are kept.
class CaptureRun {
 public:
  explicit CaptureRun(const RunPlan& plan) : m_plan(plan) {
    m_pEngine = std::make_unique<CCaptureEngine>();
    m_pWindow = std::make_unique<WindowQueue>(
        &m_context, [this](UINT, WPARAM wParam, LPARAM) { OnNotify(reinterpret_cast<EngineNotice*>(wParam)); },
        [](UINT, WPARAM wParam, LPARAM) { DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam)); });
  }
  ~CaptureRun() { Close(); }
  CaptureRun(const CaptureRun&) = delete;
  CaptureRun& operator=(const CaptureRun&) = delete;

  // From a successful Open on, every datagram sent is captured: it waits in the socket.
  bool Open() { return m_pEngine->Open(kAddr, CAPTURE_PORT) != FALSE; }
  bool Start() {
    m_pEngine->SetNotifyWindow(m_pWindow->hwnd(), WM_ENGINE_NOTIFY);
    return m_pEngine->Start() != FALSE;
  }

  void Stop() { m_pEngine->Stop(); }

  // Ends the run the plan's way; afterwards nothing of it is alive.
  void Close() {
    if (m_plan.mode == CloseMode::kWindowFirst) {
      CloseWindow();
      m_pEngine.reset();
    } else {
      m_pEngine.reset();  // joins the capture thread
      m_pWindow.reset();  // frees the notices still queued
    }
    ClearList();
  }
  void CloseWindow() { m_pWindow.reset(); }

  bool Closed() const { return !m_pEngine && !m_pWindow; }
  int Handled() const { return m_nHandled; }
  int Stopped() const { return m_nStopped; }

 private:
  void OnNotify(EngineNotice* pNotice) {
    if (pNotice->nType == NOTICE_PACKET && pNotice->pRecord != nullptr) {
      ++m_nHandled;
      if (m_plan.bKeepRecords) {
        if (m_list.size() > static_cast<std::size_t>(MAX_LIST_ITEMS)) ClearList();
        m_list.push_back(pNotice->pRecord);
      } else {
        DeletePacketRecord(pNotice->pRecord);
      }
      pNotice->pRecord = nullptr;
    } else if (pNotice->nType == NOTICE_STOPPED) {
      ++m_nStopped;
    }
    DeleteEngineNotice(pNotice);
    // The user closes the dialog while notices are being handled.
    if (m_plan.mode == CloseMode::kInsideHandler && m_nHandled == m_plan.nCloseAfter && !Closed()) Close();
  }

  void ClearList() {
    for (PacketRecord* pRecord : m_list) DeletePacketRecord(pRecord);
    m_list.clear();
  }

  RunPlan m_plan;
  QObject m_context;
  std::vector<PacketRecord*> m_list;
  std::unique_ptr<CCaptureEngine> m_pEngine;
  std::unique_ptr<WindowQueue> m_pWindow;
  int m_nHandled = 0;
  int m_nStopped = 0;
};

unsigned Seed() {
  if (const char* pszSeed = std::getenv("MORVANE_STRESS_SEED")) return static_cast<unsigned>(std::strtoul(pszSeed, nullptr, 10));
  return kDefaultSeed;
}

// Waits, handling events, until pred() holds; false after kMustHappenBound.
template <typename Pred>
bool MustHappen(Pred pred) {
  return ProcessEventsUntil(pred, std::chrono::duration_cast<std::chrono::milliseconds>(kMustHappenBound));
}

TEST(ShutdownStress, EveryRecordIsFreedHoweverTheRunEnds) {
  const unsigned nSeed = Seed();
  std::printf("seed %u\n", nSeed);
  std::mt19937 rng(nSeed);
  // The traffic's destination exists, so no ICMP port unreachable answers it;
  // nobody reads it, and the kernel drops what does not fit its queue.
  nettraffic::Fd sink(socket(AF_INET, SOCK_DGRAM, 0));
  const sockaddr_in sinkAddr = nettraffic::Addr(kAddr, kSinkPort);
  ASSERT_EQ(bind(sink.fd, reinterpret_cast<const sockaddr*>(&sinkAddr), sizeof sinkAddr), 0);

  const long nLiveBefore = CountLivePacketRecords();
  int nHandled = 0;
  int nSent = 0;
  int nWindowFirstRuns = 0;
  for (int nRun = 0; nRun < kRuns; ++nRun) {
    const RunPlan plan = DrawPlan(rng);
    SCOPED_TRACE("run " + std::to_string(nRun) + " mode " + std::to_string(static_cast<int>(plan.mode)) +
                 " close after " + std::to_string(plan.nCloseAfter) + (plan.bTrafficFirst ? " traffic first" : ""));
    {
      Traffic traffic;
      CaptureRun run(plan);
      ASSERT_TRUE(run.Open());
      if (plan.bTrafficFirst) traffic.Begin();
      ASSERT_TRUE(run.Start());
      if (!plan.bTrafficFirst) traffic.Begin();
      if (plan.nCloseAfter > 0) {
        // Everything sent since Open reaches the window, so this run must get there.
        EXPECT_TRUE(MustHappen([&] { return run.Closed() || run.Handled() >= plan.nCloseAfter; }))
            << "handled " << run.Handled() << " notices of " << traffic.Sent() << " datagrams sent";
      }
      if (plan.mode == CloseMode::kStopThenClose) {
        run.Stop();  // heard only once the thread has recorded its id; the close stops it anyway
        for (int i = 0; i < plan.nStopEvents && run.Stopped() == 0; ++i)
          QCoreApplication::processEvents(QEventLoop::AllEvents);
      }
      if (plan.mode == CloseMode::kWindowFirst) {
        // The window goes while traffic still flows: the thread's next posts
        // fail, and each failed post must free what it carried.
        ++nWindowFirstRuns;
        run.CloseWindow();
        const int nFreedBefore = g_nFreedByPoster.load();
        EXPECT_TRUE(MustHappen([&] { return g_nFreedByPoster.load() > nFreedBefore; }))
            << "no post failed after the window had gone";
      }
      if (!run.Closed()) run.Close();
      EXPECT_LE(run.Stopped(), 1);
      traffic.Finish();
      nHandled += run.Handled();
      nSent += traffic.Sent();
    }
    // The engine's thread has ended, so the count is exact.
    EXPECT_EQ(CountLivePacketRecords(), nLiveBefore) << "records not freed";
  }
  std::printf("%d runs (%d closing the window first): %d datagrams sent, %d handled, %d failed posts\n", kRuns,
              nWindowFirstRuns, nSent, nHandled, g_nFreedByPoster.load());
  EXPECT_GT(nWindowFirstRuns, 0);
}

}  // namespace
