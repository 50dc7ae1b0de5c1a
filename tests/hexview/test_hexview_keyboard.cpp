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
  EXPECT_EQ(view.m_nSelStart, 0);
  EXPECT_EQ(view.m_nSelEnd, 1);
  Key(Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(view.m_nSelStart, 0);
  EXPECT_EQ(view.m_nSelEnd, 2);
  EXPECT_TRUE(GetCaretState().bShown);  // a keyboard move shows the caret

  SetBytes(view, Sequence(40));
  view.m_nCaretAddr = 5;
  Key(Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(view.m_nSelStart, 5);
  EXPECT_EQ(view.m_nSelEnd, 4);
  // Without Shift a move clears the selection.
  Key(Qt::Key_Down);
  EXPECT_EQ(view.m_nSelStart, -1);
  EXPECT_EQ(view.m_nSelEnd, -1);
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
    view.m_nTopIndex = 0;
    view.m_nCaretAddr = c.nAddr;
    view.m_nCaretArea = c.nArea;
    Key(c.nQtKey);
    EXPECT_EQ(view.m_nCaretAddr, c.nExpectedAddr) << c.nAddr << " key " << std::hex << c.nQtKey;
    EXPECT_EQ(view.m_nCaretArea, c.nExpectedArea) << c.nAddr << " key " << std::hex << c.nQtKey;
  }
  // End on byte 20 of 31.
  SetBytes(view, Sequence(31));
  view.m_nCaretAddr = 20;
  Key(Qt::Key_End);
  EXPECT_EQ(view.m_nCaretAddr, 30);
}

TEST_F(HexViewKeys, PageDownLeavesTheCaretAddressWhereItWas) {
  Start(200);
  ASSERT_EQ(view.m_nRowsPerPage, 4);
  view.m_nCaretAddr = 5;
  Key(Qt::Key_PageDown);
  EXPECT_EQ(view.m_nTopIndex, 48);  // 64, then one row back toward the caret
  EXPECT_EQ(view.m_nCaretAddr, 5);
  EXPECT_FALSE(GetCaretState().bShown);  // out of view
  EXPECT_FALSE(view.m_bKeepCaretAddr);
  Key(Qt::Key_PageUp);
  EXPECT_EQ(view.m_nTopIndex, 0);
  EXPECT_EQ(view.m_nCaretAddr, 5);
}

TEST_F(HexViewKeys, CtrlHomeAndCtrlEnd) {
  Start(100);
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(view.m_nCaretAddr, 99);
  EXPECT_EQ(view.m_nTopIndex, 48);  // row 2 (top 32), then one row down
  Key(Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(view.m_nCaretAddr, 0);
  EXPECT_EQ(view.m_nTopIndex, 0);
  EXPECT_EQ(view.m_nSelStart, 99);
  EXPECT_EQ(view.m_nSelEnd, 0);

  SetBytes(view, Sequence(20));  // fits the window: a partial last row
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(view.m_nCaretAddr, 19);
  EXPECT_EQ(view.m_nTopIndex, 0);
}

TEST_F(HexViewKeys, InsertAndDeleteEditTheBytesEvenWithTypingOff) {
  Start(10);
  view.m_nCaretAddr = 3;
  view.m_nSelStart = 2;
  view.m_nSelEnd = 6;
  Key(Qt::Key_Insert);  // ends 2 and 6: four zero bytes at the caret
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2, 0, 0, 0, 0, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(view.m_nSelStart, -1);
  SetBytes(view, Sequence(10));
  view.m_nCaretAddr = 3;
  view.m_nSelStart = 6;
  view.m_nSelEnd = 2;
  Key(Qt::Key_Insert);  // ends 6 and 2: one
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2, 0, 3, 4, 5, 6, 7, 8, 9}));

  SetBytes(view, Sequence(4));
  view.m_nCaretAddr = 3;
  Key(Qt::Key_Delete);  // the last byte: the caret rests just behind the new last
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2}));
  EXPECT_EQ(view.m_nCaretAddr, 3);
  Key(Qt::Key_Delete);  // there, the new last byte goes
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1}));
  EXPECT_EQ(view.m_nCaretAddr, 2);
  view.m_nSelStart = 0;
  view.m_nSelEnd = 1;
  Key(Qt::Key_Delete);  // with a selection: clear
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{1}));
  EXPECT_EQ(view.m_nCaretAddr, 0);
  SetBytes(view, {});
  Key(Qt::Key_Delete);
  Key(Qt::Key_Insert);
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0}));
  Key(Qt::Key_Delete);
  Key(Qt::Key_Delete);
  EXPECT_TRUE(Bytes(view).empty());
  EXPECT_EQ(view.m_nCaretAddr, 0);
}

TEST_F(HexViewKeys, ACaretLeftPastTheDataIsBroughtBackByTheKeys) {
  Start(20);
  // A click on the hex cell of byte 26 in the last data row.
  Click(view, CellPoint(view, 9 + 3 * 10, 1));
  ASSERT_EQ(view.m_nCaretAddr, 26);
  Key(Qt::Key_Delete);
  EXPECT_EQ(Bytes(view), Sequence(19));
  EXPECT_EQ(view.m_nCaretAddr, 19);
  Click(view, CellPoint(view, 9 + 3 * 12, 1));
  Key(Qt::Key_Insert);
  EXPECT_EQ(Bytes(view).size(), 20u);
  EXPECT_EQ(Bytes(view)[19], 0);
  Click(view, CellPoint(view, 9 + 3 * 12, 1));
  Key(Qt::Key_Right);
  EXPECT_GE(view.m_nCaretAddr, 0);
  EXPECT_LE(view.m_nCaretAddr, 20);
}

TEST_F(HexViewKeys, TabSwitchesColumnsAndEnterAndEscapeStayInTheView) {
  TestApp();
  QDialog dialog;
  auto* pLayout = new QVBoxLayout(&dialog);
  auto* pOk = new QPushButton("OK", &dialog);
  pOk->setDefault(true);
  auto* pView = new CHexView(&dialog);
  pView->SetWindowStyle(0x50210884);
  pLayout->addWidget(pView);
  pLayout->addWidget(pOk);
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
  EXPECT_EQ(pView->m_nCaretArea, AREA_CHAR);
  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->m_nCaretArea, AREA_HEX_HIGH);
  QTest::keyClick(pView, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(pView->m_nCaretArea, AREA_CHAR);
  pView->m_nCaretArea = AREA_ADDRESS;
  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->m_nCaretArea, AREA_HEX_HIGH);
  EXPECT_TRUE(pView->hasFocus());

  QTest::keyClick(pView, Qt::Key_Return);
  QTest::keyClick(pView, Qt::Key_Enter);
  QTest::keyClick(pView, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 0);
  EXPECT_TRUE(pView->hasFocus());
  EXPECT_EQ(Bytes(*pView), Sequence(40));
}

TEST_F(HexViewKeys, TypingWhenAllowed) {
  Start(10);
  view.SetAllowTyping(TRUE);
  view.m_nSelStart = 1;
  view.m_nSelEnd = 3;
  Type("41");
  EXPECT_EQ(Bytes(view)[0], 0x41);
  EXPECT_EQ(view.m_nCaretAddr, 1);
  EXPECT_EQ(view.m_nCaretArea, AREA_HEX_HIGH);
  EXPECT_EQ(view.m_nSelStart, -1);  // typing never replaces a selection
  view.m_nSelStart = 2;
  view.m_nSelEnd = 5;
  Type("A");  // capitals are not hex digits
  EXPECT_EQ(Bytes(view)[1], 1);
  EXPECT_EQ(view.m_nCaretAddr, 1);
  EXPECT_EQ(view.m_nSelStart, -1);
  Type("f");
  EXPECT_EQ(Bytes(view)[1], 0xF1);
  EXPECT_EQ(view.m_nCaretArea, AREA_HEX_LOW);

  // The character column overwrites with the character; at the last byte the
  // caret stops.
  view.m_nCaretArea = AREA_CHAR;
  view.m_nCaretAddr = 8;
  Type("xyz");
  EXPECT_EQ(Bytes(view)[8], 'x');
  EXPECT_EQ(Bytes(view)[9], 'z');
  EXPECT_EQ(view.m_nCaretAddr, 9);
  // A low digit typed into the last byte leaves the caret on its high digit.
  view.m_nCaretArea = AREA_HEX_LOW;
  Type("3");
  EXPECT_EQ(Bytes(view)[9], 0x73);
  EXPECT_EQ(view.m_nCaretAddr, 9);
  EXPECT_EQ(view.m_nCaretArea, AREA_HEX_HIGH);

  // Backspace removes the byte before the caret.
  view.m_nCaretAddr = 2;
  Key(Qt::Key_Backspace);
  EXPECT_EQ(Bytes(view).size(), 9u);
  EXPECT_EQ(Bytes(view)[1], 2);  // 0xF1 went
  EXPECT_EQ(view.m_nCaretAddr, 1);

  // Ctrl+C copies the selection; Ctrl+X cuts it; Ctrl+V pastes.
  view.m_nSelStart = 0;
  view.m_nSelEnd = 2;
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->data("BinaryData"), QByteArray("\x41\x02", 2));
  Key(Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view).size(), 7u);
  view.m_nCaretAddr = 0;
  view.m_nCaretArea = AREA_HEX_HIGH;
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view)[0], 0x41);
  EXPECT_EQ(Bytes(view)[1], 0x02);
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view).size(), 9u);

  // In the address column a character does nothing.
  const std::vector<BYTE> before = Bytes(view);
  view.m_nCaretArea = AREA_ADDRESS;
  Type("5");
  EXPECT_EQ(Bytes(view), before);
}

TEST_F(HexViewKeys, WithTypingOffNoCharacterHasAnyEffect) {
  Start(10);
  QGuiApplication::clipboard()->setText("keep");
  view.m_nSelStart = 2;
  view.m_nSelEnd = 4;
  Type("41ab");
  Key(Qt::Key_C, Qt::ControlModifier);
  Key(Qt::Key_X, Qt::ControlModifier);
  Key(Qt::Key_V, Qt::ControlModifier);
  Key(Qt::Key_Backspace);
  EXPECT_EQ(Bytes(view), Sequence(10));
  EXPECT_EQ(view.m_nSelStart, 2);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  // Insert and Delete still work.
  view.m_nSelStart = view.m_nSelEnd = -1;
  view.m_nCaretAddr = 1;
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
  EXPECT_EQ(view.m_pData, nullptr);
  EXPECT_EQ(view.m_nCaretAddr, 0);
  EXPECT_EQ(view.m_nSelStart, -1);
}

}  // namespace
