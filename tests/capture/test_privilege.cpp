// Capture rights, from the inside. privilege_test.sh runs a copy of this
// program as user nobody beside a copy of the helper that grant-capture.sh
// prepared: once as a member of the helper's group, once as an outsider. The
// program itself never holds a capability, on any thread; the helper it
// starts opens the socket for a member only.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

// One capability set ("CapEff", "CapPrm", ...) from a /proc status file, as a
// bit mask; all ones when the line is missing, so that a check fails.
uint64_t CapSet(const std::string& strStatusPath, const std::string& strField) {
  std::ifstream in(strStatusPath);
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.rfind(strField + ":", 0) == 0) return std::stoull(strLine.substr(strField.size() + 1), nullptr, 16);
  }
  return ~uint64_t{0};
}

// The ids of the process's threads (/proc/self/task).
std::set<std::string> ThreadIds() {
  std::set<std::string> ids;
  if (DIR* pDir = opendir("/proc/self/task")) {
    while (const dirent* pEntry = readdir(pDir)) {
      if (pEntry->d_name[0] != '.') ids.insert(pEntry->d_name);
    }
    closedir(pDir);
  }
  return ids;
}

// Every thread whose permitted or effective set is not empty, as "tid:prm/eff".
std::vector<std::string> ThreadsWithCapabilities() {
  std::vector<std::string> found;
  for (const std::string& strTid : ThreadIds()) {
    const std::string strStatus = "/proc/self/task/" + strTid + "/status";
    const uint64_t nPrm = CapSet(strStatus, "CapPrm");
    const uint64_t nEff = CapSet(strStatus, "CapEff");
    if (nPrm != 0 || nEff != 0) found.push_back(strTid + ":" + std::to_string(nPrm) + "/" + std::to_string(nEff));
  }
  return found;
}

// An ordinary user, not setuid, holding no capability in any set.
void ExpectStartedAsUnprivileged() {
  ASSERT_NE(getuid(), 0u) << "must run as an ordinary user (privilege_test.sh)";
  ASSERT_EQ(geteuid(), getuid()) << "never setuid";
  ASSERT_EQ(getegid(), getgid());
  for (const char* pszSet : {"CapPrm", "CapEff", "CapInh", "CapAmb"})
    ASSERT_EQ(CapSet("/proc/self/status", pszSet), 0u) << pszSet;
}

// No child is left: the helper was reaped.
void ExpectNoChildLeft() {
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(CaptureRights, AGroupMemberCapturesWithNoCapabilityOnAnyThread) {
  ASSERT_NO_FATAL_FAILURE(ExpectStartedAsUnprivileged());
  ASSERT_TRUE(InitSockets());
  NoticeLog log;
  CCaptureEngine engine;
  // Two runs: each Open asks the helper again.
  for (int nRun = 0; nRun < 2; ++nRun) {
    SCOPED_TRACE("run " + std::to_string(nRun));
    const std::string strProbe = "member-" + std::to_string(nRun);
    ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
    ExpectNoChildLeft();
    engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
    ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
    ASSERT_TRUE(nettraffic::SendUdp(kAddr, 44000, kAddr, 44001, strProbe));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload(strProbe).empty(); }));  // capture runs
    EXPECT_GE(ThreadIds().size(), 2u) << "the capture thread";
    EXPECT_EQ(ThreadsWithCapabilities(), std::vector<std::string>{});
    const int nStoppedBefore = log.CountStopped();
    engine.Stop();
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == nStoppedBefore + 1; }));
  }
}

TEST(CaptureRights, AnOutsiderGetsCreateSocketFailedAndTheRestWorks) {
  ASSERT_NO_FATAL_FAILURE(ExpectStartedAsUnprivileged());
  ASSERT_TRUE(InitSockets());
  std::vector<std::string> addrs;
  EnumLocalAddresses(addrs);
  EXPECT_NE(std::find(addrs.begin(), addrs.end(), kAddr), addrs.end());

  NoticeLog log;
  CCaptureEngine engine;
  engine.Stop();  // nothing running: nothing happens
  EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
  EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");
  EXPECT_FALSE(engine.IsOpened());
  ExpectNoChildLeft();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");  // not opened: the text stays
  EXPECT_FALSE(engine.IsRunning());

  // What needs no privilege still works: the wildcard datagram socket on the
  // capture port (above 1023), and notices reaching the window.
  EXPECT_TRUE(engine.Open(nullptr, CAPTURE_PORT)) << engine.GetErrorText();
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(engine.GetErrorText(), "No IP to bind.");
  auto* pNotice = new EngineNotice;
  pNotice->nType = NOTICE_STOPPED;
  ASSERT_TRUE(PostMessage(log.hwnd(), WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(pNotice), 0));
  EXPECT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));
  // Another try fails the same way, and leaves nothing open.
  EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
  EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");
  EXPECT_EQ(ThreadsWithCapabilities(), std::vector<std::string>{});
}

}  // namespace
