// The main dialog without real capture: the notice handler and its filter, the
// bounded list, selection into the hex view, the About box, and start-up.
#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QTest>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyledItemDelegate>
#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "app/monitorapp.h"
#include "app/monitordlg.h"
#include "app/packetcells.h"
#include "apptest.h"
#include "platform/sockstartup.h"
#include "platform/ui/popupmenu.h"
#include "platform/ui/systemmenu.h"
#include "res/resource.h"
#include "res/restypes.h"

using apptest::MakeNotice;
using apptest::MakeRecord;

namespace {

QStringList Column(const CMonitorDlg& dlg, int nCol = 0) {
  QStringList rows;
  for (int i = 0; i < dlg.m_listPacket.GetItemCount(); ++i)
    rows << PacketCellText(*dlg.m_listPacket.GetItemData(i), nCol);
  return rows;
}

void Notify(CMonitorDlg& dlg, EngineNotice* pNotice) { dlg.OnEngineNotify(reinterpret_cast<WPARAM>(pNotice), 0); }

// A pace clock that has always just been quiet long enough: the list shows
// each change at once, as one notice at a time would.
void ShowAtOnce(CMonitorDlg& dlg) {
  dlg.m_listPacket.SetPaceClockForTesting([nMs = qint64(0)]() mutable { return nMs += CPacketList::kPaintPaceMs; });
}

// Lets the event loop lay out and paint what is due; no timer is waited for.
void PaintDue() {
  for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
}

// Counts the paint events a widget gets.
struct PaintCounter : QObject {
  explicit PaintCounter(QWidget* pWidget) { pWidget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* pEvent) override { return nPaints += pEvent->type() == QEvent::Paint, false; }
  int nPaints = 0;
};

// The record shown in the top row of the list's viewport, -1 for none.
int TopRow(const CPacketList& list) { return list.indexAt(QPoint(1, 1)).row(); }

QByteArray HexBytes(const CMonitorDlg& dlg) {
  return QByteArray(reinterpret_cast<const char*>(dlg.m_hexView.GetData()), dlg.m_hexView.GetLength());
}

class MonitorDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dlg.Create());
    ShowAtOnce(m_dlg);
    m_dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_dlg));
  }
  QWidget* Item(int nID) { return m_dlg.GetDlgItem(nID); }
  void NotifyPacket(const std::string& strProt, const std::string& strPayload = "x") {
    Notify(m_dlg, MakeNotice(NOTICE_PACKET, MakeRecord(strProt, strPayload)));
  }
  void Click(int nID) { QTest::mouseClick(Item(nID), Qt::LeftButton, {}, QPoint(4, Item(nID)->height() / 2)); }
  // Whether the hex view's context menu would offer Copy now.
  bool CopyOffered() {
    const PopupMenu menu = m_dlg.m_hexView.BuildContextMenu();
    for (const PopupMenuItem& item : menu.Items())
      if (item.nID == ID_EDIT_COPY) return item.bEnabled;
    return false;
  }

  CMonitorDlg m_dlg;
};

// TCP and UDP are listed from the start; a box clicked between notices
// changes only what comes afterwards.
TEST_F(MonitorDlgTest, ProtocolFilter) {
  const struct { int nClick; const char* pszProt; bool bListed; } steps[] = {
      {0, "TCP", true},         {0, "UDP", true},          {0, "ICMP", false},        {0, "IGMP", false},
      {0, "", false},           {0, "tcp", false},         {IDC_ICMP, "ICMP", true},  {IDC_TCP, "TCP", false},
      {IDC_UDP, "UDP", false},  {IDC_ICMP, "ICMP", false}, {IDC_TCP, "TCP", true},    {0, "UDP", false},
  };
  QStringList expected;
  for (const auto& s : steps) {
    if (s.nClick) Click(s.nClick);
    NotifyPacket(s.pszProt);
    if (s.bListed) expected.prepend(s.pszProt);
    EXPECT_EQ(Column(m_dlg), expected) << s.pszProt << " after a click on " << s.nClick;
  }
  // Odd notices are freed without a trace (LeakSanitizer).
  for (EngineNotice* pOdd : {MakeNotice(77, MakeRecord("TCP")), MakeNotice(NOTICE_PACKET), (EngineNotice*)nullptr})
    Notify(m_dlg, pOdd);
  EXPECT_EQ(Column(m_dlg), expected);
}

// The list holds at most 501 rows: the 502nd empties it first. Notices
// arriving in slices 10 ms apart are shown at the list's pace, and what it
// shows at each of those paints must be what handling the same notices one at
// a time, each shown at once, shows: rows, scroll position, selection, hex
// view and buttons, through clears inside a batch and at its edge, filtered
// and odd notices, and a stop.
TEST_F(MonitorDlgTest, ABatchOfNoticesLeavesWhatOneAtATimeLeaves) {
  CMonitorDlg& single = m_dlg;
  const long nLiveBefore = CountLivePacketRecords();
  auto pBatched = std::make_unique<CMonitorDlg>();
  CMonitorDlg& batched = *pBatched;
  ASSERT_TRUE(batched.Create());
  // Every record is held once: as a row or a gathered record of either
  // dialog, or by a notice not handed over yet.
  long nUnhanded = 0;
  auto heldOnce = [&] {
    return CountLivePacketRecords() - nLiveBefore ==
           nUnhanded + single.m_listPacket.GetListedCount() + batched.m_listPacket.GetListedCount();
  };
  qint64 nNowMs = 0;
  batched.m_listPacket.SetPaceClockForTesting([&nNowMs] { return nNowMs; });
  QAbstractItemModelTester tester(batched.m_listPacket.Model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
  int nSerial = 0;
  auto makeChunk = [&](int nListed, bool bStop) {
    std::vector<EngineNotice*> notices;
    for (int i = 0; i < nListed; ++i) {
      notices.push_back(MakeNotice(NOTICE_PACKET, MakeRecord(i % 2 ? "TCP" : "UDP", std::to_string(nSerial++))));
      if (i % 97 == 5) notices.push_back(MakeNotice(NOTICE_PACKET, MakeRecord(i % 3 ? "IGMP" : "ICMP")));
      if (i % 211 == 7) notices.insert(notices.end(), {MakeNotice(77, MakeRecord("TCP")), MakeNotice(NOTICE_PACKET)});
      if (bStop && i == nListed / 2) notices.push_back(MakeNotice(NOTICE_STOPPED));
    }
    return notices;
  };
  auto visible = [](CMonitorDlg& dlg) {
    QStringList state;
    for (int nCol = 0; nCol < 7; ++nCol) state << Column(dlg, nCol).join(',');
    for (int n : {TopRow(dlg.m_listPacket), dlg.m_listPacket.GetNextItem(-1, LVNI_SELECTED),
                  dlg.m_listPacket.currentIndex().row(), dlg.m_hexView.GetSelStart(), dlg.m_hexView.GetSelEnd()})
      state << QString::number(n);
    state << HexBytes(dlg) << (dlg.GetDlgItem(IDC_START)->isEnabled() ? "start" : "-")
          << (dlg.GetDlgItem(IDC_STOP)->isEnabled() ? "stop" : "-");
    return state.join('|').toStdString();
  };
  enum Then { kNothing, kSelect, kScroll };
  const struct { int nListed; bool bStop; int nIcmp; int nRows; Then then; } chunks[] = {
      {3, false, 0, 3, kSelect},     // then a row is selected, with Start off as while capturing
      {6, false, 0, 9, kNothing},    // rows on top of a selected row
      {20, false, 0, 29, kScroll},   // then the view is scrolled away from the newest rows
      {470, false, 1, 501, kNothing},  // with two ICMP rows, exactly 501 rows: no clear yet
      {1, false, 1, 1, kNothing},    // the 502nd empties the list at the batch's edge
      {1200, true, 0, 199, kNothing},  // two clears inside one batch, a stop between
  };
  constexpr int kSliceNotices = 7;
  int nPaintPoints = 0;
  for (const auto& c : chunks) {
    single.m_bIcmp = batched.m_bIcmp = c.nIcmp;
    const int nFirst = nSerial;
    const std::vector<EngineNotice*> forSingle = makeChunk(c.nListed, c.bStop);
    nSerial = nFirst;
    const std::vector<EngineNotice*> forBatched = makeChunk(c.nListed, c.bStop);
    for (std::size_t nAt = 0; nAt < forBatched.size(); nAt += kSliceNotices) {
      const std::size_t nEnd = std::min(nAt + kSliceNotices, forBatched.size());
      for (std::size_t i = nAt; i < nEnd; ++i) Notify(single, forSingle[i]);
      batched.OnEngineNotices(std::span(forBatched).subspan(nAt, nEnd - nAt));
      nNowMs += 10;
      if (batched.m_listPacket.Model()->HasGathered()) continue;
      ++nPaintPoints;
      PaintDue();
      ASSERT_EQ(visible(batched), visible(single)) << c.nListed << " at " << nAt;
      nUnhanded = 2 * std::count_if(forBatched.begin() + static_cast<std::ptrdiff_t>(nEnd), forBatched.end(),
                                    [](const EngineNotice* p) { return p && p->pRecord; });
      ASSERT_TRUE(heldOnce()) << c.nListed << " at " << nAt;
    }
    // The rest shows once its time is up.
    nNowMs += CPacketList::kPaintPaceMs;
    ASSERT_TRUE(apptest::ProcessUntil([&] { return !batched.m_listPacket.Model()->HasGathered(); }));
    ++nPaintPoints;
    nUnhanded = 0;
    ASSERT_EQ(visible(batched), visible(single)) << c.nListed;
    ASSERT_TRUE(heldOnce()) << c.nListed;
    EXPECT_EQ(single.m_listPacket.GetItemCount(), c.nRows) << c.nListed;
    for (CMonitorDlg* pDlg : {&single, &batched}) {
      CPacketList& list = pDlg->m_listPacket;
      if (c.then == kSelect) {
        pDlg->GetDlgItem(IDC_START)->setEnabled(false);
        list.selectionModel()->setCurrentIndex(list.Model()->index(1, 0),
                                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        pDlg->m_hexView.SetSelection(0, 1);
      } else if (c.then == kScroll) {
        list.scrollTo(list.Model()->index(6, 0), QAbstractItemView::PositionAtTop);
        ASSERT_EQ(TopRow(list), 6);
      }
    }
  }
  EXPECT_TRUE(visible(batched).ends_with("|start|-"));
  EXPECT_GT(nPaintPoints, 20);  // compared while rows arrived, not only at the ends of chunks
  // Records gathered and not yet shown are freed by "&cls" and with the dialog.
  for (bool bClose : {false, true}) {
    nNowMs += 10;
    batched.OnEngineNotices(makeChunk(5, false));
    ASSERT_TRUE(batched.m_listPacket.Model()->HasGathered());
    ASSERT_TRUE(heldOnce());
    if (bClose) {
      pBatched.reset();
    } else {
      batched.ClearList();
      EXPECT_TRUE(heldOnce());
    }
  }
  EXPECT_EQ(CountLivePacketRecords() - nLiveBefore, single.m_listPacket.GetListedCount());
}

// Rows arriving in every slice are painted ten times a second, not once per
// slice; a row after a quiet spell is shown at once; input is painted at once
// while gathered rows wait for their time. Counted against the pace's clock.
TEST_F(MonitorDlgTest, ArrivingRowsArePaintedAtAReadersPace) {
  CPacketList& list = m_dlg.m_listPacket;
  qint64 nNowMs = 1000;
  list.SetPaceClockForTesting([&nNowMs] { return nNowMs; });
  auto slice = [&](int nRows) {
    std::vector<EngineNotice*> notices;
    for (int i = 0; i < nRows; ++i) notices.push_back(MakeNotice(NOTICE_PACKET, MakeRecord("UDP")));
    m_dlg.OnEngineNotices(notices);
  };
  PaintDue();
  PaintCounter paints(list.viewport());
  for (int i = 0; i < 100; ++i) {  // a second of slices 10 ms apart
    slice(3);
    PaintDue();
    nNowMs += 10;
  }
  EXPECT_GE(paints.nPaints, 10);
  EXPECT_LE(paints.nPaints, 12);
  EXPECT_EQ(list.GetItemCount(), 3 * 91);  // what came up to the last paint, at 900 ms
  EXPECT_EQ(list.GetListedCount(), 300);
  ASSERT_TRUE(apptest::ProcessUntil([&] { return list.GetItemCount() == 300; }));
  // Quiet for the pace's time: the next row is shown at once.
  nNowMs += CPacketList::kPaintPaceMs;
  slice(1);
  EXPECT_EQ(list.GetItemCount(), 301);
  // A row that has to wait does not hold back a click's paint.
  nNowMs += 10;
  slice(1);
  ASSERT_EQ(list.GetItemCount(), 301);
  PaintDue();
  const int nBefore = paints.nPaints;
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.Model()->index(0, 0)).center());
  PaintDue();
  EXPECT_GT(paints.nPaints, nBefore);
  EXPECT_EQ(list.GetItemCount(), 301);
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 0);
}

// Scrolled away from the newest rows, arriving rows leave the rows in view,
// and a selected row, where they are; at the top the newest rows come into
// view; the 502nd row still empties the list.
TEST_F(MonitorDlgTest, ScrolledAwayTheRowsInViewStayWhereTheyAre) {
  CPacketList& list = m_dlg.m_listPacket;
  for (int i = 0; i < 100; ++i) NotifyPacket("TCP", std::to_string(i));
  list.scrollTo(list.Model()->index(50, 0), QAbstractItemView::PositionAtTop);
  const QModelIndex selected = list.Model()->index(52, 0);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(selected).center());
  ASSERT_EQ(HexBytes(m_dlg), "47");
  const QRect rcSelected = list.visualRect(selected);
  const QString strTop = PacketCellText(*list.GetItemData(TopRow(list)), 6);
  NotifyPacket("UDP", "one");
  m_dlg.OnEngineNotices(std::vector{MakeNotice(NOTICE_PACKET, MakeRecord("UDP", "two")),
                                    MakeNotice(NOTICE_PACKET, MakeRecord("UDP", "three"))});
  PaintDue();
  EXPECT_EQ(PacketCellText(*list.GetItemData(TopRow(list)), 6), strTop);
  EXPECT_EQ(list.visualRect(list.Model()->index(list.GetNextItem(-1, LVNI_SELECTED), 0)), rcSelected);
  EXPECT_EQ(PacketCellText(*list.GetItemData(list.GetNextItem(-1, LVNI_SELECTED)), 6), "47");
  list.scrollToTop();
  NotifyPacket("UDP", "newest");
  PaintDue();
  EXPECT_EQ(TopRow(list), 0);
  EXPECT_EQ(PacketCellText(*list.GetItemData(0), 6), "newest");
  // Rows arriving after "&cls", before the view has laid out the empty list.
  list.scrollTo(list.Model()->index(50, 0), QAbstractItemView::PositionAtTop);
  m_dlg.ClearList();
  std::vector<EngineNotice*> notices;
  for (int i = 0; i < 40; ++i) notices.push_back(MakeNotice(NOTICE_PACKET, MakeRecord("UDP", "after cls")));
  m_dlg.OnEngineNotices(notices);
  PaintDue();
  EXPECT_EQ(TopRow(list), 0);
  list.scrollTo(list.Model()->index(30, 0), QAbstractItemView::PositionAtTop);
  while (list.GetItemCount() <= MAX_LIST_ITEMS) NotifyPacket("UDP", "filler");
  notices.clear();
  for (int i = 0; i < 40; ++i) notices.push_back(MakeNotice(NOTICE_PACKET, MakeRecord("UDP", "after the clear")));
  m_dlg.OnEngineNotices(notices);
  PaintDue();
  EXPECT_EQ(list.GetItemCount(), 40);
  EXPECT_EQ(TopRow(list), 0);
}

// Through the real notify window, in posting order: Start comes back with the
// stopped notice only. What is still queued when a dialog goes away is freed
// (LeakSanitizer).
TEST_F(MonitorDlgTest, PostedNoticesArriveInOrderAndStoppedEnablesStart) {
  Item(IDC_START)->setEnabled(false);  // as after a successful Start
  for (EngineNotice* pNotice : {MakeNotice(NOTICE_PACKET, MakeRecord("TCP")),
                                MakeNotice(NOTICE_PACKET, MakeRecord("UDP")), MakeNotice(NOTICE_STOPPED)})
    ASSERT_TRUE(PostMessage(m_dlg.GetNotifyWindow(), WM_ENGINE_NOTIFY, reinterpret_cast<WPARAM>(pNotice), 0));
  EXPECT_FALSE(Item(IDC_START)->isEnabled());
  ASSERT_TRUE(apptest::ProcessUntil([&] { return Item(IDC_START)->isEnabled(); }));
  EXPECT_FALSE(Item(IDC_STOP)->isEnabled());
  EXPECT_EQ(Column(m_dlg), (QStringList{"UDP", "TCP"}));
  auto pGoing = std::make_unique<CMonitorDlg>();
  ASSERT_TRUE(PostMessage(pGoing->GetNotifyWindow(), WM_ENGINE_NOTIFY,
                          reinterpret_cast<WPARAM>(MakeNotice(NOTICE_PACKET, MakeRecord("TCP"))), 0));
}

// The hex view gets exactly the payload bytes of the selected row; Copy is
// offered only with bytes selected there.
TEST_F(MonitorDlgTest, SelectionShowsTheRowsBytesInTheHexView) {
  NotifyPacket("TCP", "first");
  NotifyPacket("UDP", "second-payload");
  CPacketList& list = m_dlg.m_listPacket;
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.Model()->index(1, 0)).center());
  ASSERT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 1);
  EXPECT_EQ(HexBytes(m_dlg), "first");
  EXPECT_FALSE(CopyOffered());
  m_dlg.m_hexView.SetSelection(1, 3);
  EXPECT_TRUE(CopyOffered());
  // A new row on top keeps the selection on the same record and leaves the view.
  NotifyPacket("TCP", "third");
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 2);
  EXPECT_EQ(m_dlg.m_hexView.GetSelEnd(), 3);
}

// The longest address shows whole in the closed address box, in the dialog's
// font narrowed to fit; a short one keeps the font as it is.
TEST_F(MonitorDlgTest, TheAddressBoxShowsTheLongestAddressWhole) {
  CComboBox& combo = m_dlg.m_comboAddr;
  for (const char* pszAddr : {"255.255.255.255", "1.2.3.4"}) {
    combo.SetCurSel(combo.AddString(pszAddr));
    const QString strShown = combo.currentText();
    EXPECT_LE(QFontMetrics(combo.LabelFont()).horizontalAdvance(strShown), combo.LabelRect().width()) << pszAddr;
    EXPECT_EQ(combo.LabelFont() == combo.font(), strShown.size() < 10) << pszAddr;
  }
  // Painted so: the text ends before the label's last pixel column.
  combo.SetCurSel(combo.findText("255.255.255.255"));
  const QRect rcLabel = combo.LabelRect();
  const QImage withText = combo.grab(QRect(rcLabel.right(), rcLabel.top(), 1, rcLabel.height())).toImage();
  combo.SetCurSel(-1);
  EXPECT_EQ(withText, combo.grab(QRect(rcLabel.right(), rcLabel.top(), 1, rcLabel.height())).toImage());
}

// Tabbing into the list marks a row without selecting it; Down then selects
// the newest row, not the one below it.
TEST_F(MonitorDlgTest, TabIntoTheListThenDownSelectsTheNewestRow) {
  for (const char* pszPayload : {"old", "middle", "newest"}) NotifyPacket("UDP", pszPayload);
  CPacketList& list = m_dlg.m_listPacket;
  list.setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(apptest::ProcessUntil([&] { return list.hasFocus(); }));
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 0);
  EXPECT_EQ(HexBytes(m_dlg), "newest");
}

TEST_F(MonitorDlgTest, AboutBoxOpeners) {
  apptest::ModalRecorder modal;
  // The item the system menu gains, and commands that match it but for the low four bits.
  CSystemMenu* pMenu = m_dlg.GetSystemMenu(FALSE);
  ASSERT_TRUE(pMenu);
  EXPECT_TRUE(pMenu->GetMenuString(pMenu->GetMenuItemCount() - 1).endsWith("\tF1"));  // its key, as Close shows Alt+F4
  pMenu->Invoke(pMenu->GetMenuItemID(pMenu->GetMenuItemCount() - 1));
  EXPECT_EQ(modal.classes, QStringList{"CAboutDlg"});
  for (const UINT nID : {0x001Fu, 0x0020u, UINT{SC_MOVE}}) m_dlg.OnSysCommand(nID, 0);
  EXPECT_EQ(modal.classes.size(), 2);
  // F1 wherever the focus is, the hex view (which keeps most keys) included.
  for (QWidget* pFocus : {static_cast<QWidget*>(&m_dlg.m_comboAddr), static_cast<QWidget*>(&m_dlg.m_hexView)}) {
    pFocus->setFocus();
    ASSERT_TRUE(apptest::ProcessUntil([&] { return pFocus->hasFocus(); }));
    QTest::keyClick(pFocus, Qt::Key_F1);
  }
  EXPECT_EQ(modal.classes.size(), 4);
}

// The payload reads up to its first zero and never past the block: control
// characters shown as dots, UTF-8 where valid, else each byte as Latin-1.
TEST(PacketCells, PayloadText) {
  std::unique_ptr<PacketRecord, void (*)(PacketRecord*)> pRecord(MakeRecord("TCP"), DeletePacketRecord);
  const struct { std::string strBytes; const char* pszShown; } texts[] = {
      {std::string("GET /\r\n\tx\x7fy\0tail", 13), "GET /\u00b7\u00b7\u00b7x\u00b7y"},
      {"Gr\xc3\xb6\xc3\x9f" "e", "Gr\u00f6\u00dfe"}, {"Gr\xf6\xdf" "e", "Gr\u00f6\u00dfe"},
      {"\xe2\x82\xac 5", "\u20ac 5"}, {"\xe2\x82 5", "\u00e2\u00b7 5"}, {"a\xe2\x80\xa8" "b", "a\u00b7b"},
      {std::string(PACKET_BUFFER_SIZE, 'a'), nullptr}};
  for (const auto& t : texts) {
    std::fill(pRecord->pData, pRecord->pData + PACKET_BUFFER_SIZE, BYTE(0));
    std::memcpy(pRecord->pData, t.strBytes.data(), t.strBytes.size());
    EXPECT_EQ(PacketCellText(*pRecord, 6), t.pszShown ? QString::fromUtf8(t.pszShown) : QString(1500, u'a'));
  }
}

// The list's own cell painting leaves exactly the pixels of Qt's item painting
// of the whole texts: short and elided cells, a payload whose reading depends
// on a byte past what a cell shows, wide characters at the cut, a selected row.
TEST(PacketCells, PaintedAsQtPaintsTheWholeText) {
  CPacketList list;
  list.SetExtendedStyle(LVS_EX_FULLROWSELECT);
  for (int nWidthPx : {300, 40, 100, 40, 100, 50, 40}) list.InsertColumn(0, "c", LVCFMT_LEFT, nWidthPx);
  list.header()->resizeSection(0, 28);
  std::string strLatin1 = "caf\xc3\xa9 " + std::string(900, 'l');
  strLatin1[700] = '\xff';
  for (const std::string& strPayload :
       {std::string("short \x01\x02 text"), std::string(1400, 'W'), strLatin1, "\xe2\x82\xac" + std::string(600, 'i'),
        std::string(150, 'i') + "\xf0\x9f\x98\x80\xe4\xb8\xad\xe6\x96\x87" + std::string(300, 'm'), std::string(600, 'i')})
    list.InsertRecord(apptest::MakeRecord("ICMP", strPayload, 1500));
  list.resize(720, 200);
  list.show();
  list.selectionModel()->select(list.Model()->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  QAbstractItemDelegate* pOurs = list.itemDelegate();
  QFont narrow = list.font();  // narrow enough that twice the average width in characters fits a cell
  narrow.setLetterSpacing(QFont::AbsoluteSpacing, -2);
  for (const QFont& font : {list.font(), narrow}) {
    list.setFont(font);
    list.setItemDelegate(pOurs);
    const QImage ours = list.viewport()->grab().toImage();
    list.setItemDelegate(new QStyledItemDelegate(&list));
    EXPECT_EQ(ours, list.viewport()->grab().toImage()) << font.letterSpacing();
  }
  // A cell just as wide as its text has no room for the margins: the tooltip
  // shows the text. In the width Qt's item painting asks for, none.
  list.header()->resizeSection(0, list.fontMetrics().horizontalAdvance("ICMP"));
  const QPoint ptProt = list.visualRect(list.Model()->index(0, 0)).center();
  EXPECT_EQ(list.CellToolTip(ptProt), "ICMP");
  list.resizeColumnToContents(0);
  EXPECT_EQ(list.CellToolTip(ptProt), "");
}

TEST(StartUp, InitInstanceRunsTheMainDialogOnlyOnceSocketsStart) {
  apptest::MessageBoxRecorder boxes;
  bool bMainDuringRun = false;
  apptest::ModalRecorder modal([&](CDialog& dlg) { return bMainDuringRun = AfxGetMainWnd() == &dlg, IDCANCEL; });
  SetSocketStartupFailsForTesting(true);
  EXPECT_EQ(theApp.InitInstance(), FALSE);
  EXPECT_EQ(boxes.texts, QStringList{FindStringResource(IDS_SOCKET_INIT_FAILED)});
  EXPECT_TRUE(modal.classes.isEmpty());
  SetSocketStartupFailsForTesting(false);
  EXPECT_EQ(theApp.InitInstance(), FALSE);
  EXPECT_EQ(modal.classes, QStringList{"CMonitorDlg"});
  EXPECT_TRUE(bMainDuringRun);
  EXPECT_EQ(AfxGetMainWnd(), nullptr);
}

}  // namespace
