// The key table and typing, through real key events.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDialog>
#include <QMimeData>
#include <QPushButton>
#include <QVBoxLayout>

#include "hexview_test_util.h"

namespace {

class HexViewKeys : public ::testing::Test {
 protected:
  void Start(int nLength, int nRows = 4) {
    ShowAndFocus(view, nRows);
    SetBytes(view, Sequence(nLength));
  }
  void Key(int nQtKey, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(&view, static_cast<Qt::Key>(nQtKey), mods);
  }
  void Type(const char* pszText) { QTest::keyClicks(&view, QString::fromLatin1(pszText)); }
  QApplication& app = TestApp();
  CHexView view;
};

TEST_F(HexViewKeys, ShiftArrowsExtendTheSelection) {
  Start(40);
  Key(Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 0);
  EXPECT_EQ(view.GetSelEnd(), 1);
  Key(Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 0);
  EXPECT_EQ(view.GetSelEnd(), 2);
  EXPECT_TRUE(GetCaretState().bShown);  // a keyboard move shows the caret

  SetBytes(view, Sequence(40));
  view.SetCaret(5, view.GetCaretArea());
  Key(Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 5);
  EXPECT_EQ(view.GetSelEnd(), 4);
  // Without Shift a move clears the selection.
  Key(Qt::Key_Down);
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
}

TEST_F(HexViewKeys, ArrowsStopAtTheEndsOfTheData) {
  struct Case {
    int nAddr;
    int nArea;
    int nQtKey;
    int nExpectedAddr;
    int nExpectedArea;
  };
  const Case cases[] = {
      {0, AREA_HEX_HIGH, Qt::Key_Left, 0, AREA_HEX_LOW},
      {39, AREA_HEX_LOW, Qt::Key_Right, 39, AREA_HEX_HIGH},
      {5, AREA_HEX_HIGH, Qt::Key_Up, 0, AREA_HEX_HIGH},
      {35, AREA_CHAR, Qt::Key_Down, 35, AREA_CHAR},
      {20, AREA_CHAR, Qt::Key_Down, 36, AREA_CHAR},
      {7, AREA_ADDRESS, Qt::Key_Right, 7, AREA_ADDRESS},  // arrows do nothing in the address column
      {37, AREA_CHAR, Qt::Key_Home, 32, AREA_CHAR},
      {20, AREA_HEX_HIGH, Qt::Key_End, 31, AREA_HEX_HIGH},
      {33, AREA_HEX_HIGH, Qt::Key_End, 39, AREA_HEX_HIGH},
  };
  Start(40);
  for (const Case& c : cases) {
    view.OnVScroll(SB_THUMBTRACK, 0);
    view.SetCaret(c.nAddr, c.nArea);
    Key(c.nQtKey);
    EXPECT_EQ(view.GetCaretAddr(), c.nExpectedAddr) << c.nAddr << " key " << std::hex << c.nQtKey;
    EXPECT_EQ(view.GetCaretArea(), c.nExpectedArea) << c.nAddr << " key " << std::hex << c.nQtKey;
  }
  // End on byte 20 of 31.
  SetBytes(view, Sequence(31));
  view.SetCaret(20, view.GetCaretArea());
  Key(Qt::Key_End);
  EXPECT_EQ(view.GetCaretAddr(), 30);
}

TEST_F(HexViewKeys, PageDownLeavesTheCaretAddressWhereItWas) {
  Start(200);
  ASSERT_EQ(view.GetGeometry().nRowsPerPage, 4);
  view.SetCaret(5, view.GetCaretArea());
  Key(Qt::Key_PageDown);
  EXPECT_EQ(view.GetTopIndex(), 48);  // 64, then one row back toward the caret
  EXPECT_EQ(view.GetCaretAddr(), 5);
  EXPECT_FALSE(GetCaretState().bShown);  // out of view
  Key(Qt::Key_PageUp);
  EXPECT_EQ(view.GetTopIndex(), 0);
  EXPECT_EQ(view.GetCaretAddr(), 5);
  // After the keys the scroll bar moves the caret with the view again.
  view.OnVScroll(SB_LINEDOWN, 0);
  EXPECT_EQ(view.GetCaretAddr(), 21);
}

TEST_F(HexViewKeys, CtrlHomeAndCtrlEnd) {
  Start(100);
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(view.GetCaretAddr(), 99);
  EXPECT_EQ(view.GetTopIndex(), 48);  // row 2 (top 32), then one row down
  Key(Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(view.GetCaretAddr(), 0);
  EXPECT_EQ(view.GetTopIndex(), 0);
  EXPECT_EQ(view.GetSelStart(), 99);
  EXPECT_EQ(view.GetSelEnd(), 0);

  SetBytes(view, Sequence(20));  // fits the window: a partial last row
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(view.GetCaretAddr(), 19);
  EXPECT_EQ(view.GetTopIndex(), 0);
}

TEST_F(HexViewKeys, InsertAndDeleteEditTheBytesEvenWithTypingOff) {
  Start(10);
  view.SetCaret(3, view.GetCaretArea());
  view.SetSelection(2, 6);
  Key(Qt::Key_Insert);  // ends 2 and 6: four zero bytes at the caret
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2, 0, 0, 0, 0, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_TRUE(GetCaretState().bShown);
  SetBytes(view, Sequence(10));
  view.SetCaret(3, view.GetCaretArea());
  view.SetSelection(6, 2);
  Key(Qt::Key_Insert);  // ends 6 and 2: one
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2, 0, 3, 4, 5, 6, 7, 8, 9}));

  SetBytes(view, Sequence(4));
  view.SetCaret(3, view.GetCaretArea());
  Key(Qt::Key_Delete);  // the last byte: the caret rests just behind the new last
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2}));
  EXPECT_EQ(view.GetCaretAddr(), 3);
  EXPECT_TRUE(GetCaretState().bShown);  // edits show the caret at once
  Key(Qt::Key_Delete);  // there, the new last byte goes
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1}));
  EXPECT_EQ(view.GetCaretAddr(), 2);
  view.SetSelection(0, 1);
  Key(Qt::Key_Delete);  // with a selection: clear
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{1}));
  EXPECT_EQ(view.GetCaretAddr(), 0);
  SetBytes(view, {});
  Key(Qt::Key_Delete);
  Key(Qt::Key_Insert);
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0}));
  Key(Qt::Key_Delete);
  Key(Qt::Key_Delete);
  EXPECT_TRUE(Bytes(view).empty());
  EXPECT_EQ(view.GetCaretAddr(), 0);
}

TEST_F(HexViewKeys, DeletingMostBytesOnTheLastPageKeepsTheRestInView) {
  Start(1500);
  Key(Qt::Key_End, Qt::ControlModifier);
  ASSERT_GT(view.GetTopIndex(), 1400);
  view.OnEditSelectAll();
  Key(Qt::Key_Left, Qt::ShiftModifier);
  Key(Qt::Key_Delete);
  ASSERT_EQ(Bytes(view), (std::vector<BYTE>{0xDA, 0xDB}));  // bytes 1498 and 1499
  EXPECT_EQ(view.GetTopIndex(), 0);
  EXPECT_TRUE(GetCaretState().bShown);
  EXPECT_EQ(ReadCells(view, Render(view), 9, 0, 6), "DA DB ");
  // A shorter cut keeps the page full: the last rows end at its bottom.
  SetBytes(view, Sequence(200));
  Key(Qt::Key_End, Qt::ControlModifier);
  view.SetSelection(0, 40);
  Key(Qt::Key_Delete);
  EXPECT_EQ(view.GetTopIndex(), 160 - 4 * 16);
}

TEST_F(HexViewKeys, ACaretLeftPastTheDataIsBroughtBackByTheKeys) {
  Start(20);
  // A click on the hex cell of byte 26 in the last data row.
  Click(view, CellPoint(view, 9 + 3 * 10, 1));
  ASSERT_EQ(view.GetCaretAddr(), 26);
  Key(Qt::Key_Delete);
  EXPECT_EQ(Bytes(view), Sequence(19));
  EXPECT_EQ(view.GetCaretAddr(), 19);
  Click(view, CellPoint(view, 9 + 3 * 12, 1));
  Key(Qt::Key_Insert);
  EXPECT_EQ(Bytes(view).size(), 20u);
  EXPECT_EQ(Bytes(view)[19], 0);
  Click(view, CellPoint(view, 9 + 3 * 12, 1));
  Key(Qt::Key_Right);
  EXPECT_GE(view.GetCaretAddr(), 0);
  EXPECT_LE(view.GetCaretAddr(), 20);
}

TEST_F(HexViewKeys, TabSwitchesColumnsAndEnterAndEscapeStayInTheView) {
  TestApp();
  QDialog dialog;
  auto* pLayout = new QVBoxLayout(&dialog);
  auto* pOk = new QPushButton("OK", &dialog);
  pOk->setDefault(true);
  auto* pView = new CHexView(&dialog);
  pView->SetWindowStyle(0x50210884);
  auto* pAfter = new QPushButton("After", &dialog);  // behind the view in the tab order
  pLayout->addWidget(pView);
  pLayout->addWidget(pOk);
  pLayout->addWidget(pAfter);
  QObject::connect(pOk, &QPushButton::clicked, &dialog, &QDialog::accept);
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  pView->SetOptions(TRUE, TRUE, TRUE, TRUE);
  pView->SetBytesPerRow(16);
  pView->SetData(Sequence(40).data(), 40);
  pView->setFocus();
  ASSERT_TRUE(pView->hasFocus());

  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->GetCaretArea(), AREA_CHAR);
  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->GetCaretArea(), AREA_HEX_HIGH);
  QTest::keyClick(pView, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(pView->GetCaretArea(), AREA_CHAR);
  pView->SetCaret(pView->GetCaretAddr(), AREA_ADDRESS);
  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->GetCaretArea(), AREA_HEX_HIGH);
  EXPECT_TRUE(pView->hasFocus());

  QTest::keyClick(pView, Qt::Key_Return);
  QTest::keyClick(pView, Qt::Key_Enter);
  QTest::keyClick(pView, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 0);
  EXPECT_TRUE(pView->hasFocus());

  // Ctrl+Tab and Ctrl+Shift+Tab leave the view for the next and previous control.
  QTest::keyClick(pView, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_TRUE(pAfter->hasFocus());
  pView->setFocus();
  QTest::keyClick(pView, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(pOk->hasFocus());
  EXPECT_EQ(pView->GetCaretArea(), AREA_HEX_HIGH);  // no column switch on the way out
  EXPECT_EQ(Bytes(*pView), Sequence(40));
}

TEST_F(HexViewKeys, TypingWhenAllowed) {
  Start(10);
  view.SetAllowTyping(TRUE);
  view.SetSelection(1, 3);
  Type("41");
  EXPECT_EQ(Bytes(view)[0], 0x41);
  EXPECT_EQ(view.GetCaretAddr(), 1);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_HIGH);
  EXPECT_EQ(view.GetSelStart(), -1);  // typing never replaces a selection
  view.SetSelection(2, 5);
  Type("A");  // capitals are not hex digits
  EXPECT_EQ(Bytes(view)[1], 1);
  EXPECT_EQ(view.GetCaretAddr(), 1);
  EXPECT_EQ(view.GetSelStart(), -1);
  Type("f");
  EXPECT_EQ(Bytes(view)[1], 0xF1);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_LOW);

  // The character column overwrites with the character; at the last byte the
  // caret stops.
  view.SetCaret(8, AREA_CHAR);
  Type("xyz");
  EXPECT_EQ(Bytes(view)[8], 'x');
  EXPECT_EQ(Bytes(view)[9], 'z');
  EXPECT_EQ(view.GetCaretAddr(), 9);
  // A low digit typed into the last byte leaves the caret on its high digit.
  view.SetCaret(view.GetCaretAddr(), AREA_HEX_LOW);
  Type("3");
  EXPECT_EQ(Bytes(view)[9], 0x73);
  EXPECT_EQ(view.GetCaretAddr(), 9);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_HIGH);

  // Backspace removes the byte before the caret.
  view.SetCaret(2, view.GetCaretArea());
  Key(Qt::Key_Backspace);
  EXPECT_EQ(Bytes(view).size(), 9u);
  EXPECT_EQ(Bytes(view)[1], 2);  // 0xF1 went
  EXPECT_EQ(view.GetCaretAddr(), 1);

  // Ctrl+C copies the selection; Ctrl+X cuts it; Ctrl+V pastes.
  view.SetSelection(0, 2);
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->data("BinaryData"), QByteArray("\x41\x02", 2));
  Key(Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view).size(), 7u);
  view.SetCaret(0, AREA_HEX_HIGH);
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view)[0], 0x41);
  EXPECT_EQ(Bytes(view)[1], 0x02);
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view).size(), 9u);

  // In the address column a character does nothing.
  const std::vector<BYTE> before = Bytes(view);
  view.SetCaret(view.GetCaretAddr(), AREA_ADDRESS);
  Type("5");
  EXPECT_EQ(Bytes(view), before);
}

TEST_F(HexViewKeys, WithTypingOffNoCharacterHasAnyEffect) {
  Start(10);
  QGuiApplication::clipboard()->setText("keep");
  view.SetSelection(2, 4);
  Type("41ab");
  Key(Qt::Key_C, Qt::ControlModifier);
  Key(Qt::Key_X, Qt::ControlModifier);
  Key(Qt::Key_V, Qt::ControlModifier);
  Key(Qt::Key_Backspace);
  EXPECT_EQ(Bytes(view), Sequence(10));
  EXPECT_EQ(view.GetSelStart(), 2);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  // Insert and Delete still work.
  view.SetSelection(-1, -1);
  view.SetCaret(1, view.GetCaretArea());
  Key(Qt::Key_Insert);
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  Key(Qt::Key_Delete);
  EXPECT_EQ(Bytes(view), Sequence(10));
}

TEST_F(HexViewKeys, KeysBeforeTheFirstSetDataDoNothing) {
  ShowAndFocus(view, 4);
  view.SetAllowTyping(TRUE);
  for (int nQtKey : {Qt::Key_Right, Qt::Key_End, Qt::Key_Insert, Qt::Key_Delete, Qt::Key_Backspace, Qt::Key_A}) {
    Key(nQtKey);
    Key(nQtKey, Qt::ShiftModifier);
  }
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(view.GetData(), nullptr);
  EXPECT_EQ(view.GetCaretAddr(), 0);
  EXPECT_EQ(view.GetSelStart(), -1);
}

}  // namespace
