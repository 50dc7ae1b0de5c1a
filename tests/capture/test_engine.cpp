// Opening through the capture helper, and the stop of a sleeping capture
// thread, on 127.0.0.2 of the test's own network namespace (tests/netns-run.sh).
#include "capture/captureengine.h"

#include <gtest/gtest.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "../platform/threadwait.h"
#include "capturehelper/capturesteps.h"
#include "capturetest.h"
#include "platform/helperclient.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

// The child of this process whose command name is strComm, from /proc; -1 for none.
pid_t FindChild(const std::string& strComm) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string strStat;
    if (!std::getline(in, strStat)) continue;
    const auto nOpen = strStat.find('('), nClose = strStat.rfind(')');  // the name may hold spaces
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose + 4 >= strStat.size()) continue;
    if (std::atol(strStat.c_str() + nClose + 4) == getpid() && strStat.substr(nOpen + 1, nClose - nOpen - 1) == strComm)
      return pid_t(std::atol(entry.path().filename().c_str()));
  }
  return -1;
}

// Whatever the helper (or a stand-in) does, Open gives one text and leaves the
// engine Idle on failure; no child is left once the engine is gone.
// Descriptor 3 is the channel.
TEST(Engine, OpenThroughTheHelper) {
  char szDir[] = "/tmp/morvane-standin.XXXXXX";
  ASSERT_NE(mkdtemp(szDir), nullptr);
  const struct {
    const char* pszBody;  // a stand-in's bash script; null: the real helper; "": no such file
    const char* pszAddr;
    bool bDropNetRaw;  // from the bounding set, as for a helper never granted it
    const char* pszText;
  } rows[] = {
      {nullptr, kAddr, false, "opened"},
      {nullptr, kAddr, true, "Create socket failed."},
      {nullptr, "10.255.255.1", false, "Bind ip failed."},  // no interface holds it
      {nullptr, "127.2", false, "Bind ip failed."},         // not dotted-decimal, though inet_aton takes it
      {"", kAddr, false, "Create socket failed."},
      {"exit 0", kAddr, false, "Create socket failed."},
      {"exec /bin/sleep 600", kAddr, false, "Create socket failed."},
      {"printf '\\000' >&3", kAddr, false, "opened"},  // its answer is what counts
      {"printf '\\001' >&3", kAddr, false, "Create socket failed."},
      {"printf '\\002' >&3", kAddr, false, "Create socket failed."},  // a step it no longer takes
      {"printf '\\003' >&3", kAddr, false, "Bind ip failed."},
      {"printf '\\004' >&3", kAddr, false, "WSAIoctl failed."},
      {"printf '\\011' >&3", kAddr, false, "Create socket failed."},  // names no step
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.pszBody ? row.pszBody : "real helper") + " / " + row.pszAddr);
    const std::string strPath = std::string(szDir) + "/helper-" + std::to_string(&row - rows);
    if (row.pszBody && *row.pszBody) std::ofstream(strPath) << "#!/bin/bash\n" << row.pszBody << "\n";
    chmod(strPath.c_str(), 0755);
    SetCaptureHelperPathForTesting(row.pszBody ? strPath.c_str() : nullptr);
    std::thread([&] {  // bounding set and capabilities are the thread's own; the helper inherits them
      if (row.bDropNetRaw) { ASSERT_EQ(prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0), 0); }
      {
        CCaptureEngine engine;
        EXPECT_EQ(engine.Open(row.pszAddr, CAPTURE_PORT) ? "opened" : engine.GetErrorText(), row.pszText);
        EXPECT_EQ(engine.IsOpened() ? "opened" : engine.GetErrorText(), row.pszText);
        if (!engine.IsOpened()) {
          EXPECT_TRUE(NoChildLeft()) << "a helper that failed is reaped at once";
        }
      }
      EXPECT_TRUE(NoChildLeft()) << "the helper is reaped";
    }).join();
  }
  SetCaptureHelperPathForTesting(nullptr);
  std::filesystem::remove_all(szDir);
}

// The helper's own steps, in a child of this root process: CAP_NET_RAW alone
// is kept, then nothing.
TEST(Engine, TheHelperKeepsOnlyCapNetRawThenDropsAll) {
  const auto held = [] {  // the process's capabilities as text
    cap_t pCaps = cap_get_proc();
    char* pszText = cap_to_text(pCaps, nullptr);
    const std::string strText = pszText;
    return cap_free(pszText), cap_free(pCaps), strText;
  };
  const pid_t pid = fork();
  if (pid == 0 && (!KeepOnlyCaptureCapability() || held() != "cap_net_raw=ep")) _exit(1);
  if (pid == 0) _exit(!DropAllCapabilities() || held() != "=" ? 2 : 0);
  int nStatus = -1;
  ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
  EXPECT_EQ(nStatus, 0) << "1: more than CAP_NET_RAW kept; 2: not everything dropped";
}

// A thread that cannot be made leaves the engine Opened, for a second try.
TEST(Engine, StopWakesASleepingThreadStartedOnASecondTry) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  SetCaptureThreadStartFailsForTesting(true);
  EXPECT_FALSE(engine.Start());
  SetCaptureThreadStartFailsForTesting(false);
  EXPECT_EQ(engine.GetErrorText(), "Create thread failed.");
  SetCaptureThreadStartHookForTesting(&TidRecorder::Record);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  // No traffic: only the stop request can wake the receive before its time-out.
  ASSERT_TRUE(ProcessEventsUntil([&] { return IsAsleepInSyscall(TidRecorder::s_nTid.load()); }));
  SetCaptureThreadStartHookForTesting(nullptr);
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }, std::chrono::seconds(1)))
      << "the stop request did not wake the receive (a generous bound, far inside the 5 s time-out)";
}

// Every end of a run reaps its helper: Stop, a new Open, the engine's end,
// and the death of the program that started it (then the helper, orphaned to
// this process as its subreaper, exits by itself).
TEST(Engine, EveryEndOfARunEndsItsHelper) {
  NoticeLog log;
  {
    CCaptureEngine engine;
    ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
    EXPECT_FALSE(NoChildLeft()) << "the helper captures while the engine is open";
    ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), 0) << "a new Open reaps the helper of the old one";
    engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
    ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
    ASSERT_TRUE(ProcessEventsUntil([&] { return engine.GetThreadId() != 0; }));
    engine.Stop();
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));
    EXPECT_TRUE(ProcessEventsUntil(NoChildLeft)) << "Stop";
    ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  }
  EXPECT_TRUE(NoChildLeft()) << "the engine's destructor";

  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  int fdReady[2];
  ASSERT_EQ(pipe(fdReady), 0);
  const pid_t pidProgram = fork();
  if (pidProgram == 0) {
    CCaptureEngine engine;
    const char c = engine.Open(kAddr, CAPTURE_PORT) ? 'y' : 'n';
    if (write(fdReady[1], &c, 1) == 1) pause();
    _exit(1);
  }
  close(fdReady[1]);
  char c = 0;
  ASSERT_EQ(read(fdReady[0], &c, 1), 1);
  close(fdReady[0]);
  EXPECT_EQ(c, 'y');
  kill(pidProgram, SIGKILL);
  ASSERT_EQ(waitpid(pidProgram, nullptr, 0), pidProgram);
  // The program's children are ours now, handed over as it died: its helper
  // must end on its own.
  const pid_t pidHelper = FindChild("morvane-capture");
  ASSERT_GT(pidHelper, 0);
  const int fdHelper = int(syscall(SYS_pidfd_open, pidHelper, 0));
  pollfd pfd{fdHelper, POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 5000), 1) << "the helper outlived the program that started it";
  kill(pidHelper, SIGKILL);
  close(fdHelper);
  EXPECT_EQ(waitpid(pidHelper, nullptr, 0), pidHelper);
  EXPECT_TRUE(NoChildLeft());
  prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

}  // namespace
