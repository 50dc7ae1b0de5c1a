// Real capture on the loopback of the test's own namespace: every IPv4 datagram once, with its fields.
// privilege_test.sh also runs it as user nobody beside a helper copy grant-capture.sh prepared: a member
// of the helper's group captures with no capability on any thread; an outsider gets "Create socket failed.".
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "capture/captureengine.h"
#include "capturetest.h"
#include "nettraffic.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

// No child left: the helper was reaped. Run by an ordinary user, also: no
// capability on any of the at least nThreads threads.
void ExpectNoPrivilegeAndNoChild(int nThreads) {
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the helper is reaped";
  if (getuid() == 0) return;
  DIR* pDir = opendir("/proc/self/task");
  for (const dirent* pEntry; pDir && (pEntry = readdir(pDir));) {
    if (pEntry->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + pEntry->d_name + "/status");
    --nThreads;
    for (std::string strLine; std::getline(in, strLine);) {  // every set but the bounding one all zeros
      if (strLine.rfind("Cap", 0) == 0 && strLine.rfind("CapBnd", 0) != 0) {
        EXPECT_EQ(strLine.find_first_not_of('0', 8), std::string::npos) << pEntry->d_name << " " << strLine;
      }
    }
  }
  if (pDir) closedir(pDir);
  EXPECT_LE(nThreads, 0);
}

TEST(CaptureLoopback, DeliversEachDatagramOnceWithItsFields) {
  NoticeLog log;
  CCaptureEngine engine;
  ASSERT_TRUE(engine.Open(kAddr, CAPTURE_PORT)) << engine.GetErrorText();
  engine.SetNotifyWindow(log.hwnd(), WM_ENGINE_NOTIFY);
  ASSERT_TRUE(engine.Start()) << engine.GetErrorText();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41000 + i, kAddr, 42000, "udp-" + std::to_string(i)));
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41500, kAddr, 42000, std::string(4000, 'B')));  // loopback's MTU is 64 KiB
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41999, kAddr, 42999, "last"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !log.WithPayload("last").empty(); }));
  ExpectNoPrivilegeAndNoChild(2);  // the capture thread runs
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));
  EXPECT_EQ(log.notices.back().p->nType, NOTICE_STOPPED);
  EXPECT_FALSE(engine.IsOpened() || engine.IsRunning() || engine.GetThreadId() != 0 || engine.Start());

  const struct {
    std::string strPayload;
    int nSrcPort, nSize;
  } wants[] = {{"udp-0", 41000, 33}, {"udp-1", 41001, 33}, {"udp-2", 41002, 33},
               {std::string(1472, 'B'), 41500, 4028}};  // its true size, the bytes that fit
  for (const auto& want : wants) {
    SCOPED_TRACE(want.strPayload.substr(0, 10));
    const auto found = log.WithPayload(want.strPayload);
    ASSERT_EQ(found.size(), 1u) << "loopback passes each datagram out and in; it is listed once";
    const PacketRecord& r = found[0]->rec();
    EXPECT_EQ(r.strProt + " " + std::to_string(r.nSrcPort) + " " + std::to_string(r.nDesPort) + " " +
                  std::to_string(r.wSize) + " " + std::to_string(r.nDataLen),
              "UDP " + std::to_string(want.nSrcPort) + " 42000 " + std::to_string(want.nSize) + " " +
                  std::to_string(want.strPayload.size()));
  }
  for (const NoticeLog::Seen& n : log.notices) {
    if (n.p->nType != NOTICE_PACKET) continue;
    EXPECT_EQ(n.p->strText + " " + n.rec().strSrcAddr + " " + n.rec().strDesAddr, "127.0.0.2 127.0.0.2 127.0.0.2");
    const BYTE* pData = n.rec().pData;  // the payload, then zeros
    EXPECT_TRUE(std::all_of(pData + n.rec().nDataLen, pData + PACKET_BUFFER_SIZE, [](BYTE b) { return !b; }));
  }
}

TEST(CaptureRights, AnOutsiderGetsCreateSocketFailed) {
  if (getuid() == 0) GTEST_SKIP() << "privilege_test.sh runs it as user nobody";
  CCaptureEngine engine;
  EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
  EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");
  EXPECT_FALSE(engine.IsOpened());
  ExpectNoPrivilegeAndNoChild(1);
  EXPECT_TRUE(engine.Open(nullptr, CAPTURE_PORT)) << "what needs no privilege: the wildcard socket";
}

}  // namespace
