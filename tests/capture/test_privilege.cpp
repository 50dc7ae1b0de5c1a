// Least privilege, from the inside. privilege_test.sh runs this program as
// user nobody, never setuid, in three copies: one whose file capabilities give
// CAP_NET_RAW and CAP_NET_ADMIN as permitted only (setcap ...+p), one that
// gives them effective too (+ep, a set-up mistake), one with none. With +p,
// capture must run while no thread of the process holds an effective
// capability; with +ep, at least the capture thread holds none; without them,
// only opening the capture socket fails.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/capability.h>
#include <unistd.h>

#include <algorithm>
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
constexpr uint64_t kNetCapsMask = (uint64_t{1} << CAP_NET_RAW) | (uint64_t{1} << CAP_NET_ADMIN);

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

// The threads among `ids` whose effective set is not empty, as "tid:mask".
std::vector<std::string> WithEffectiveCaps(const std::set<std::string>& ids) {
  std::vector<std::string> found;
  for (const std::string& strTid : ids) {
    const uint64_t nEff = CapSet("/proc/self/task/" + strTid + "/status", "CapEff");
    if (nEff != 0) found.push_back(strTid + ":" + std::to_string(nEff));
  }
  return found;
}

// The process runs as an ordinary user, not setuid, with exactly nPermitted
// and nEffective in those sets and nothing inheritable or ambient.
void ExpectStartedAsUnprivileged(uint64_t nPermitted, uint64_t nEffective) {
  ASSERT_NE(getuid(), 0u) << "must run as an ordinary user (privilege_test.sh)";
  ASSERT_EQ(geteuid(), getuid()) << "never setuid";
  ASSERT_EQ(getegid(), getgid());
  ASSERT_EQ(CapSet("/proc/self/status", "CapPrm"), nPermitted);
  ASSERT_EQ(CapSet("/proc/self/status", "CapEff"), nEffective);
  ASSERT_EQ(CapSet("/proc/self/status", "CapInh"), 0u);
  ASSERT_EQ(CapSet("/proc/self/status", "CapAmb"), 0u);
}

// Runs one capture until a probe datagram is delivered and checks the
// effective sets meanwhile: the calling thread keeps nCallerEff after Open, and
// the threads Start made (the capture thread) hold none. Then stops it.
void CaptureOnce(CCaptureEngine& engine, NoticeLog& log, const std::string& strProbe, uint64_t nCallerEff) {
  const std::set<std::string> threadsBefore = ThreadIds();
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  EXPECT_EQ(CapSet("/proc/thread-self/status", "CapEff"), nCallerEff) << "raised only around the socket calls";
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 44000, kAddr, 44001, strProbe));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload(strProbe).empty(); }));  // capture runs

  std::set<std::string> threadsNew;
  for (const std::string& strTid : ThreadIds())
    if (threadsBefore.count(strTid) == 0) threadsNew.insert(strTid);
  EXPECT_FALSE(threadsNew.empty()) << "the capture thread";
  EXPECT_EQ(WithEffectiveCaps(threadsNew), std::vector<std::string>{});
  if (nCallerEff == 0) {
    EXPECT_EQ(WithEffectiveCaps(ThreadIds()), std::vector<std::string>{}) << "no thread at all";
  }
  EXPECT_EQ(CapSet("/proc/self/status", "CapPrm"), kNetCapsMask);  // kept for the next Open

  const int nStoppedBefore = log.CountStopped();
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == nStoppedBefore + 1; }));
}

// The intended set-up: cap_net_raw,cap_net_admin+p.
TEST(LeastPrivilege, WithPermittedCapabilitiesCaptureRunsWithNoneEffective) {
  ASSERT_NO_FATAL_FAILURE(ExpectStartedAsUnprivileged(kNetCapsMask, 0));
  ASSERT_TRUE(InitSockets());
  NoticeLog log;
  CCaptureEngine engine;
  // Two runs: the capabilities stay permitted after the first, so the second
  // can raise them again.
  for (int nRun = 0; nRun < 2; ++nRun) {
    SCOPED_TRACE("run " + std::to_string(nRun));
    ASSERT_NO_FATAL_FAILURE(CaptureOnce(engine, log, "unprivileged-" + std::to_string(nRun), 0));
  }
}

// A set-up mistake, cap_net_raw,cap_net_admin+ep, makes them effective from
// the start; the thread that decodes network bytes still holds none.
TEST(LeastPrivilege, WithEffectiveFileCapabilitiesTheCaptureThreadHoldsNone) {
  ASSERT_NO_FATAL_FAILURE(ExpectStartedAsUnprivileged(kNetCapsMask, kNetCapsMask));
  ASSERT_TRUE(InitSockets());
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_NO_FATAL_FAILURE(CaptureOnce(engine, log, "effective-from-start", kNetCapsMask));
}

TEST(LeastPrivilege, WithoutCapabilitiesOnlyTheCaptureSocketFails) {
  ASSERT_NO_FATAL_FAILURE(ExpectStartedAsUnprivileged(0, 0));
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
  EXPECT_EQ(WithEffectiveCaps(ThreadIds()), std::vector<std::string>{});
}

}  // namespace
