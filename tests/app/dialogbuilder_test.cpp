// The platform layer's dialog services: dialog units, the template builder, the
// sorted drop-down list, message boxes, the dialog's system menu and the dialog
// manager's keys and mouse rules.
#include <gtest/gtest.h>

#include <QtCore/QTimer>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>
#include <array>
#include <climits>

#include "apptest.h"
#include "platform/ui/combobox.h"
#include "platform/ui/dialog.h"
#include "platform/ui/dialogtemplate.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/systemmenu.h"
#include "res/resource.h"
#include "res/restypes.h"

using apptest::App;
using apptest::ProcessUntil;

namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
  struct Case { int a, b, c, expected; };
  const Case cases[] = {
      {5, 3, 2, 8},     {-5, 3, 2, -8},   {5, -3, 2, -8},  {4, 3, 2, 6},
      {1, 1, 3, 0},     {2, 1, 3, 1},     {434, 6, 4, 651}, {285, 13, 8, 463},
      {1, 1, 0, -1},    {INT_MAX, 2, 4, INT_MAX / 2 + 1},   {0, 7, 4, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
  }
}

TEST(DialogUnits, BaseUnitsAndRectangles) {
  // Average width = (advance of the 52 letters / 26 + 1) / 2, height as given.
  EXPECT_EQ(DialogBaseUnitsFromMetrics(312, 12), (DialogBaseUnits{6, 12}));
  EXPECT_EQ(DialogBaseUnitsFromMetrics(338, 15), (DialogBaseUnits{7, 15}));
  EXPECT_EQ(DialogBaseUnitsFromMetrics(0, 0), (DialogBaseUnits{0, 0}));

  struct Case { QRect rcDlu; DialogBaseUnits units; QRect rcPx; };
  const Case cases[] = {
      {{0, 0, 434, 285}, {6, 12}, {0, 0, 651, 428}},        // 427.5 rounds up
      {{42, 20, 71, 52}, {6, 12}, {63, 30, 107, 78}},       // 106.5 rounds up
      {{4, 65, 224, 1}, {7, 15}, {7, 122, 392, 2}},          // a 1-unit line stays visible
      {{-3, -5, 10, 10}, {6, 12}, {-5, -8, 15, 15}},         // negative positions round outward
  };
  for (const Case& c : cases) EXPECT_EQ(MapDialogRect(c.rcDlu, c.units), c.rcPx) << c.rcDlu.x();
}

TEST(DialogTemplateBuilder, ClassifiesEveryControlOfBothTemplates) {
  using K = ControlKind;
  const K mainKinds[] = {K::GroupBox, K::ComboBox, K::Label, K::PushButton, K::GroupBox,
                         K::PushButton, K::PushButton, K::ListView, K::PushButton,
                         K::MultiLineEdit, K::MultiLineEdit, K::CheckBox, K::CheckBox, K::CheckBox};
  const K aboutKinds[] = {K::Icon, K::Label, K::DefPushButton, K::Frame, K::Label, K::LineEdit};
  const DialogTemplate* pMain = FindDialogTemplate(IDD_MONITOR_DIALOG);
  const DialogTemplate* pAbout = FindDialogTemplate(IDD_ABOUT_DIALOG);
  ASSERT_TRUE(pMain && pAbout);
  ASSERT_EQ(pMain->controls.size(), std::size(mainKinds));
  ASSERT_EQ(pAbout->controls.size(), std::size(aboutKinds));
  for (std::size_t i = 0; i < std::size(mainKinds); ++i)
    EXPECT_EQ(ClassifyControl(pMain->controls[i]), mainKinds[i]) << "102 #" << i;
  for (std::size_t i = 0; i < std::size(aboutKinds); ++i)
    EXPECT_EQ(ClassifyControl(pAbout->controls[i]), aboutKinds[i]) << "100 #" << i;
  EXPECT_EQ(ClassifyControl({1, "SomeCustomClass", "", 0, 0, 1, 1, 0x50000000, 0}), K::Unknown);
}

// A dialog built from a template, recording what reaches its handlers.
class RecordingDialog : public CDialog {
 public:
  explicit RecordingDialog(UINT nIDTemplate) : CDialog(FindDialogTemplate(nIDTemplate)) {}
  BOOL OnCommand(UINT nID) override {
    commands.push_back(nID);
    return CDialog::OnCommand(nID);
  }
  void OnOK() override { ++nOK; }
  void OnCancel() override {
    ++nCancel;
    CDialog::OnCancel();
  }
  void OnSysCommand(UINT nID, LPARAM lParam) override {
    sysCommands.push_back(nID);
    CDialog::OnSysCommand(nID, lParam);
  }

  std::vector<UINT> commands;
  std::vector<UINT> sysCommands;
  int nOK = 0;
  int nCancel = 0;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
  // Shows the dialog and waits (bounded) until it is the active window, which
  // shortcuts and focus need.
  static void ShowActive(QWidget& w) {
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  }
};

TEST_F(DialogTest, BuildsTemplate102AtTemplatePositionsInTabOrder) {
  RecordingDialog dlg(IDD_MONITOR_DIALOG);
  ASSERT_TRUE(dlg.Create());
  const DialogTemplate& tmpl = *dlg.GetTemplate();
  const DialogBaseUnits units = GetDialogBaseUnits(dlg.font());
  EXPECT_GT(units.cxChar, 0);
  EXPECT_GT(units.cyChar, 0);
  EXPECT_EQ(dlg.size(), MapDialogRect(QRect(0, 0, 434, 285), units).size());
  EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8(tmpl.pszCaption));
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);

  const QList<QWidget*> controls = GetDlgItems(&dlg);
  ASSERT_EQ(controls.size(), static_cast<qsizetype>(tmpl.controls.size()));
  for (qsizetype i = 0; i < controls.size(); ++i) {
    const ControlTemplate& ctl = tmpl.controls[static_cast<std::size_t>(i)];
    EXPECT_EQ(GetDlgCtrlID(controls[i]), ctl.nID) << i;
    EXPECT_EQ(GetControlTemplate(controls[i]), &ctl) << i;
    const QRect rcPx = MapDialogRect(QRect(ctl.x, ctl.y, ctl.cx, ctl.cy), units);
    if (ClassifyControl(ctl) == ControlKind::ComboBox) {
      EXPECT_EQ(controls[i]->pos(), rcPx.topLeft());  // closed height is the font's
      EXPECT_EQ(controls[i]->width(), rcPx.width());
    } else {
      EXPECT_EQ(controls[i]->geometry(), rcPx) << "control #" << i << " id " << ctl.nID;
    }
    EXPECT_EQ(controls[i]->isVisibleTo(&dlg), (ctl.dwStyle & WS_VISIBLE) != 0) << i;
  }
  EXPECT_EQ(GetDlgItem(&dlg, IDC_STATIC), controls[2]);  // first -1 in template order
  EXPECT_TRUE(qobject_cast<QGroupBox*>(dlg.GetDlgItem(IDC_CONTROL_GROUP)));
  EXPECT_EQ(qobject_cast<QLabel*>(controls[2])->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  EXPECT_TRUE(qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_TCP)));
  EXPECT_TRUE(qobject_cast<CComboBox*>(dlg.GetDlgItem(IDC_BIND_IP))->IsSorted());
  EXPECT_EQ(dlg.GetDlgItem(4242), nullptr);

  // The focus chain follows the template through its tab stops.
  const int expectedTabOrder[] = {IDC_BIND_IP, IDC_LIST_IP, IDC_START, IDC_STOP, IDC_PACKET_LIST,
                                  IDC_CLEAR, IDC_HEX_VIEW, IDC_HIDDEN_EDIT, IDC_TCP, IDC_UDP, IDC_ICMP};
  QWidget* pWidget = dlg.GetDlgItem(IDC_BIND_IP);
  for (int nID : expectedTabOrder) {
    while (pWidget && !(GetControlTemplate(pWidget) && (pWidget->focusPolicy() & Qt::TabFocus)))
      pWidget = pWidget->nextInFocusChain();
    ASSERT_TRUE(pWidget);
    EXPECT_EQ(GetDlgCtrlID(pWidget), nID);
    pWidget = pWidget->nextInFocusChain();
  }
  // The first tab stop has the focus.
  EXPECT_EQ(dlg.focusWidget(), dlg.GetDlgItem(IDC_BIND_IP));
}

TEST_F(DialogTest, MnemonicsPressButtonsAndLabelsHandFocusOn) {
  RecordingDialog dlg(IDD_MONITOR_DIALOG);
  ASSERT_TRUE(dlg.Create());
  ShowActive(dlg);
  struct Case { Qt::Key key; UINT nID; };
  for (const Case& c : {Case{Qt::Key_S, IDC_START}, Case{Qt::Key_T, IDC_STOP}, Case{Qt::Key_C, IDC_CLEAR}}) {
    dlg.commands.clear();
    QTest::keyClick(&dlg, c.key, Qt::AltModifier);
    // A mnemonic animates the click, which lands a moment later.
    ASSERT_TRUE(ProcessUntil([&] { return !dlg.commands.empty(); })) << c.nID;
    EXPECT_EQ(dlg.commands[0], c.nID);
  }

  // A static's '&' names the next focusable control, unless SS_NOPREFIX.
  static const std::array<ControlTemplate, 4> controls{{
      {-1, "STATIC", "&Name:", 4, 4, 30, 8, 0x50000000, 0},
      {-1, "STATIC", "A&&B", 4, 14, 30, 8, 0x50000000, 0},
      {10, "EDIT", "", 40, 4, 60, 12, 0x50810080, 0},
      {-1, "STATIC", "&Plain", 4, 24, 30, 8, 0x50000080, 0},
  }};
  static const DialogTemplate tmpl{500, "t", 0, 0, 120, 40, 0x80C800C0, 0, 9, "宋体", controls};
  QDialog plain;
  BuildDialogFromTemplate(&plain, tmpl, {});
  const QList<QWidget*> items = GetDlgItems(&plain);
  EXPECT_EQ(qobject_cast<QLabel*>(items[0])->buddy(), items[2]);
  EXPECT_EQ(qobject_cast<QLabel*>(items[1])->buddy(), nullptr);  // "&&" is a literal '&'
  EXPECT_EQ(qobject_cast<QLabel*>(items[3])->buddy(), nullptr);
  EXPECT_TRUE(qobject_cast<QLineEdit*>(items[2])->hasFrame());  // WS_BORDER
}

TEST_F(DialogTest, ReplaceDlgItemTakesPlaceIdAndTabPosition) {
  RecordingDialog dlg(IDD_MONITOR_DIALOG);
  ASSERT_TRUE(dlg.Create());
  QWidget* pOld = dlg.GetDlgItem(IDC_PACKET_LIST);
  const QRect rcOld = pOld->geometry();
  QPointer<QWidget> pOldGuard(pOld);
  QTreeView view;
  EXPECT_FALSE(ReplaceDlgItem(&dlg, 4242, &view));
  ASSERT_TRUE(ReplaceDlgItem(&dlg, IDC_PACKET_LIST, &view));
  EXPECT_TRUE(pOldGuard.isNull());
  EXPECT_EQ(dlg.GetDlgItem(IDC_PACKET_LIST), &view);
  EXPECT_EQ(view.parentWidget(), &dlg);
  EXPECT_EQ(view.geometry(), rcOld);
  EXPECT_TRUE(view.isVisible());
  EXPECT_FALSE(IsBuiltFromTemplate(&view));
  QWidget* pNext = view.nextInFocusChain();
  while (!GetControlTemplate(pNext)) pNext = pNext->nextInFocusChain();
  EXPECT_EQ(GetDlgCtrlID(pNext), IDC_CLEAR);
  EXPECT_TRUE(ReplaceDlgItem(&dlg, IDC_PACKET_LIST, &view));  // binding again changes nothing
  view.setParent(nullptr);  // the stack object outlives nothing of the dialog
}

TEST(SortedComboBox, InsertsAsTextAndKeepsNoSelection) {
  App();
  struct Case { QStringList adds; QStringList expected; };
  const Case cases[] = {
      {{"192.168.1.2", "192.168.1.10", "10.0.0.1"}, {"10.0.0.1", "192.168.1.10", "192.168.1.2"}},
      {{"b", "A", "a", "B"}, {"A", "a", "b", "B"}},  // case-insensitive, equal ones in arrival order
      {{}, {}},
  };
  for (const Case& c : cases) {
    CComboBox combo;
    combo.SetWindowStyle(0x50210103);  // CBS_DROPDOWNLIST | CBS_SORT
    for (const QString& s : c.adds) combo.AddString(s);
    QStringList got;
    for (int i = 0; i < combo.GetCount(); ++i) {
      QString s;
      const int nLen = combo.GetLBText(i, s);
      EXPECT_EQ(nLen, s.size());
      got << s;
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);
  }
  CComboBox unsorted;
  unsorted.SetWindowStyle(0x50210003);
  unsorted.AddString("b");
  EXPECT_EQ(unsorted.AddString("a"), 1);
  EXPECT_EQ(unsorted.SetCurSel(1), 1);
  EXPECT_EQ(unsorted.SetCurSel(2), CB_ERR);
  EXPECT_EQ(unsorted.GetCurSel(), CB_ERR);
  QString s;
  EXPECT_EQ(unsorted.GetLBText(5, s), CB_ERR);
  EXPECT_EQ(unsorted.DeleteString(0), 1);
  EXPECT_EQ(unsorted.DeleteString(0), 0);
  EXPECT_EQ(unsorted.DeleteString(0), CB_ERR);
}

TEST_F(DialogTest, MessageBoxIsWarningWithOkCaptionedWithTheTitleOwnedByTheDialog) {
  EXPECT_EQ(AfxGetAppTitle(), "Morvane");
  {
    apptest::MessageBoxRecorder boxes;
    AfxMessageBox("one");
    AfxMessageBox("two", MB_OK);
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_EQ(boxes.Texts(), (QStringList{"one", "two"}));
    EXPECT_EQ(boxes.calls[0].strCaption, "Morvane");
    EXPECT_EQ(boxes.calls[0].nType & 0xF0, MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes.calls[0].pOwner, nullptr);  // no dialog yet
  }
  // The real box, closed by the test once it is up.
  RecordingDialog dlg(IDD_MONITOR_DIALOG);
  ASSERT_TRUE(dlg.Create());
  ShowActive(dlg);
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString strTitle;
  QWidget* pOwner = nullptr;
  QMessageBox::StandardButtons buttons;
  QTimer::singleShot(0, [&] {
    auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(pBox);
    icon = pBox->icon();
    strTitle = pBox->windowTitle();
    pOwner = pBox->parentWidget();
    buttons = pBox->standardButtons();
    pBox->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(AfxMessageBox("Bind ip failed."), 1);
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_EQ(strTitle, "Morvane");
  EXPECT_EQ(pOwner, &dlg);
  EXPECT_EQ(buttons, QMessageBox::Ok);
}

TEST_F(DialogTest, SystemMenuHasStandardItemsAndDeliversCommands) {
  RecordingDialog dlg(IDD_MONITOR_DIALOG);
  ASSERT_TRUE(dlg.Create());
  CSystemMenu* pMenu = dlg.GetSystemMenu(FALSE);
  ASSERT_TRUE(pMenu);
  ASSERT_EQ(pMenu->GetMenuItemCount(), 3);
  EXPECT_EQ(pMenu->GetMenuItemID(0), SC_MINIMIZE);
  EXPECT_EQ(pMenu->GetMenuItemID(1), 0u);
  EXPECT_EQ(pMenu->GetMenuItemID(2), SC_CLOSE);
  EXPECT_EQ(pMenu->GetMenuItemID(3), static_cast<UINT>(-1));
  pMenu->AppendMenu(MF_SEPARATOR);
  pMenu->AppendMenu(MF_STRING, 0x0010, "&About");
  EXPECT_EQ(pMenu->GetMenuItemID(4), 0x0010u);
  EXPECT_EQ(pMenu->GetMenuString(4), "&About");

  // Alt+Space opens it; the chosen item reaches OnSysCommand after it closes.
  ShowActive(dlg);
  bool bOpened = false;
  QTimer::singleShot(0, [&] {
    auto* pPopup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    bOpened = pPopup == pMenu->menu();
    if (!pPopup) return;
    pPopup->setActiveAction(pPopup->actions().at(4));
    QTest::keyClick(pPopup, Qt::Key_Return);
  });
  QTest::keyClick(&dlg, Qt::Key_Space, Qt::AltModifier);
  EXPECT_TRUE(bOpened);
  EXPECT_EQ(dlg.sysCommands, std::vector<UINT>{0x0010u});

  // A right click on the background opens it too; on a button it does not.
  for (const auto& [nAtID, bExpectOpen] : {std::pair{IDC_CONTROL_GROUP, true}, std::pair{IDC_START, false}}) {
    bOpened = false;
    QTimer::singleShot(0, [&] {
      if (QWidget* pPopup = QApplication::activePopupWidget()) {
        bOpened = true;
        pPopup->close();
      }
    });
    QWidget* pAt = dlg.GetDlgItem(nAtID);
    const QPoint pt = nAtID == IDC_CONTROL_GROUP ? QPoint(6, pAt->height() - 6) : pAt->rect().center();
    QContextMenuEvent ev(QContextMenuEvent::Mouse, pt, pAt->mapToGlobal(pt));
    QApplication::sendEvent(pAt, &ev);
    QCoreApplication::processEvents();
    EXPECT_EQ(bOpened, bExpectOpen) << nAtID;
  }

  // Close is the system's: it ends in OnCancel.
  pMenu->Invoke(SC_CLOSE);
  EXPECT_EQ(dlg.nCancel, 1);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), IDCANCEL);
}

TEST_F(DialogTest, EnterPressesTheDefaultButtonAndCloseCancels) {
  // Template 100 has a default push button: Enter in its edit presses OK.
  RecordingDialog about(IDD_ABOUT_DIALOG);
  ASSERT_TRUE(about.Create());
  ShowActive(about);
  EXPECT_EQ(about.focusWidget(), about.GetDlgItem(IDOK));
  QWidget* pEdit = about.GetDlgItem(IDC_AUTHOR_EDIT);
  pEdit->setFocus();
  ASSERT_TRUE(ProcessUntil([&] { return pEdit->hasFocus(); }));
  QTest::keyClick(pEdit, Qt::Key_Return);
  EXPECT_EQ(about.commands, std::vector<UINT>{IDOK});
  // The close button rejects, which is IDCANCEL.
  about.close();
  EXPECT_EQ(about.nCancel, 1);
  EXPECT_EQ(about.result(), IDCANCEL);
}

TEST_F(DialogTest, DataExchangeOfChecksAndTexts) {
  class ExchangeDialog : public CDialog {
   public:
    ExchangeDialog() : CDialog(FindDialogTemplate(IDD_MONITOR_DIALOG)) {}
    void DoDataExchange(CDataExchange* pDX) override {
      DDX_Check(pDX, IDC_TCP, m_nCheck);
      DDX_Text(pDX, IDC_HIDDEN_EDIT, m_strText);
    }
    int m_nCheck = 1;
    QString m_strText = "hello";
  } dlg;
  ASSERT_TRUE(dlg.Create());
  auto* pCheck = qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_TCP));
  EXPECT_TRUE(pCheck->isChecked());
  struct Case { int nLoad; Qt::CheckState state; int nSaved; };
  const Case cases[] = {{0, Qt::Unchecked, 0}, {1, Qt::Checked, 1}, {3, Qt::Unchecked, 0}, {-1, Qt::Unchecked, 0}};
  for (const Case& c : cases) {
    dlg.m_nCheck = c.nLoad;
    dlg.UpdateData(FALSE);
    EXPECT_EQ(pCheck->checkState(), c.state) << c.nLoad;
    dlg.m_nCheck = 99;
    dlg.UpdateData(TRUE);
    EXPECT_EQ(dlg.m_nCheck, c.nSaved) << c.nLoad;
  }
  dlg.m_strText = "x";
  dlg.UpdateData(TRUE);
  EXPECT_EQ(dlg.m_strText, "hello");
}

TEST_F(DialogTest, MissingResourcesFail) {
  EXPECT_TRUE(LoadIconResource(4242).isNull());
  CDialog dlg(nullptr);
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_FALSE(dlg.Create());
  EXPECT_EQ(dlg.GetSystemMenu(FALSE), nullptr);
}

}  // namespace
