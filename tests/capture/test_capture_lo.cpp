// Real capture on the loopback of the test's own namespace: every IPv4 datagram once, with its fields.
// privilege_test.sh also runs it as user nobody beside a helper copy grant-capture.sh prepared: a member
// of the helper's group captures with no capability on any thread; an outsider gets "Create socket failed.".
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "capture/captureengine.h"
#include "capturehelper/capturewire.h"
#include "platform/capturebatch.h"
#include "capturetest.h"
#include "nettraffic.h"

namespace {

const auto* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

constexpr const char* kAddr = "127.0.0.2";

// Every capability set but the bounding one of /proc/PROC/task/TID/status
// all zeros, for each of the task's threads; returns how many were read.
int ExpectNoCapabilities(const std::string& strProc) {
  int nThreads = 0;
  DIR* pDir = opendir(("/proc/" + strProc + "/task").c_str());
  for (const dirent* pEntry; pDir && (pEntry = readdir(pDir));) {
    if (pEntry->d_name[0] == '.') continue;
    std::ifstream in("/proc/" + strProc + "/task/" + pEntry->d_name + "/status");
    ++nThreads;
    for (std::string strLine; std::getline(in, strLine);) {
      if (strLine.rfind("Cap", 0) == 0 && strLine.rfind("CapBnd", 0) != 0) {
        EXPECT_EQ(strLine.find_first_not_of('0', 8), std::string::npos) << strProc << "/" << pEntry->d_name << " " << strLine;
      }
    }
  }
  if (pDir) closedir(pDir);
  return nThreads;
}

// Run by an ordinary user: no capability on any of the at least nThreads threads.
void ExpectNoPrivilege(int nThreads) {
  if (getuid() != 0) {
    EXPECT_GE(ExpectNoCapabilities("self"), nThreads);
  }
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
  ExpectNoPrivilege(2);  // the capture thread runs
  engine.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return log.CountStopped() == 1; }));
  EXPECT_TRUE(ProcessEventsUntil(NoChildLeft)) << "the helper is reaped";
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

// The helper beside this program, started as its group's member could start
// it: descriptor 3 one end of a pair of nType. Returns its pid; *pfd our end.
pid_t StartHelperByHand(int nType, int* pfd) {
  char szExe[PATH_MAX] = {};
  EXPECT_GT(readlink("/proc/self/exe", szExe, sizeof szExe - 1), 0);
  std::string strHelper = std::string(szExe).substr(0, std::string(szExe).rfind('/') + 1) + kHelperFileName;
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, nType | SOCK_CLOEXEC, 0, fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kHelperChannelFd);
  char* argv[] = {strHelper.data(), const_cast<char*>(kAddr), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, strHelper.c_str(), &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  *pfd = fds[0];
  return pid;
}

// The next message on fd and whether a descriptor came with it; "" at the end.
std::string NextMessage(int fd, bool* pbWithDescriptor) {
  std::string strMessage(kWireMaxMessageBytes, '\0');
  iovec iov{strMessage.data(), strMessage.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr msg{nullptr, 0, &iov, 1, control, sizeof control, 0};
  pollfd pfd{fd, POLLIN, 0};
  const ssize_t nGot = poll(&pfd, 1, 10000) == 1 ? recvmsg(fd, &msg, MSG_CMSG_CLOEXEC) : -1;
  *pbWithDescriptor = *pbWithDescriptor || msg.msg_controllen != 0 || (msg.msg_flags & MSG_CTRUNC);
  strMessage.resize(nGot > 0 ? std::size_t(nGot) : 0);
  return strMessage;
}

// What a member of the helper's group gets by starting the helper by hand:
// frames, never a descriptor; a helper that holds no capability once it
// answered, that the member can neither trace nor take a descriptor from. A
// channel of another kind it refuses, saying nothing.
TEST(CaptureLoopback, AMemberStartingTheHelperGetsFramesNeverItsSocket) {
  for (const int nType : {SOCK_DGRAM, SOCK_STREAM}) {
    int fd = -1;
    const pid_t pid = StartHelperByHand(nType, &fd);
    int nStatus = -1;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 2) << nType;
    char c;
    EXPECT_LE(recv(fd, &c, 1, MSG_DONTWAIT), 0) << "it answered on a channel it refused";
    close(fd);
  }
  int fd = -1;
  const pid_t pid = StartHelperByHand(SOCK_SEQPACKET, &fd);
  bool bWithDescriptor = false;
  EXPECT_EQ(NextMessage(fd, &bWithDescriptor), std::string(1, char(HELPER_OK)));
  EXPECT_GE(ExpectNoCapabilities(std::to_string(pid)), 1);
  if (getuid() != 0) {  // root may trace anything
    errno = 0;
    EXPECT_EQ(ptrace(PTRACE_SEIZE, pid, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EPERM) << "a member traced the helper";
    const int fdPid = int(syscall(SYS_pidfd_open, pid, 0));
    EXPECT_GE(fdPid, 0);
    for (int fdTarget = 0; fdTarget < 16; ++fdTarget) {
      const int fdTaken = int(syscall(SYS_pidfd_getfd, fdPid, fdTarget, 0));
      EXPECT_EQ(fdTaken, -1) << "a member took the helper's descriptor " << fdTarget;
      if (fdTaken >= 0) close(fdTaken);
    }
    close(fdPid);
    EXPECT_EQ(opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()), nullptr);
  }
  ASSERT_TRUE(nettraffic::SendUdp(kAddr, 41777, kAddr, 42777, "by-hand"));
  bool bSeen = false;
  for (std::string strMessage; !bSeen && !(strMessage = NextMessage(fd, &bWithDescriptor)).empty();) {
    CaptureBatchReader reader;
    ASSERT_TRUE(reader.Open(reinterpret_cast<const BYTE*>(strMessage.data()), strMessage.size()));
    for (CaptureFrame f; reader.Next(&f);)
      bSeen = bSeen || std::string(f.pData, f.pData + f.nCaptured).find("by-hand") != std::string::npos;
  }
  EXPECT_TRUE(bSeen);
  EXPECT_FALSE(bWithDescriptor) << "the helper handed out a descriptor";
  close(fd);  // the channel's end is the helper's end
  int nStatus = -1;
  ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
}

TEST(CaptureRights, AnOutsiderGetsCreateSocketFailed) {
  if (getuid() == 0) GTEST_SKIP() << "privilege_test.sh runs it as user nobody";
  CCaptureEngine engine;
  EXPECT_FALSE(engine.Open(kAddr, CAPTURE_PORT));
  EXPECT_EQ(engine.GetErrorText(), "Create socket failed.");
  EXPECT_FALSE(engine.IsOpened());
  EXPECT_TRUE(NoChildLeft()) << "the helper is reaped";
  ExpectNoPrivilege(1);
  EXPECT_TRUE(engine.Open(nullptr, CAPTURE_PORT)) << "what needs no privilege: the wildcard socket";
}

}  // namespace
