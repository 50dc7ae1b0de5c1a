// The real dialog capturing on 127.0.0.2 inside a network namespace of its own
// (tests/netns-run.sh). Every datagram goes to 127.0.0.2 only, a handful per case.
#include <arpa/inet.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtTest/QTest>
#include <chrono>

#include "../platform/threadwait.h"
#include "app/monitordlg.h"
#include "app/packetcells.h"
#include "apptest.h"
#include "res/resource.h"

using apptest::ProcessUntil;

namespace {

constexpr char kAddr[] = "127.0.0.2";
constexpr int kWaitMs = 10000;  // bound on every wait for rows or a notice

// A UDP socket bound to 127.0.0.2:nPort, closed with its owner.
struct UdpSocket {
  explicit UdpSocket(int nPort) : sa{AF_INET, htons(uint16_t(nPort)), {}, {}} {
    inet_pton(AF_INET, kAddr, &sa.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
  }
  ~UdpSocket() { close(fd); }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa;
};

// One datagram from nFromPort to nToPort, where a socket takes it (so no
// port-unreachable reply follows).
void SendUdp(int nFromPort, int nToPort, const std::string& strPayload) {
  UdpSocket rx(nToPort), tx(nFromPort);
  const auto* pTo = reinterpret_cast<const sockaddr*>(&rx.sa);
  ASSERT_EQ(sendto(tx.fd, strPayload.data(), strPayload.size(), 0, pTo, sizeof rx.sa), ssize_t(strPayload.size()));
  char buf[256];
  ASSERT_GT(recv(rx.fd, buf, sizeof buf, 0), 0);
}

// The first row whose cells, joined with '|', hold strPart, or -1.
int FindRow(const CMonitorDlg& dlg, const QString& strPart) {
  for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i) {
    QStringList cells;
    for (int nCol = 0; nCol < 7; ++nCol) cells << PacketCellText(*dlg.m_listPacket.GetItemData(i), nCol);
    if (cells.join('|').contains(strPart)) return i;
  }
  return -1;
}

class CaptureDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pDlg->Create());
    // In this namespace the only address offered is 127.0.0.2.
    ASSERT_EQ(m_pDlg->m_comboAddr.GetCount(), 1);
    ASSERT_EQ(m_pDlg->m_comboAddr.itemText(m_pDlg->m_comboAddr.GetCurSel()), kAddr);
  }
  CMonitorDlg& Dlg() { return *m_pDlg; }
  QWidget* Item(int nID) { return m_pDlg->GetDlgItem(nID); }
  // Clicks Start; the message boxes it showed.
  QStringList ClickStart() {
    apptest::MessageBoxRecorder boxes;
    QTest::mouseClick(Item(IDC_START), Qt::LeftButton);
    return boxes.texts;
  }
  void Start() {
    ASSERT_EQ(ClickStart(), QStringList());
    ASSERT_FALSE(Item(IDC_START)->isEnabled());
    ASSERT_TRUE(Item(IDC_STOP)->isEnabled());
    ASSERT_TRUE(ProcessUntil([&] { return Dlg().m_engine.GetThreadId() != 0; }, kWaitMs));
  }

  std::unique_ptr<CMonitorDlg> m_pDlg = std::make_unique<CMonitorDlg>();  // the engine joins its thread with it
};

TEST_F(CaptureDialogTest, TrafficBecomesRowsAndBytesUntilStopped) {
  Start();
  SendUdp(40001, 40002, "hello-udp");
  ASSERT_TRUE(ProcessUntil([&] { return FindRow(Dlg(), "UDP|37|127.0.0.2|40001|127.0.0.2|40002|hello-udp") == 0; },
                           kWaitMs));
  // Its bytes in the hex view: the payload, nothing behind it.
  CPacketList& list = Dlg().m_listPacket;
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.Model()->index(0, 0)).center());
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(Dlg().m_hexView.GetData()), Dlg().m_hexView.GetLength()),
            "hello-udp");
  // "&cls" during capture empties the list; capture goes on.
  QTest::mouseClick(Item(IDC_CLEAR), Qt::LeftButton);
  EXPECT_EQ(list.GetItemCount(), 0);
  SendUdp(40003, 40004, "after-cls");
  EXPECT_TRUE(ProcessUntil([&] { return FindRow(Dlg(), "|after-cls") >= 0; }, kWaitMs));
  // After Stop, Start stays disabled (a click on it does nothing) until the
  // stopped notice; then a new run captures again.
  QTest::mouseClick(Item(IDC_STOP), Qt::LeftButton);
  EXPECT_FALSE(Item(IDC_START)->isEnabled());
  ASSERT_TRUE(ProcessUntil([&] { return Item(IDC_START)->isEnabled(); }, kWaitMs));
  EXPECT_FALSE(Item(IDC_STOP)->isEnabled());
  Start();
  SendUdp(40021, 40022, "second-run");
  EXPECT_TRUE(ProcessUntil([&] { return FindRow(Dlg(), "|second-run") >= 0; }, kWaitMs));
}

// Closing during capture empties the list; what the stopping thread still posts
// is freed with the dialog, which waits for it, and so are notices for a window
// that is gone (LeakSanitizer sees a leak of either).
TEST_F(CaptureDialogTest, ClosingDuringCaptureEndsCleanly) {
  Start();
  SendUdp(40031, 40032, "closing");
  ASSERT_TRUE(ProcessUntil([&] { return FindRow(Dlg(), "|closing") >= 0; }, kWaitMs));
  Dlg().close();  // OnCancel
  EXPECT_EQ(Dlg().result(), IDCANCEL);
  EXPECT_EQ(Dlg().m_listPacket.GetItemCount(), 0);
  SendUdp(40051, 40052, "late");
  m_pDlg = std::make_unique<CMonitorDlg>();
  ASSERT_TRUE(m_pDlg->Create());
  Start();
  QObject context;
  Dlg().m_engine.SetNotifyWindow(WindowQueue(&context, nullptr, nullptr).hwnd(), WM_ENGINE_NOTIFY);
  SendUdp(40061, 40062, "to-nobody");
}

TEST_F(CaptureDialogTest, ClosingAnIdleCaptureReturnsPromptly) {
  SetCaptureThreadStartHookForTesting(&TidRecorder::Record);
  Start();
  SetCaptureThreadStartHookForTesting(nullptr);
  // No traffic: the capture thread sleeps in its receive.
  ASSERT_TRUE(ProcessUntil([&] { return IsAsleepInSyscall(TidRecorder::s_nTid.load()); }, kWaitMs));
  const auto tClose = std::chrono::steady_clock::now();
  Dlg().close();
  m_pDlg.reset();  // joins the capture thread
  // A generous bound, far inside the 5 s receive time-out the close would otherwise wait out.
  EXPECT_LT(std::chrono::steady_clock::now() - tClose, std::chrono::seconds(1));
}

// Last: it takes CAP_NET_RAW away from this process for good. The dialog shows
// the engine's error once, and stays ready to start.
TEST_F(CaptureDialogTest, WithoutCaptureRightsCreateSocketFails) {
  cap_t caps = cap_get_proc();
  const cap_value_t values[] = {CAP_NET_RAW};
  cap_set_flag(caps, CAP_EFFECTIVE, 1, values, CAP_CLEAR);
  cap_set_flag(caps, CAP_PERMITTED, 1, values, CAP_CLEAR);
  ASSERT_EQ(cap_set_proc(caps), 0);
  cap_free(caps);
  ASSERT_EQ(prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0), 0);  // the helper, started as root, gets no more
  EXPECT_EQ(ClickStart(), QStringList{"Create socket failed."});
  EXPECT_TRUE(Item(IDC_START)->isEnabled() && Item(IDC_STOP)->isEnabled());
}

}  // namespace
