// Mouse, focus and the byte edits.
#include <gtest/gtest.h>

#include "hexview_test_util.h"

namespace {

class HexViewMouse : public ::testing::Test {
 protected:
  void SetUp() override {
    ShowAndFocus(view, 4);
    SetBytes(view, Sequence(100));
  }
  QRect CellRect(int nCol, int nRow, int nCells = 1) const {
    return QRect(nCol * view.GetGeometry().nCharWidthPx, nRow * view.GetGeometry().nLineHeightPx, nCells * view.GetGeometry().nCharWidthPx, view.GetGeometry().nLineHeightPx);
  }
  QApplication& app = TestApp();  // before any widget
  CHexView view;
};

TEST_F(HexViewMouse, ClicksLandOnTheCellsOfTheSystemLayout) {
  struct Case {
    int nCell;
    int nAddr;
    int nArea;
    int nCaretCell;  // where the caret is drawn
    int nCaretCells; // its width in cells
  };
  const Case cases[] = {
      {0, 16, AREA_ADDRESS, 0, 8},  {7, 16, AREA_ADDRESS, 0, 8}, {8, 16, AREA_HEX_HIGH, 9, 1},
      {9, 16, AREA_HEX_HIGH, 9, 1}, {10, 16, AREA_HEX_LOW, 10, 1}, {11, 17, AREA_HEX_HIGH, 12, 1},
      {55, 31, AREA_HEX_LOW, 55, 1}, {56, 16, AREA_CHAR, 57, 1}, {57, 17, AREA_CHAR, 58, 1},
      {72, 32, AREA_CHAR, 73, 1},
  };
  for (const Case& c : cases) {
    Click(view, CellPoint(view, c.nCell, 1));
    EXPECT_EQ(view.GetCaretAddr(), c.nAddr) << "cell " << c.nCell;
    EXPECT_EQ(view.GetCaretArea(), c.nArea) << "cell " << c.nCell;
    const CaretState caret = GetCaretState();
    EXPECT_TRUE(caret.bShown) << "cell " << c.nCell;
    EXPECT_EQ(caret.pOwner, view.viewport());
    EXPECT_EQ(caret.rect, CellRect(c.nCaretCell, 1, c.nCaretCells)) << "cell " << c.nCell;
    EXPECT_EQ(view.GetSelStart(), -1);
  }
  // Cell 73 and beyond miss: nothing but the selection changes.
  view.SetSelection(3, 5);
  Click(view, CellPoint(view, 73, 1));
  EXPECT_EQ(view.GetCaretAddr(), 32);
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
}

TEST_F(HexViewMouse, AClickWithAnUnalignedTopIndexCountsRowsFromTheTop) {
  SetBytes(view, Sequence(69));
  view.OnVScroll(SB_PAGEDOWN, 0);  // stops at 69 - 4 rows = 5
  ASSERT_EQ(view.GetTopIndex(), 5);
  Click(view, CellPoint(view, 12, 2));  // high digit of byte 1 of row 2
  EXPECT_EQ(view.GetCaretAddr(), 5 + 32 + 1);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_HIGH);
}

TEST_F(HexViewMouse, DragsInTheHexColumnSelectBothWays) {
  // Forward from byte 3 to byte 6: bytes 3 to 6.
  Press(view, CellPoint(view, 9 + 3 * 3, 0));
  MoveHeld(view, CellPoint(view, 9 + 3 * 6, 0));
  EXPECT_EQ(view.GetSelStart(), 3);
  EXPECT_EQ(view.GetSelEnd(), 7);
  EXPECT_FALSE(GetCaretState().bExists);  // no caret while dragging
  Release(view, CellPoint(view, 9 + 3 * 6, 0));
  EXPECT_EQ(view.GetSelStart(), 3);
  EXPECT_EQ(view.GetSelEnd(), 7);
  EXPECT_FALSE(GetCaretState().bShown);  // hidden until a click or a key

  // Back from byte 6 to byte 3: bytes 4 and 5.
  Press(view, CellPoint(view, 9 + 3 * 6, 0));
  MoveHeld(view, CellPoint(view, 9 + 3 * 3, 0));
  Release(view, CellPoint(view, 9 + 3 * 3, 0));
  EXPECT_EQ(view.GetSelStart(), 6);
  EXPECT_EQ(view.GetSelEnd(), 4);
}

TEST_F(HexViewMouse, ADragInTheCharacterColumnIncludesTheCellUnderThePointer) {
  Press(view, CellPoint(view, 57 + 2, 0));  // character cell 2: byte 3
  MoveHeld(view, CellPoint(view, 57 + 6, 0));
  Release(view, CellPoint(view, 57 + 6, 0));
  EXPECT_EQ(view.GetSelStart(), 3);
  EXPECT_EQ(view.GetSelEnd(), 7);
  EXPECT_EQ(view.GetCaretArea(), AREA_CHAR);
}

TEST_F(HexViewMouse, MovesWithinTheDragDistanceAreAClick) {
  view.SetSelection(1, 9);
  const QPoint pt = CellPoint(view, 9 + 3 * 3, 0);
  Press(view, pt);
  MoveHeld(view, pt + QPoint(1, 0));  // not past the drag distance
  EXPECT_EQ(view.GetSelStart(), 1);     // undecided: nothing changed yet
  Release(view, pt + QPoint(1, 0));
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
  EXPECT_TRUE(GetCaretState().bShown);
  EXPECT_EQ(view.GetCaretAddr(), 3);
}

TEST_F(HexViewMouse, ShiftClickExtendsFromTheCaret) {
  Click(view, CellPoint(view, 9 + 3 * 2, 0));  // caret on byte 2
  Click(view, CellPoint(view, 9 + 3 * 9, 0), Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 2);
  EXPECT_EQ(view.GetSelEnd(), 10);
  EXPECT_FALSE(GetCaretState().bShown);
  // In the character column the end is the caret itself.
  Click(view, CellPoint(view, 57 + 4, 1), Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 9);  // the old caret is the new anchor
  EXPECT_EQ(view.GetSelEnd(), 21);
  // A Shift+click that misses leaves a one-ended selection.
  view.SetSelection(-1, -1);
  Click(view, CellPoint(view, 78, 0), Qt::ShiftModifier);
  EXPECT_EQ(view.GetSelStart(), 21);
  EXPECT_EQ(view.GetSelEnd(), -1);
}

TEST_F(HexViewMouse, DraggingPastAnEdgeScrollsOneRowPerMouseMessage) {
  view.OnVScroll(SB_THUMBTRACK, 2);  // top 32
  ASSERT_EQ(view.GetTopIndex(), 32);
  Press(view, CellPoint(view, 9 + 3 * 4, 1));  // byte 52
  MoveHeld(view, CellPoint(view, 9 + 3 * 4, 0));
  ASSERT_EQ(view.GetSelStart(), 52);
  MoveHeld(view, QPoint(CellPoint(view, 9 + 3 * 4, 0).x(), -20));
  EXPECT_EQ(view.GetTopIndex(), 16);
  EXPECT_EQ(view.GetSelEnd(), 16 + 4 + 1);
  MoveHeld(view, QPoint(CellPoint(view, 9 + 3 * 4, 0).x(), -25));
  EXPECT_EQ(view.GetTopIndex(), 0);
  MoveHeld(view, QPoint(CellPoint(view, 9 + 3 * 4, 0).x(), -25));
  EXPECT_EQ(view.GetTopIndex(), 0);  // nothing left above
  EXPECT_EQ(view.GetSelEnd(), 5);
  // Below the bottom edge: one row down per message.
  const int yBelowPx = view.viewport()->height() + 10;
  MoveHeld(view, QPoint(CellPoint(view, 9, 0).x(), yBelowPx));
  EXPECT_EQ(view.GetTopIndex(), 16);
  MoveHeld(view, QPoint(CellPoint(view, 9, 0).x(), yBelowPx));
  EXPECT_EQ(view.GetTopIndex(), 32);
  Release(view, QPoint(CellPoint(view, 9, 0).x(), yBelowPx));
  EXPECT_EQ(view.GetSelStart(), 52);
}

TEST_F(HexViewMouse, TheCaretFollowsTheFocusOnlyWithoutASelection) {
  Click(view, CellPoint(view, 9, 0));
  ASSERT_TRUE(GetCaretState().bShown);
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(GetCaretState().bExists);
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  EXPECT_TRUE(GetCaretState().bShown);
  EXPECT_EQ(GetCaretState().rect.topLeft(), QPoint(9 * view.GetGeometry().nCharWidthPx, 0));

  view.OnEditSelectAll();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  EXPECT_FALSE(GetCaretState().bShown);
}

TEST_F(HexViewMouse, ADoubleClickIsConsumedByTheView) {
  class Parent : public QWidget {
   public:
    int nDoubleClicks = 0;
   protected:
    void mouseDoubleClickEvent(QMouseEvent*) override { ++nDoubleClicks; }
  } parent;
  CHexView child(&parent);
  child.SetData(Sequence(10).data(), 10);
  parent.show();
  SendMouse(child, QEvent::MouseButtonDblClick, QPoint(3, 3), Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(parent.nDoubleClicks, 0);
  EXPECT_EQ(child.GetSelStart(), -1);
}

TEST_F(HexViewMouse, BeforeTheFirstSetDataAClickOnlyTakesTheFocus) {
  CHexView fresh;
  ShowAndFocus(fresh, 4);
  DestroyCaret();
  Click(fresh, CellPoint(fresh, 12, 0));
  EXPECT_EQ(fresh.GetCaretAddr(), 0);
  EXPECT_EQ(fresh.GetSelStart(), -1);
  EXPECT_FALSE(GetCaretState().bExists);
  EXPECT_TRUE(fresh.hasFocus());
}

TEST_F(HexViewMouse, DeleteAndInsertBytes) {
  SetBytes(view, Sequence(10));
  view.SetCaret(8, view.GetCaretArea());
  view.SetSelection(1, 3);
  ASSERT_TRUE(view.DeleteBytes(2, 6));
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 6, 7, 8, 9}));
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetCaretAddr(), 6);  // just behind the last byte

  SetBytes(view, Sequence(10));
  view.SetCaret(7, view.GetCaretArea());
  ASSERT_TRUE(view.InsertBytes(4, 3));
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 2, 3, 0, 0, 0, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(view.GetCaretAddr(), 7);

  // Arguments outside the data change nothing.
  const std::vector<BYTE> before = Bytes(view);
  EXPECT_FALSE(view.DeleteBytes(-1, 2));
  EXPECT_FALSE(view.DeleteBytes(5, 4));
  EXPECT_FALSE(view.DeleteBytes(0, 14));
  EXPECT_FALSE(view.InsertBytes(14, 1));
  EXPECT_FALSE(view.InsertBytes(0, 0));
  EXPECT_EQ(Bytes(view), before);
}

}  // namespace
