// The main dialog without real capture: start-up state, the notice handler and
// its filter, the bounded list, selection into the hex view, the About box
// openers, Enter and Escape, and the packet list's model contract.
#include <gtest/gtest.h>

#include <QtCore/QTimer>
#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>
#include <algorithm>
#include <memory>

#include "app/aboutdlg.h"
#include "app/monitordlg.h"
#include "app/packetlist.h"
#include "apptest.h"
#include "platform/ui/systemmenu.h"
#include "res/resource.h"
#include "res/version.h"

using apptest::App;
using apptest::MakePacketNotice;
using apptest::MakeRecord;
using apptest::MakeStoppedNotice;
using apptest::ProcessUntil;

namespace {

QStringList ListProtocols(const CMonitorDlg& dlg) {
  QStringList prots;
  for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i)
    prots << QString::fromStdString(dlg.m_listPacket.GetItemData(i)->strProt);
  return prots;
}

class MonitorDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    m_pDlg = std::make_unique<CMonitorDlg>();
    ASSERT_TRUE(m_pDlg->Create());
    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
  }
  void TearDown() override { m_pDlg.reset(); }

  CMonitorDlg& Dlg() { return *m_pDlg; }
  QWidget* Item(int nID) { return m_pDlg->GetDlgItem(nID); }
  void Notify(EngineNotice* pNotice) {
    Dlg().OnEngineNotify(reinterpret_cast<WPARAM>(pNotice), 0);
  }
  void NotifyPacket(const std::string& strProt, const std::string& strPayload = "x", WORD wSize = 60) {
    Notify(MakePacketNotice(MakeRecord(strProt, strPayload, wSize)));
  }
  void ClickCheck(int nID) {
    QWidget* pBox = Item(nID);
    QTest::mouseClick(pBox, Qt::LeftButton, {}, QPoint(4, pBox->height() / 2));
  }
  // A double-click at a point of pAt, delivered through the window.
  void DoubleClickOn(QWidget* pAt, const QPoint& pt) {
    QTest::mouseDClick(m_pDlg->windowHandle(), Qt::LeftButton, {}, pAt->mapTo(m_pDlg.get(), pt));
  }

  std::unique_ptr<CMonitorDlg> m_pDlg;
};

TEST_F(MonitorDlgTest, StartUpState) {
  CMonitorDlg& dlg = Dlg();
  EXPECT_EQ(dlg.windowTitle(), QString("Tessaly on ") + kProductWebAddress);
  EXPECT_FALSE(dlg.windowIcon().isNull());
  EXPECT_EQ(dlg.m_bTcp, 1);
  EXPECT_EQ(dlg.m_bUdp, 1);
  EXPECT_EQ(dlg.m_bIcmp, 0);
  struct Check { int nID; bool bChecked; };
  for (const Check& c : {Check{IDC_TCP, true}, Check{IDC_UDP, true}, Check{IDC_ICMP, false}})
    EXPECT_EQ(qobject_cast<QCheckBox*>(Item(c.nID))->isChecked(), c.bChecked) << c.nID;

  struct Column { const char* pszTitle; int nWidthPx; };
  const Column columns[] = {{"prot", 40}, {"size", 50}, {"src addr", 100}, {"port", 40},
                            {"des addr", 100}, {"port", 40}, {"data", 300}};
  ASSERT_EQ(dlg.m_listPacket.Model()->columnCount(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(dlg.m_listPacket.Model()->headerData(i, Qt::Horizontal).toString(), columns[i].pszTitle) << i;
    EXPECT_EQ(dlg.m_listPacket.GetColumnWidth(i), columns[i].nWidthPx) << i;
  }
  EXPECT_EQ(dlg.m_listPacket.GetItemCount(), 0);
  EXPECT_EQ(dlg.m_listPacket.GetExtendedStyle(), 0x578u);
  EXPECT_EQ(dlg.m_listPacket.selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(dlg.m_listPacket.selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_TRUE(dlg.m_listPacket.header()->sectionsMovable());
  EXPECT_TRUE(dlg.m_listPacket.hasMouseTracking());

  // The address list: this machine's addresses sorted as text, first selected.
  std::vector<std::string> arr;
  EnumLocalAddresses(arr);
  QStringList expected;
  for (const std::string& s : arr) expected << QString::fromStdString(s);
  std::stable_sort(expected.begin(), expected.end(),
                   [](const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; });
  QStringList got;
  for (int i = 0; i < dlg.m_comboAddr.GetCount(); ++i) got << dlg.m_comboAddr.itemText(i);
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(got.contains("127.0.0.1"));
  EXPECT_EQ(dlg.m_comboAddr.GetCurSel(), got.isEmpty() ? CB_ERR : 0);

  EXPECT_TRUE(Item(IDC_START)->isEnabled());
  EXPECT_TRUE(Item(IDC_STOP)->isEnabled());
  EXPECT_EQ(dlg.focusWidget(), &dlg.m_comboAddr);
  // Centred on the screen, frame and all.
  EXPECT_LE((dlg.frameGeometry().center() - dlg.screen()->availableGeometry().center()).manhattanLength(), 2);
  EXPECT_EQ(dlg.GetDlgItem(IDC_HEX_VIEW), &dlg.m_hexView);
  EXPECT_EQ(dlg.GetDlgItem(IDC_PACKET_LIST), &dlg.m_listPacket);
  EXPECT_TRUE(dlg.m_hexView.GetData() != nullptr);
  EXPECT_EQ(dlg.m_hexView.GetLength(), 0);

  CSystemMenu* pMenu = dlg.GetSystemMenu(FALSE);
  ASSERT_TRUE(pMenu);
  const int nLast = pMenu->GetMenuItemCount() - 1;
  EXPECT_EQ(pMenu->GetMenuItemID(nLast - 1), 0u);  // separator
  EXPECT_EQ(pMenu->GetMenuItemID(nLast), IDM_ABOUT_BOX);
  EXPECT_EQ(pMenu->GetMenuString(nLast), "关于 Tessaly(&A)...");
}

TEST_F(MonitorDlgTest, StartWithoutAddressShowsMessageAndChangesNothing) {
  while (Dlg().m_comboAddr.DeleteString(0) != CB_ERR) {
  }
  apptest::MessageBoxRecorder boxes;
  QTest::mouseClick(Item(IDC_START), Qt::LeftButton);
  EXPECT_EQ(boxes.Texts(), QStringList{"Please select a binding ip firstly."});
  EXPECT_EQ(boxes.calls.at(0).pOwner, m_pDlg.get());
  EXPECT_TRUE(Item(IDC_START)->isEnabled());
  EXPECT_TRUE(Item(IDC_STOP)->isEnabled());
}

TEST_F(MonitorDlgTest, ProtocolFilter) {
  struct Step { int nClick; const char* pszProt; bool bListed; };
  // Boxes clicked between notices change only what comes afterwards.
  const Step steps[] = {
      {0, "TCP", true},      {0, "UDP", true},      {0, "ICMP", false},
      {0, "IGMP", false},    {0, "", false},        {0, "tcp", false},
      {IDC_ICMP, "ICMP", true},
      {IDC_TCP, "TCP", false}, {IDC_UDP, "UDP", false}, {IDC_ICMP, "ICMP", false},
      {IDC_TCP, "TCP", true},  {0, "RAW", false},
  };
  QStringList expectedRows;
  for (const Step& s : steps) {
    if (s.nClick) ClickCheck(s.nClick);
    NotifyPacket(s.pszProt);
    if (s.bListed) expectedRows.prepend(s.pszProt);
    EXPECT_EQ(ListProtocols(Dlg()), expectedRows) << "after " << s.pszProt << " click " << s.nClick;
  }
  EXPECT_EQ(Dlg().m_bIcmp, 0);
  EXPECT_EQ(Dlg().m_bUdp, 0);
  EXPECT_EQ(Dlg().m_bTcp, 1);
  // Odd notices are freed without a trace.
  Notify(nullptr);
  auto* pOdd = new EngineNotice;
  pOdd->nType = 77;
  pOdd->pRecord = MakeRecord("TCP");
  Notify(pOdd);
  auto* pEmpty = new EngineNotice;
  pEmpty->nType = NOTICE_PACKET;
  Notify(pEmpty);
  EXPECT_EQ(ListProtocols(Dlg()), expectedRows);
}

TEST_F(MonitorDlgTest, ListHoldsAtMost501Rows) {
  for (int i = 0; i < MAX_LIST_ITEMS; ++i) NotifyPacket("UDP", std::to_string(i));
  ASSERT_EQ(Dlg().m_listPacket.GetItemCount(), 500);
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(0), 6), "499");
  NotifyPacket("TCP", "501st");
  ASSERT_EQ(Dlg().m_listPacket.GetItemCount(), 501);
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(0), 6), "501st");
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(500), 6), "0");
  NotifyPacket("TCP", "502nd");
  ASSERT_EQ(Dlg().m_listPacket.GetItemCount(), 1);
  EXPECT_EQ(PacketCellText(*Dlg().m_listPacket.GetItemData(0), 6), "502nd");
}

// One slice's notices handled together must leave what handling them one at a
// time leaves: rows, order, selection, hex view and buttons, through clears
// inside a batch, at a batch's edge, filtered and odd notices, and a stop.
TEST_F(MonitorDlgTest, ABatchOfNoticesLeavesWhatOneAtATimeLeaves) {
  CMonitorDlg& single = Dlg();
  CMonitorDlg batched;
  ASSERT_TRUE(batched.Create());
  int nSerial = 0;
  // Odd notices spread through each chunk: another type, a packet without a
  // record, filtered protocols, and a stop notice in the middle of the chunk.
  auto makeChunk = [&](int nListed, bool bStop) {
    std::vector<EngineNotice*> notices;
    for (int i = 0; i < nListed; ++i) {
      const std::string strPayload = std::to_string(nSerial++);
      notices.push_back(MakePacketNotice(MakeRecord(i % 2 ? "TCP" : "UDP", strPayload, 40)));
      if (i % 97 == 5) notices.push_back(MakePacketNotice(MakeRecord(i % 3 ? "IGMP" : "ICMP")));
      if (i % 211 == 7) {
        auto* pOdd = new EngineNotice;
        pOdd->nType = 77;
        pOdd->pRecord = MakeRecord("TCP");
        notices.push_back(pOdd);
        auto* pEmpty = new EngineNotice;
        pEmpty->nType = NOTICE_PACKET;
        notices.push_back(pEmpty);
      }
      if (bStop && i == nListed / 2) notices.push_back(MakeStoppedNotice());
    }
    return notices;
  };
  auto feed = [&](int nListed, bool bStop) {
    const int nFirst = nSerial;
    for (EngineNotice* pNotice : makeChunk(nListed, bStop)) single.OnEngineNotify(reinterpret_cast<WPARAM>(pNotice), 0);
    nSerial = nFirst;
    batched.OnEngineNotices(makeChunk(nListed, bStop));
  };
  auto visible = [](CMonitorDlg& dlg) {
    QStringList state;
    for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i) {
      QStringList cells;
      for (int nCol = 0; nCol < 7; ++nCol) cells << PacketCellText(*dlg.m_listPacket.GetItemData(i), nCol);
      state << cells.join('|');
    }
    const CHexView& hex = dlg.m_hexView;
    state << QString("sel %1 cur %2 hex %3 [%4,%5] start %6 stop %7")
                 .arg(dlg.m_listPacket.GetNextItem(-1, LVNI_SELECTED))
                 .arg(dlg.m_listPacket.currentIndex().row())
                 .arg(QByteArray(reinterpret_cast<const char*>(hex.GetData()), hex.GetLength()))
                 .arg(hex.GetSelStart())
                 .arg(hex.GetSelEnd())
                 .arg(dlg.GetDlgItem(IDC_START)->isEnabled())
                 .arg(dlg.GetDlgItem(IDC_STOP)->isEnabled());
    return state.join('\n').toStdString();
  };
  feed(3, false);
  for (CMonitorDlg* pDlg : {&single, &batched}) {
    pDlg->GetDlgItem(IDC_START)->setEnabled(false);  // as while capturing
    CPacketList& list = pDlg->m_listPacket;
    list.selectionModel()->setCurrentIndex(list.Model()->index(1, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    pDlg->m_hexView.SetSelection(0, 1);
  }
  ASSERT_EQ(single.m_hexView.GetLength(), 1);
  EXPECT_EQ(visible(batched), visible(single));
  struct Chunk { int nListed; bool bStop; int nIcmp; int nRows; };
  const Chunk chunks[] = {
      {6, false, 0, 9},       // rows on top of a selected row
      {490, false, 1, 501},   // with two ICMP rows, exactly 501 rows: no clear yet
      {1, false, 1, 1},       // the 502nd empties the list at the batch's edge
      {1200, true, 0, 199},   // two clears inside one batch, a stop between
  };
  for (const Chunk& c : chunks) {
    single.m_bIcmp = batched.m_bIcmp = c.nIcmp;
    feed(c.nListed, c.bStop);
    EXPECT_EQ(visible(batched), visible(single)) << c.nListed;
    EXPECT_EQ(single.m_listPacket.GetItemCount(), c.nRows) << c.nListed;
  }
  EXPECT_TRUE(batched.GetDlgItem(IDC_START)->isEnabled());
}

TEST_F(MonitorDlgTest, ClearButtonEmptiesAndRowsKeepComing) {
  for (int i = 0; i < 3; ++i) NotifyPacket("TCP");
  QTest::mouseClick(Item(IDC_CLEAR), Qt::LeftButton);
  EXPECT_EQ(Dlg().m_listPacket.GetItemCount(), 0);
  QTest::mouseClick(Item(IDC_CLEAR), Qt::LeftButton);  // on an empty list: nothing
  NotifyPacket("UDP");
  EXPECT_EQ(ListProtocols(Dlg()), QStringList{"UDP"});
}

TEST_F(MonitorDlgTest, PostedNoticesArriveInOrderAndStoppedEnablesStart) {
  Item(IDC_START)->setEnabled(false);  // as after a successful Start
  const HWND hWnd = Dlg().GetNotifyWindow();
  ASSERT_TRUE(PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(MakePacketNotice(MakeRecord("TCP", "a"))), 0));
  ASSERT_TRUE(PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(MakePacketNotice(MakeRecord("UDP", "b"))), 0));
  ASSERT_TRUE(PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(MakeStoppedNotice()), 0));
  ASSERT_TRUE(ProcessUntil([&] { return Item(IDC_START)->isEnabled(); }));
  EXPECT_FALSE(Item(IDC_STOP)->isEnabled());
  EXPECT_EQ(ListProtocols(Dlg()), (QStringList{"UDP", "TCP"}));
  // Notices still queued when the dialog goes away are freed (LeakSanitizer).
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(MakePacketNotice(MakeRecord("TCP"))), 0));
  m_pDlg.reset();
  auto* pLate = MakeStoppedNotice();
  EXPECT_FALSE(PostMessage(hWnd, WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(pLate), 0));
  DeleteEngineNotice(pLate);
}

TEST_F(MonitorDlgTest, SelectionShowsTheRowsBytesInTheHexView) {
  CMonitorDlg& dlg = Dlg();
  Notify(MakePacketNotice(MakeRecord("TCP", "first", 48)));
  Notify(MakePacketNotice(MakeRecord("UDP", "second-payload", 33)));
  CPacketList& list = dlg.m_listPacket;
  list.setFocus();
  // A click on row 1 (the older "first").
  const QRect rcRow1 = list.visualRect(list.Model()->index(1, 0));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rcRow1.center());
  ASSERT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 1);
  ASSERT_EQ(dlg.m_hexView.GetLength(), 5) << "the payload bytes, not the datagram's size";
  const PacketRecord* pRecord = list.GetItemData(1);
  EXPECT_TRUE(std::equal(pRecord->pData, pRecord->pData + 5, dlg.m_hexView.GetData()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dlg.m_hexView.GetData()), 5), "first");

  // A new row on top keeps the selection on the same record and leaves the view.
  dlg.m_hexView.SetSelection(1, 3);
  Notify(MakePacketNotice(MakeRecord("TCP", "third", 40)));
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 2);
  EXPECT_EQ(dlg.m_hexView.GetSelEnd(), 3);

  // Clearing the list leaves the bytes in the hex view.
  dlg.ClearList();
  EXPECT_EQ(dlg.m_hexView.GetLength(), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dlg.m_hexView.GetData()), 5), "first");

  // A click where no row is selected changes nothing.
  Notify(MakePacketNotice(MakeRecord("UDP", "zzz", 30)));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(5, list.viewport()->height() - 3));
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), -1);
  LRESULT nResult = 99;
  dlg.OnClickList(&nResult);
  EXPECT_EQ(nResult, 99);
  EXPECT_EQ(dlg.m_hexView.GetLength(), 5);
}

TEST_F(MonitorDlgTest, ARestingPointerSelectsTheRowUnderIt) {
  CPacketList& list = Dlg().m_listPacket;
  for (const char* psz : {"a", "bb", "ccc"}) Notify(MakePacketNotice(MakeRecord("UDP", psz, 28 + 2)));
  list.SetHoverTime(0);
  const QPoint pt = list.visualRect(list.Model()->index(2, 3)).center();
  QTest::mouseMove(list.viewport(), pt);
  ASSERT_TRUE(ProcessUntil([&] { return list.GetNextItem(-1, LVNI_SELECTED) == 2; }));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Dlg().m_hexView.GetData()), 1), "a");
  // Below the last row nothing changes.
  list.TrackSelectAt(QPoint(5, list.viewport()->height() - 2));
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 2);
  // A rest on the partly shown data column selects the row without scrolling
  // the list sideways.
  const QRect rcData = list.visualRect(list.Model()->index(0, 6));
  ASSERT_LT(rcData.left() + 5, list.viewport()->width());
  ASSERT_GT(rcData.right(), list.viewport()->width());
  QTest::mouseMove(list.viewport(), QPoint(rcData.left() + 5, rcData.center().y()));
  ASSERT_TRUE(ProcessUntil([&] { return list.GetNextItem(-1, LVNI_SELECTED) == 0; }));
  EXPECT_EQ(list.horizontalScrollBar()->value(), 0);
}

TEST_F(MonitorDlgTest, CutOffCellsHaveTooltips) {
  CPacketList& list = Dlg().m_listPacket;
  Notify(MakePacketNotice(MakeRecord("TCP", std::string(200, 'w'))));
  const auto At = [&](int nCol) { return list.visualRect(list.Model()->index(0, nCol)).center(); };
  EXPECT_EQ(list.CellToolTip(At(6)), QString(200, u'w'));
  EXPECT_EQ(list.CellToolTip(At(0)), QString());  // "TCP" fits its 40 pixels
  EXPECT_EQ(list.CellToolTip(QPoint(2, list.viewport()->height() - 2)), QString());
}

TEST_F(MonitorDlgTest, AboutBoxOpeners) {
  CMonitorDlg& dlg = Dlg();
  QString strAuthorShown;
  bool bReadOnly = false;
  int nFocusID = 0;
  apptest::ModalRecorder modal([&](CDialog& about) {
    auto* pEdit = qobject_cast<QLineEdit*>(about.GetDlgItem(IDC_AUTHOR_EDIT));
    strAuthorShown = pEdit ? pEdit->text() : QString();
    bReadOnly = pEdit && pEdit->isReadOnly();
    nFocusID = GetDlgCtrlID(about.focusWidget());
    EXPECT_EQ(about.parentWidget(), &dlg);
    // Not shown here: its frame is reckoned as the main dialog's.
    const QRect rcAboutFrame(about.pos(), about.size().grownBy(dlg.windowHandle()->frameMargins()));
    EXPECT_LE((rcAboutFrame.center() - dlg.frameGeometry().center()).manhattanLength(), 2);
    return IDOK;
  });
  struct SysCase { UINT nID; bool bOpens; };
  for (const SysCase& c : {SysCase{0x0010, true}, SysCase{0x001F, true}, SysCase{0x0020, false},
                           SysCase{SC_MOVE, false}, SysCase{SC_SIZE, false}, SysCase{SC_KEYMENU, false}}) {
    modal.classes.clear();
    dlg.OnSysCommand(c.nID, 0);
    EXPECT_EQ(modal.classes.size(), c.bOpens ? 1 : 0) << std::hex << c.nID;
    if (c.bOpens) {
      EXPECT_EQ(modal.classes.value(0), "CAboutDlg");
    }
  }
  EXPECT_EQ(strAuthorShown, QString::fromUtf8(kProductWebAddress));
  EXPECT_TRUE(bReadOnly);
  EXPECT_EQ(nFocusID, IDOK);
  EXPECT_EQ(modal.captions.value(0), "关于 Morvane");

  // F1 opens it wherever the focus is, the hex view (which keeps most keys) included.
  for (QWidget* pFocus : {static_cast<QWidget*>(&dlg.m_comboAddr), static_cast<QWidget*>(&dlg.m_hexView),
                          static_cast<QWidget*>(&dlg.m_listPacket), Item(IDC_TCP)}) {
    modal.classes.clear();
    pFocus->setFocus();
    ASSERT_TRUE(ProcessUntil([&] { return pFocus->hasFocus(); }));
    QTest::keyClick(pFocus, Qt::Key_F1);
    EXPECT_EQ(modal.classes, QStringList{"CAboutDlg"}) << pFocus->metaObject()->className();
  }

  // Double-clicks: the background, the group boxes and the "bind ip" label open
  // it; enabled buttons, check boxes, both lists and the hex view do not.
  QWidget* pGroup = Item(IDC_CONTROL_GROUP);
  const QList<QWidget*> items = GetDlgItems(&dlg);
  QWidget* pBindLabel = items.at(2);
  QWidget* pProtocolGroup = items.at(4);
  struct DblCase { QWidget* pAt; QPoint pt; bool bOpens; const char* pszWhat; };
  const DblCase cases[] = {
      {&dlg, QPoint(dlg.width() - 3, Item(IDC_PACKET_LIST)->geometry().bottom() + 2), true, "background"},
      {pGroup, QPoint(5, pGroup->height() - 4), true, "control group"},
      {pProtocolGroup, QPoint(5, pProtocolGroup->height() - 4), true, "Protocol group"},
      {pBindLabel, pBindLabel->rect().center(), true, "bind ip"},
      // (Not Start: outside a namespace of its own the test must not capture.)
      {Item(IDC_CLEAR), Item(IDC_CLEAR)->rect().center(), false, "cls"},
      {Item(IDC_LIST_IP), Item(IDC_LIST_IP)->rect().center(), false, "list"},
      // A disabled button gets no mouse input; the dialog does, as on Windows.
      {Item(IDC_STOP), Item(IDC_STOP)->rect().center(), true, "disabled stop"},
      {Item(IDC_ICMP), QPoint(4, Item(IDC_ICMP)->height() / 2), false, "ICMP"},
      {&dlg.m_comboAddr, dlg.m_comboAddr.rect().center(), false, "address list"},
      {dlg.m_listPacket.viewport(), dlg.m_listPacket.viewport()->rect().center(), false, "packet list"},
      {dlg.m_hexView.viewport(), dlg.m_hexView.viewport()->rect().center(), false, "hex view"},
  };
  Item(IDC_STOP)->setEnabled(false);
  for (const DblCase& c : cases) {
    modal.classes.clear();
    ASSERT_TRUE(dlg.isVisible()) << c.pszWhat;
    DoubleClickOn(c.pAt, c.pt);
    EXPECT_EQ(modal.classes.size(), c.bOpens ? 1 : 0) << c.pszWhat;
  }
}

TEST_F(MonitorDlgTest, AboutBoxRunsModallyAndClosesByOkOrEscape) {
  CMonitorDlg& dlg = Dlg();
  for (const bool bByOk : {true, false}) {
    bool bSeen = false;
    QTimer::singleShot(0, [&] {
      auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
      bSeen = pAbout != nullptr;
      if (!pAbout) return;
      // The capture keeps feeding the main dialog behind the About box.
      dlg.OnEngineNotify(reinterpret_cast<WPARAM>(MakePacketNotice(MakeRecord("TCP"))), 0);
      if (bByOk) QTest::mouseClick(pAbout->GetDlgItem(IDOK), Qt::LeftButton);
      else QTest::keyClick(pAbout, Qt::Key_Escape);
    });
    dlg.OnSysCommand(IDM_ABOUT_BOX, 0);
    EXPECT_TRUE(bSeen) << bByOk;
    EXPECT_TRUE(dlg.isVisible());
  }
  EXPECT_EQ(dlg.m_listPacket.GetItemCount(), 2);
}

TEST_F(MonitorDlgTest, TabAndCtrlTabReachEveryControlAndComeBack) {
  CMonitorDlg& dlg = Dlg();
  NotifyPacket("TCP");
  ASSERT_EQ(dlg.focusWidget(), &dlg.m_comboAddr);
  QList<int> visited;
  for (int i = 0; i < 20 && (visited.isEmpty() || dlg.focusWidget() != &dlg.m_comboAddr); ++i) {
    QWidget* pFocus = dlg.focusWidget();
    visited << GetDlgCtrlID(pFocus);
    // The hex view keeps Tab for its columns; Ctrl+Tab leaves it.
    const Qt::KeyboardModifiers mods = pFocus == &dlg.m_hexView ? Qt::ControlModifier : Qt::NoModifier;
    QTest::keyClick(pFocus, Qt::Key_Tab, mods);
  }
  EXPECT_EQ(visited, (QList<int>{IDC_BIND_IP, IDC_LIST_IP, IDC_START, IDC_STOP, IDC_PACKET_LIST, IDC_CLEAR,
                                 IDC_HEX_VIEW, IDC_TCP, IDC_UDP, IDC_ICMP}));
  EXPECT_EQ(dlg.focusWidget(), &dlg.m_comboAddr);
  // And back: Ctrl+Shift+Tab from the hex view reaches "&cls".
  dlg.m_hexView.setFocus();
  QTest::keyClick(&dlg.m_hexView, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(dlg.focusWidget(), Item(IDC_CLEAR));
}

TEST_F(MonitorDlgTest, EnterDoesNothingOutsideButtonsEscapeClosesThroughOnCancel) {
  CMonitorDlg& dlg = Dlg();
  NotifyPacket("TCP");
  for (QWidget* pFocus : {static_cast<QWidget*>(&dlg.m_comboAddr), Item(IDC_TCP),
                          static_cast<QWidget*>(&dlg.m_listPacket)}) {
    pFocus->setFocus();
    ASSERT_TRUE(ProcessUntil([&] { return pFocus->hasFocus(); }));
    QTest::keyClick(pFocus, Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.m_listPacket.GetItemCount(), 1);
  }
  // On a push button Enter presses it.
  Item(IDC_CLEAR)->setFocus();
  ASSERT_TRUE(ProcessUntil([&] { return Item(IDC_CLEAR)->hasFocus(); }));
  QTest::keyClick(Item(IDC_CLEAR), Qt::Key_Return);
  EXPECT_EQ(dlg.m_listPacket.GetItemCount(), 0);

  // Escape in the hex view stays there.
  dlg.m_hexView.setFocus();
  QTest::keyClick(&dlg.m_hexView, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());

  NotifyPacket("UDP");
  dlg.m_comboAddr.setFocus();
  QTest::keyClick(&dlg.m_comboAddr, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), IDCANCEL);
  EXPECT_EQ(dlg.m_listPacket.GetItemCount(), 0);
}

TEST_F(MonitorDlgTest, CloseButtonAndSystemCloseReachOnCancel) {
  NotifyPacket("TCP");
  Dlg().close();
  EXPECT_FALSE(Dlg().isVisible());
  EXPECT_EQ(Dlg().m_listPacket.GetItemCount(), 0);

  CMonitorDlg other;
  ASSERT_TRUE(other.Create());
  other.OnEngineNotify(reinterpret_cast<WPARAM>(MakePacketNotice(MakeRecord("UDP"))), 0);
  other.OnSysCommand(SC_CLOSE, 0);
  EXPECT_FALSE(other.isVisible());
  EXPECT_EQ(other.result(), IDCANCEL);
  EXPECT_EQ(other.m_listPacket.GetItemCount(), 0);
}

TEST(MinimisedIcon, OriginTruncatesTowardZero) {
  struct Case { int cx, cy, cxIcon, cyIcon; POINT expected; };
  const Case cases[] = {
      {32, 32, 32, 32, {0, 0}},   {100, 50, 32, 32, {34, 9}}, {30, 30, 32, 32, {0, 0}},
      {29, 31, 32, 32, {-1, 0}},  {0, 0, 32, 32, {-15, -15}},
  };
  for (const Case& c : cases) EXPECT_EQ(IconOriginForClient(c.cx, c.cy, c.cxIcon, c.cyIcon), c.expected) << c.cx;
}

TEST(PacketCells, TextsOfEveryColumn) {
  App();
  std::unique_ptr<PacketRecord, void (*)(PacketRecord*)> pRecord(
      MakeRecord("TCP", std::string("GET /\r\n\tx\x7f" "y\0tail", 13), 65535, "192.168.1.10", 0, "10.0.0.2", 65535),
      DeletePacketRecord);
  const QString expected[] = {"TCP", "65535", "192.168.1.10", "0", "10.0.0.2", "65535",
                              QString::fromUtf8("GET /\u00b7\u00b7\u00b7x\u00b7y")};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(PacketCellText(*pRecord, i), expected[i]) << i;
  EXPECT_EQ(PacketCellText(*pRecord, 7), QString());
  EXPECT_EQ(PacketCellText(*pRecord, -1), QString());
  // A block without any zero byte is read to its end and no further.
  std::fill(pRecord->pData, pRecord->pData + PACKET_BUFFER_SIZE, BYTE('a'));
  EXPECT_EQ(PacketCellText(*pRecord, 6).size(), PACKET_BUFFER_SIZE);
  BYTE* pBlock = pRecord->pData;
  pRecord->pData = nullptr;
  EXPECT_EQ(PacketCellText(*pRecord, 6), QString());
  pRecord->pData = pBlock;
  // Line and paragraph separators would break a row as well.
  EXPECT_EQ(DisplayableText(QString::fromUtf8("a\u2028b\u2029c\u0085d\u00e9")), QString::fromUtf8("a\u00b7b\u00b7c\u00b7d\u00e9"));
  // Payload texts: UTF-8 where valid, else every byte as its Latin-1 character.
  struct Text { const char* pszBytes; const char* pszShown; };
  for (const Text& t : {Text{"Gr\xc3\xb6\xc3\x9f" "e", "Gr\u00f6\u00dfe"}, Text{"Gr\xf6\xdf" "e", "Gr\u00f6\u00dfe"},
                        Text{"caf\xe9", "caf\u00e9"}, Text{"\xe2\x82\xac 5", "\u20ac 5"}, Text{"\xe2\x82 5", "\u00e2\u00b7 5"}}) {
    std::fill(pRecord->pData, pRecord->pData + PACKET_BUFFER_SIZE, BYTE(0));
    std::memcpy(pRecord->pData, t.pszBytes, std::strlen(t.pszBytes));
    EXPECT_EQ(PacketCellText(*pRecord, 6), QString::fromUtf8(t.pszShown)) << t.pszBytes;
  }
}

TEST(PacketListModel, KeepsQtsModelContract) {
  App();
  QStringList failures;
  static QStringList* s_pFailures = nullptr;
  s_pFailures = &failures;
  const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtDebugMsg && type != QtInfoMsg && s_pFailures) *s_pFailures << msg;
  });
  {
    CPacketList list;
    CPacketListModel* pModel = list.Model();
    QAbstractItemModelTester tester(pModel, QAbstractItemModelTester::FailureReportingMode::Warning);
    for (const char* psz : {"data", "port", "prot"}) pModel->InsertColumn(0, psz);
    pModel->InsertColumn(99, "tail");  // clamped to the end
    EXPECT_EQ(pModel->headerData(3, Qt::Horizontal).toString(), "tail");
    for (int i = 0; i < 20; ++i) pModel->InsertRecordAtTop(MakeRecord(i % 2 ? "TCP" : "UDP", std::to_string(i)));
    EXPECT_EQ(pModel->rowCount(), 20);
    EXPECT_EQ(pModel->GetRecord(0)->strProt, "TCP");
    EXPECT_EQ(pModel->GetRecord(20), nullptr);
    EXPECT_EQ(pModel->GetRecord(-1), nullptr);
    EXPECT_EQ(pModel->data(pModel->index(0, 0), CPacketListModel::RecordRole).value<quintptr>(),
              reinterpret_cast<quintptr>(pModel->GetRecord(0)));
    list.selectionModel()->select(pModel->index(3, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    pModel->DeleteAllRecords();
    EXPECT_EQ(pModel->rowCount(), 0);
    for (int i = 0; i < 3; ++i) pModel->InsertRecordAtTop(MakeRecord("ICMP"));
    PacketRecord* batch[] = {MakeRecord("UDP", "a"), MakeRecord("UDP", "b"), MakeRecord("UDP", "c")};
    pModel->InsertRecordsAtTop(batch);
    EXPECT_EQ(pModel->rowCount(), 6);
    EXPECT_EQ(PacketCellText(*pModel->GetRecord(0), 6), "c");  // the newest on top
    pModel->InsertRecordsAtTop({});
    // The rest is freed with the model.
  }
  qInstallMessageHandler(previous);
  s_pFailures = nullptr;
  EXPECT_TRUE(failures.isEmpty()) << failures.join('\n').toStdString();
}

}  // namespace
