// Engine states and failures, on the loopback of the test's own network
// namespace (127.0.0.2 is there; tests/netns-run.sh makes it).
#include "capture/captureengine.h"

#include <gtest/gtest.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capturetest.h"
#include "nettraffic.h"
#include "../platform/threadwait.h"
#include "platform/helperclient.h"
#include "platform/sockstartup.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

// Holds a new capture thread before it records its id, until released.
struct StartGate {
  std::mutex mtx;
  std::condition_variable cv;
  bool bEntered = false;
  bool bReleased = false;

  static StartGate& The() {
    static StartGate gate;
    return gate;
  }
  static void Hook() {
    StartGate& g = The();
    std::unique_lock lock(g.mtx);
    g.bEntered = true;
    g.cv.notify_all();
    g.cv.wait(lock, [&] { return g.bReleased; });
  }
  void Arm() {
    std::lock_guard lock(mtx);
    bEntered = bReleased = false;
    SetCaptureThreadStartHookForTesting(&StartGate::Hook);
  }
  void WaitEntered() {
    std::unique_lock lock(mtx);
    cv.wait(lock, [&] { return bEntered; });
  }
  void Release() {
    SetCaptureThreadStartHookForTesting(nullptr);
    std::lock_guard lock(mtx);
    bReleased = true;
    cv.notify_all();
  }
};

// Starts a run on kAddr that reports to `log`.
void StartRun(CCaptureEngine& engine, NoticeLog& log) {
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
}

// Stops a run and waits for its NOTICE_STOPPED.
void StopRun(CCaptureEngine& engine, NoticeLog& log) {
  const int nStoppedBefore = log.CountStopped();
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == nStoppedBefore + 1; }));
}

TEST(Engine, OpenFailuresLeaveItIdleWithTheirText) {
  const struct {
    const char* pszAddr;
    const char* pszText;
  } cases[] = {
      {"10.255.255.1", "Bind ip failed."},  // no interface holds it
      {"1.2", "Bind ip failed."},           // not dotted-decimal
      {"localhost", "Bind ip failed."},
      {"", "Bind ip failed."},
      {"256.1.1.1", "Bind ip failed."},
      {"127.0.0.2 ", "Bind ip failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszAddr);
    CCaptureEngine engine;
    ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT));  // a failure after a success closes both sockets
    EXPECT_FALSE(engine.Open(c.pszAddr, CAPTURE_PORT));
    EXPECT_EQ(engine.GetErrorText(), c.pszText);
    EXPECT_FALSE(engine.IsOpened());
    EXPECT_FALSE(engine.Start());  // not opened: refused, the text left as it was
    EXPECT_EQ(engine.GetErrorText(), c.pszText);
  }
}

// Root's helper gets every capability its bounding set allows; without
// CAP_NET_RAW there, as for a helper that was never granted it, it cannot
// create the socket.
TEST(Engine, AHelperWithoutCapNetRawFailsToCreateTheSocket) {
  std::thread([] {
    // Bounding set and capabilities are the thread's own; the helper it
    // starts inherits them.
    ASSERT_EQ(prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0), 0);
    CCaptureEngine engine;
    EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
    EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");
    EXPECT_FALSE(engine.IsOpened());
  }).join();
}

// Stand-ins for the helper, from a folder of their own.
class StandInHelpers {
 public:
  StandInHelpers() {
    char szDir[] = "/tmp/morvane-standin.XXXXXX";
    if (mkdtemp(szDir) != nullptr) m_strDir = szDir;
  }
  ~StandInHelpers() {
    SetCaptureHelperPathForTesting(nullptr);
    if (!m_strDir.empty()) std::system(("rm -rf '" + m_strDir + "'").c_str());
  }
  // A bash script with this body; its path.
  std::string Write(const std::string& strName, const std::string& strBody) {
    const std::string strPath = m_strDir + "/" + strName;
    std::ofstream(strPath) << "#!/bin/bash\n" << strBody << "\n";
    chmod(strPath.c_str(), 0755);
    return strPath;
  }
  const std::string& Dir() const { return m_strDir; }

 private:
  std::string m_strDir;
};

// Whatever the helper does, Open ends within the helper's wait with one of
// the four texts and leaves no child behind. Descriptor 3 is the channel.
TEST(Engine, AHelperThatDiesHangsOrAnswersAmissFailsOpenPromptly) {
  StandInHelpers standIns;
  ASSERT_FALSE(standIns.Dir().empty());
  const struct {
    const char* pszName;
    const char* pszBody;  // null: no such file
    const char* pszText;
  } cases[] = {
      {"missing", nullptr, "Create socket failed."},
      {"exits-without-answering", "exit 0", "Create socket failed."},
      {"never-answers", "exec /bin/sleep 600", "Create socket failed."},
      {"success-without-a-socket", "printf '\\000' >&3", "Create socket failed."},
      {"create-failed", "printf '\\001' >&3", "Create socket failed."},
      {"time-out-failed", "printf '\\002' >&3", "Set socket option failed."},
      {"bind-failed", "printf '\\003' >&3", "Bind ip failed."},
      {"receive-all-failed", "printf '\\004' >&3", "WSAIoctl failed."},
      {"answers-then-hangs", "printf '\\003' >&3; exec /bin/sleep 600", "Bind ip failed."},
      {"no-such-step", "printf '\\011' >&3", "Create socket failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    const std::string strPath =
        c.pszBody != nullptr ? standIns.Write(c.pszName, c.pszBody) : standIns.Dir() + "/" + c.pszName;
    SetCaptureHelperPathForTesting(strPath.c_str());
    CCaptureEngine engine;
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
    // Generous: the helper's wait is 2 s, a hanging stand-in sleeps 600 s.
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(30));
    EXPECT_EQ(engine.GetErrorText(), c.pszText);
    EXPECT_FALSE(engine.IsOpened());
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "the helper is reaped";
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST(Engine, NullAddressOpensButCannotStart) {
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(nullptr, CAPTURE_PORT)) << engine.GetErrorText();
  EXPECT_TRUE(engine.IsOpened());
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(engine.GetErrorText(), "No IP to bind.");
  // The wildcard socket holds the port; a second Open must close it first.
  ASSERT_TRUE(engine.Open(nullptr, CAPTURE_PORT)) << engine.GetErrorText();
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT));
  nettraffic::Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
  const sockaddr_in any = nettraffic::Addr("0.0.0.0", CAPTURE_PORT);
  EXPECT_EQ(bind(udp.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0) << "port still held";
}

TEST(Engine, StartTwiceIsRefusedAndOpenWhileRunningToo) {
  NoticeLog log;
  CCaptureEngine engine;
  StartRun(engine, log);
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(engine.GetErrorText(), "Engine already be running.");
  EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
  EXPECT_EQ(engine.GetErrorText(), "Engine already be running.");
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 40001, kAddr, 40002, "still-capturing"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("still-capturing").empty(); }));
  StopRun(engine, log);
}

TEST(Engine, StopWithoutAThreadDoesNothing) {
  NoticeLog log;
  CCaptureEngine idle;
  idle.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  idle.Stop();
  CCaptureEngine opened;
  ASSERT_TRUE(opened.Open(kAddr, CAPTURE_PORT));
  opened.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  opened.Stop();
  EXPECT_TRUE(opened.IsOpened());
  EXPECT_FALSE(opened.IsRunning());
  QCoreApplication::processEvents();
  EXPECT_TRUE(log.notices.empty());
}

TEST(Engine, StopBeforeTheThreadRecordsItsIdHasNoEffect) {
  NoticeLog log;
  CCaptureEngine engine;
  StartGate::The().Arm();
  StartRun(engine, log);
  StartGate::The().WaitEntered();
  EXPECT_TRUE(engine.IsRunning());
  EXPECT_EQ(engine.GetThreadId(), 0u);
  engine.Stop();  // Starting: nothing to post to
  StartGate::The().Release();
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  // Capture goes on: a datagram sent now is delivered.
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 40003, kAddr, 40004, "after-early-stop"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("after-early-stop").empty(); }));
  EXPECT_EQ(log.CountStopped(), 0);
  StopRun(engine, log);
}

TEST(Engine, StopWakesASleepingThreadAndEndsTheRunWithOneStoppedNoticeLast) {
  NoticeLog log;
  CCaptureEngine engine;
  SetCaptureThreadStartHookForTesting(&TidRecorder::Record);
  StartRun(engine, log);
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  SetCaptureThreadStartHookForTesting(nullptr);
  // No traffic: the thread goes to sleep in its receive, and only the stop
  // request can wake it before the receive time-out.
  ASSERT_TRUE(ProcessEventsUntil([&] { return IsAsleepInSyscall(TidRecorder::s_nTid.load()); }));
  engine.Stop();
  // A generous bound, far inside the 5 s time-out.
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }, std::chrono::seconds(1)))
      << "the stop request did not wake the receive";
  EXPECT_FALSE(engine.IsOpened());
  EXPECT_FALSE(engine.IsRunning());
  EXPECT_EQ(engine.GetThreadId(), 0u);
  ASSERT_FALSE(log.notices.empty());
  EXPECT_EQ(log.notices.back().nType, NOTICE_STOPPED);
  QCoreApplication::processEvents();
  EXPECT_EQ(log.notices.back().nType, NOTICE_STOPPED);
  EXPECT_EQ(log.CountStopped(), 1);
  // Idle again: Start needs a new Open.
  EXPECT_FALSE(engine.Start());
}

TEST(Engine, ASecondRunAfterStoppedCapturesWithANewThread) {
  NoticeLog log;
  CCaptureEngine engine;
  StartRun(engine, log);
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  const DWORD dwFirst = engine.GetThreadId();
  StopRun(engine, log);
  StartRun(engine, log);
  ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  EXPECT_NE(engine.GetThreadId(), dwFirst);
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 40007, kAddr, 40008, "second-run"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("second-run").empty(); }));
  StopRun(engine, log);
  EXPECT_EQ(log.CountStopped(), 2);
}

TEST(Engine, AThreadThatCannotBeMadeLeavesTheEngineOpened) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT));
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  SetCaptureThreadStartFailsForTesting(true);
  EXPECT_FALSE(engine.Start());
  SetCaptureThreadStartFailsForTesting(false);
  EXPECT_EQ(engine.GetErrorText(), "Create thread failed.");
  EXPECT_TRUE(engine.IsOpened());
  EXPECT_FALSE(engine.IsRunning());
  ASSERT_TRUE(engine.Start());  // the same socket, a second try
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 40009, kAddr, 40010, "retry-start"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("retry-start").empty(); }));
  StopRun(engine, log);
}

// The destructor stops and joins a running thread, in whichever state it is;
// a hang here fails the test by its time-out.
TEST(Engine, DestructorEndsARunningThread) {
  NoticeLog log;
  {
    CCaptureEngine engine;
    StartRun(engine, log);
    ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
  }
  {
    std::optional<CCaptureEngine> engine;
    engine.emplace();
    StartGate::The().Arm();
    StartRun(*engine, log);
    StartGate::The().WaitEntered();
    std::thread releaser([] { StartGate::The().Release(); });
    engine.reset();  // while the thread may not yet have recorded its id
    releaser.join();
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 2; }));
}

TEST(InitSockets, SucceedsOnceAndRetriesAfterAFailure) {
  g_bSocketsReady = FALSE;
  SetSocketStartupFailsForTesting(true);
  EXPECT_FALSE(InitSockets());
  EXPECT_FALSE(g_bSocketsReady);
  SetSocketStartupFailsForTesting(false);
  EXPECT_TRUE(InitSockets());
  EXPECT_TRUE(g_bSocketsReady);
  SetSocketStartupFailsForTesting(true);  // a later failure is never asked about
  EXPECT_TRUE(InitSockets());
  SetSocketStartupFailsForTesting(false);
}

TEST(EnumLocalAddresses, AppendsTheNamespacesAddressesButNot127001) {
  std::vector<std::string> arr = {"kept"};
  EnumLocalAddresses(arr);
  EXPECT_EQ(arr, (std::vector<std::string>{"kept", "127.0.0.2"}));
}

}  // namespace
