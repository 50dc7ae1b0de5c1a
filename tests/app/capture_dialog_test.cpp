// The real dialog capturing on 127.0.0.2 inside a network namespace of its own
// (tests/netns-run.sh). Every datagram the test sends goes to 127.0.0.2 only,
// a bounded handful per case.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtCore/QMimeData>
#include <QtGui/QClipboard>
#include <QtGui/QContextMenuEvent>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <chrono>
#include <memory>
#include <string>

#include "app/monitordlg.h"
#include "platform/ui/popupmenu.h"
#include "apptest.h"
#include "../platform/threadwait.h"
#include "res/resource.h"

using apptest::App;
using apptest::ProcessUntil;

namespace {

constexpr char kAddr[] = "127.0.0.2";
// Bound on every wait for captured rows or a notice.
constexpr int kWaitMs = 10000;

// A socket descriptor closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { if (m_fd >= 0) close(m_fd); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
 private:
  int m_fd;
};

sockaddr_in Loopback2(int nPort) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(nPort));
  inet_pton(AF_INET, kAddr, &sa.sin_addr);
  return sa;
}

// One UDP datagram from 127.0.0.2:nFromPort to 127.0.0.2:nToPort, where a socket
// receives it (so no port-unreachable reply is generated).
void SendUdp(int nFromPort, int nToPort, const std::string& strPayload) {
  Fd rx(socket(AF_INET, SOCK_DGRAM, 0));
  Fd tx(socket(AF_INET, SOCK_DGRAM, 0));
  const sockaddr_in saTo = Loopback2(nToPort);
  const sockaddr_in saFrom = Loopback2(nFromPort);
  ASSERT_EQ(bind(rx.get(), reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo), 0);
  ASSERT_EQ(bind(tx.get(), reinterpret_cast<const sockaddr*>(&saFrom), sizeof saFrom), 0);
  ASSERT_EQ(sendto(tx.get(), strPayload.data(), strPayload.size(), 0,
                   reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo),
            static_cast<ssize_t>(strPayload.size()));
  char buf[256];
  ASSERT_GT(recv(rx.get(), buf, sizeof buf, 0), 0);
}

// A TCP connection on 127.0.0.2 carrying one message.
void SendTcp(int nServerPort, int nClientPort, const std::string& strPayload) {
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  const int nOne = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
  const sockaddr_in saServer = Loopback2(nServerPort);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&saServer), sizeof saServer), 0);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  setsockopt(client.get(), SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
  const sockaddr_in saClient = Loopback2(nClientPort);
  ASSERT_EQ(bind(client.get(), reinterpret_cast<const sockaddr*>(&saClient), sizeof saClient), 0);
  ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&saServer), sizeof saServer), 0);
  Fd server(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(server.get(), 0);
  ASSERT_EQ(send(client.get(), strPayload.data(), strPayload.size(), 0), static_cast<ssize_t>(strPayload.size()));
  char buf[256];
  ASSERT_GT(recv(server.get(), buf, sizeof buf, 0), 0);
}

// One ICMP echo request to 127.0.0.2 (the kernel answers it).
void SendPing(uint16_t nSeq) {
  Fd raw(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  ASSERT_GE(raw.get(), 0);
  unsigned char packet[16] = {ICMP_ECHO, 0, 0, 0, 0x12, 0x34, static_cast<unsigned char>(nSeq >> 8),
                              static_cast<unsigned char>(nSeq), 'p', 'i', 'n', 'g', '-', 'm', 'e', '!'};
  uint32_t nSum = 0;
  for (std::size_t i = 0; i < sizeof packet; i += 2) nSum += (packet[i] << 8) | packet[i + 1];
  while (nSum >> 16) nSum = (nSum & 0xFFFF) + (nSum >> 16);
  const uint16_t nCheck = static_cast<uint16_t>(~nSum);
  packet[2] = static_cast<unsigned char>(nCheck >> 8);
  packet[3] = static_cast<unsigned char>(nCheck);
  const sockaddr_in saTo = Loopback2(0);
  ASSERT_EQ(sendto(raw.get(), packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo),
            static_cast<ssize_t>(sizeof packet));
}

// The row showing a record that matches, or -1.
int FindRow(const CMonitorDlg& dlg, const std::function<bool(const PacketRecord&)>& match) {
  for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i) {
    if (match(*dlg.m_listPacket.GetItemData(i))) return i;
  }
  return -1;
}

bool HasPayloadRow(const CMonitorDlg& dlg, const std::string& strProt, const QString& strData) {
  return FindRow(dlg, [&](const PacketRecord& rec) {
           return rec.strProt == strProt && PacketCellText(rec, 6) == strData;
         }) >= 0;
}

int CountProt(const CMonitorDlg& dlg, const std::string& strProt) {
  int n = 0;
  for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i) n += dlg.m_listPacket.GetItemData(i)->strProt == strProt;
  return n;
}

class CaptureDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    m_pDlg = std::make_unique<CMonitorDlg>();
    ASSERT_TRUE(m_pDlg->Create());
    // In this namespace the only address offered is 127.0.0.2.
    ASSERT_EQ(m_pDlg->m_comboAddr.GetCount(), 1);
    ASSERT_EQ(m_pDlg->m_comboAddr.itemText(0), kAddr);
    ASSERT_EQ(m_pDlg->m_comboAddr.GetCurSel(), 0);
  }
  void TearDown() override {
    if (m_pDlg && m_pDlg->isVisible()) m_pDlg->close();
    m_pDlg.reset();  // the engine joins its thread here
  }
  CMonitorDlg& Dlg() { return *m_pDlg; }
  QWidget* Item(int nID) { return m_pDlg->GetDlgItem(nID); }
  void Start() {
    apptest::MessageBoxRecorder boxes;
    QTest::mouseClick(Item(IDC_START), Qt::LeftButton);
    ASSERT_TRUE(boxes.calls.empty()) << boxes.Texts().join(' ').toStdString();
    ASSERT_FALSE(Item(IDC_START)->isEnabled());
    ASSERT_TRUE(Item(IDC_STOP)->isEnabled());
  }

  std::unique_ptr<CMonitorDlg> m_pDlg;
};

TEST_F(CaptureDialogTest, AddressNoInterfaceHoldsFailsToBind) {
  Dlg().m_comboAddr.AddString("192.0.2.77");  // TEST-NET-1, on no interface here
  Dlg().m_comboAddr.SetCurSel(Dlg().m_comboAddr.findText("192.0.2.77"));
  apptest::MessageBoxRecorder boxes;
  QTest::mouseClick(Item(IDC_START), Qt::LeftButton);
  EXPECT_EQ(boxes.Texts(), QStringList{"Bind ip failed."});
  EXPECT_TRUE(Item(IDC_START)->isEnabled());
  EXPECT_TRUE(Item(IDC_STOP)->isEnabled());
}

TEST_F(CaptureDialogTest, TrafficBecomesRowsAndBytes) {
  Start();
  SendUdp(40001, 40002, "hello-udp");
  SendTcp(40010, 40011, "hello-tcp");
  SendPing(1);
  ASSERT_TRUE(ProcessUntil([&] { return HasPayloadRow(Dlg(), "UDP", "hello-udp") &&
                                        HasPayloadRow(Dlg(), "TCP", "hello-tcp"); }, kWaitMs));
  // ICMP is off by default; the echo and its reply were not listed.
  EXPECT_EQ(CountProt(Dlg(), "ICMP"), 0);

  const int nUdp = FindRow(Dlg(), [](const PacketRecord& r) { return r.strProt == "UDP"; });
  const PacketRecord& udp = *Dlg().m_listPacket.GetItemData(nUdp);
  EXPECT_EQ(PacketCellText(udp, 1), QString::number(20 + 8 + 9));
  EXPECT_EQ(PacketCellText(udp, 2), kAddr);
  EXPECT_EQ(PacketCellText(udp, 3), "40001");
  EXPECT_EQ(PacketCellText(udp, 4), kAddr);
  EXPECT_EQ(PacketCellText(udp, 5), "40002");
  EXPECT_EQ(FindRow(Dlg(), [](const PacketRecord& r) {
              return r.strProt == "TCP" && r.nSrcPort == 40011 && r.nDesPort == 40010;
            }) >= 0, true);

  // Checking ICMP lists the next echo and its reply.
  QWidget* pIcmp = Item(IDC_ICMP);
  QTest::mouseClick(pIcmp, Qt::LeftButton, {}, QPoint(4, pIcmp->height() / 2));
  ASSERT_EQ(Dlg().m_bIcmp, 1);
  SendPing(2);
  ASSERT_TRUE(ProcessUntil([&] { return CountProt(Dlg(), "ICMP") >= 2; }, kWaitMs));
  const int nIcmp = FindRow(Dlg(), [](const PacketRecord& r) { return r.strProt == "ICMP"; });
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(nIcmp), 3), "0");
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(nIcmp), 1), QString::number(20 + 16));

  // Selecting the UDP row shows its bytes: the payload, nothing behind it.
  const int nRow = FindRow(Dlg(), [](const PacketRecord& r) { return r.strProt == "UDP"; });
  CPacketList& list = Dlg().m_listPacket;
  list.scrollTo(list.Model()->index(nRow, 0));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.Model()->index(nRow, 0)).center());
  ASSERT_EQ(list.GetNextItem(-1, LVNI_SELECTED), nRow);
  CHexView& hex = Dlg().m_hexView;
  ASSERT_EQ(hex.GetLength(), 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(hex.GetData()), 9), "hello-udp");

  // Five bytes selected with Shift+Right from the caret on byte 0's high digit
  // (the caret moves a digit at a time: eight moves end on byte 4's low digit)
  // and copied with the context menu's Copy (Ctrl+C is character input, which
  // the dialog has switched off) reach the clipboard as raw bytes and hex text.
  hex.setFocus();
  ASSERT_TRUE(ProcessUntil([&] { return hex.hasFocus(); }));
  for (int i = 0; i < 8; ++i) QTest::keyClick(&hex, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(std::min(hex.GetSelStart(), hex.GetSelEnd()), 0);
  EXPECT_EQ(std::max(hex.GetSelStart(), hex.GetSelEnd()), 5);
  bool bCopyOffered = false;
  SetPopupMenuHook([&](const std::vector<PopupMenuItem>& items, QPoint) -> UINT {
    for (const PopupMenuItem& item : items) bCopyOffered |= item.nID == ID_EDIT_COPY && item.bEnabled;
    return ID_EDIT_COPY;
  });
  QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5), hex.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&hex, &menuKey);
  SetPopupMenuHook({});
  EXPECT_TRUE(bCopyOffered);
  const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
  ASSERT_TRUE(pMime);
  EXPECT_EQ(pMime->data("BinaryData"), QByteArray("hello"));
  EXPECT_TRUE(pMime->text().startsWith("68 65 6C 6C 6F")) << pMime->text().toStdString();
  EXPECT_TRUE(Dlg().isVisible());

  // "&cls" during capture empties the list; capture goes on.
  QTest::mouseClick(Item(IDC_CLEAR), Qt::LeftButton);
  EXPECT_EQ(list.GetItemCount(), 0);
  EXPECT_EQ(hex.GetLength(), 9);
  SendUdp(40003, 40004, "after-cls");
  EXPECT_TRUE(ProcessUntil([&] { return HasPayloadRow(Dlg(), "UDP", "after-cls"); }, kWaitMs));
}

TEST_F(CaptureDialogTest, StopThenStartWaitsForTheStoppedNotice) {
  Start();
  // A stop request reaches the thread once it is capturing (before that, Stop
  // does nothing and capture goes on).
  ASSERT_TRUE(ProcessUntil([&] { return Dlg().m_engine.GetThreadId() != 0; }, kWaitMs));
  QTest::mouseClick(Item(IDC_STOP), Qt::LeftButton);
  // Start stays disabled (and a click on it does nothing) until NOTICE_STOPPED.
  EXPECT_FALSE(Item(IDC_START)->isEnabled());
  ASSERT_TRUE(ProcessUntil([&] { return Item(IDC_START)->isEnabled(); }, kWaitMs));
  EXPECT_FALSE(Item(IDC_STOP)->isEnabled());
  // A new run captures again.
  Start();
  SendUdp(40021, 40022, "second-run");
  EXPECT_TRUE(ProcessUntil([&] { return HasPayloadRow(Dlg(), "UDP", "second-run"); }, kWaitMs));
}

TEST_F(CaptureDialogTest, ClosingDuringCaptureEndsCleanly) {
  Start();
  for (int i = 0; i < 5; ++i) SendUdp(40031 + 2 * i, 40032 + 2 * i, "closing-" + std::to_string(i));
  ASSERT_TRUE(ProcessUntil([&] { return Dlg().m_listPacket.GetItemCount() > 0; }, kWaitMs));
  Dlg().close();  // the close button: OnCancel
  EXPECT_FALSE(Dlg().isVisible());
  EXPECT_EQ(Dlg().result(), IDCANCEL);
  EXPECT_EQ(Dlg().m_listPacket.GetItemCount(), 0);
  // Traffic after the close still reaches the (stopping) thread; whatever it
  // posts is freed with the dialog, which waits for the thread to end.
  SendUdp(40051, 40052, "late");
  m_pDlg.reset();
}

TEST_F(CaptureDialogTest, ClosingAnIdleCaptureReturnsPromptly) {
  SetCaptureThreadStartHookForTesting(&TidRecorder::Record);
  Start();
  ASSERT_TRUE(ProcessUntil([&] { return Dlg().m_engine.GetThreadId() != 0; }, kWaitMs));
  SetCaptureThreadStartHookForTesting(nullptr);
  // No traffic: the capture thread sleeps in its receive.
  ASSERT_TRUE(ProcessUntil([&] { return IsAsleepInSyscall(TidRecorder::s_nTid.load()); }, kWaitMs));
  const auto tClose = std::chrono::steady_clock::now();
  Dlg().close();
  m_pDlg.reset();  // joins the capture thread
  // A generous bound, far inside the 5 s receive time-out the close would otherwise wait out.
  EXPECT_LT(std::chrono::steady_clock::now() - tClose, std::chrono::seconds(1));
}

// Last: it takes CAP_NET_RAW away from this process for good.
TEST_F(CaptureDialogTest, WithoutCaptureRightsCreateSocketFails) {
  cap_t caps = cap_get_proc();
  ASSERT_TRUE(caps);
  const cap_value_t values[] = {CAP_NET_RAW};
  cap_set_flag(caps, CAP_EFFECTIVE, 1, values, CAP_CLEAR);
  cap_set_flag(caps, CAP_PERMITTED, 1, values, CAP_CLEAR);
  ASSERT_EQ(cap_set_proc(caps), 0);
  cap_free(caps);
  // The helper, started as root, gets what the bounding set allows.
  ASSERT_EQ(prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0), 0);
  apptest::MessageBoxRecorder boxes;
  QTest::mouseClick(Item(IDC_START), Qt::LeftButton);
  EXPECT_EQ(boxes.Texts(), QStringList{"Create socket failed."});
  EXPECT_TRUE(Item(IDC_START)->isEnabled());
  EXPECT_TRUE(Item(IDC_STOP)->isEnabled());
}

}  // namespace
