// The view's set-up, layout step, scrolling and painting.
#include <gtest/gtest.h>

#include <QScrollBar>

#include "hexview_test_util.h"
#include "platform/ui/keys.h"

namespace {

class HexViewDisplay : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }
};

TEST_F(HexViewDisplay, BeforeTheFirstSetDataTheViewIsWhiteAndIgnoresScrolling) {
  CHexView view;
  ShowView(view, 4);
  EXPECT_EQ(view.GetData(), nullptr);
  for (UINT nCode : {SB_LINEDOWN, SB_PAGEDOWN, SB_THUMBTRACK, SB_LINEUP}) view.OnVScroll(nCode, 3);
  EXPECT_EQ(view.GetTopIndex(), 0);
  EXPECT_EQ(view.GetCaretAddr(), 0);
  const QImage image = Render(view);
  for (int nRow = 0; nRow < 4; ++nRow) {
    for (int nCol = 0; nCol < 73; nCol += 8) EXPECT_TRUE(IsWhite(view, image, nCol, nRow));
  }
  // The members keep the values the control is known by.
  EXPECT_EQ(view.GetLength(), 64);
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
  EXPECT_EQ(view.GetCaretArea(), AREA_ADDRESS);
}

TEST_F(HexViewDisplay, EmptyDataIsPresentWithNoRows) {
  CHexView view;
  ShowView(view, 4);
  view.SetData(nullptr, 0);
  ASSERT_NE(view.GetData(), nullptr);
  EXPECT_EQ(view.GetLength(), 0);
  EXPECT_EQ(view.GetGeometry().nRowsPerPage, 0);
  EXPECT_FALSE(view.verticalScrollBar()->isEnabled());
  EXPECT_EQ(view.verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_HIGH);
  const QImage image = Render(view);
  EXPECT_TRUE(IsWhite(view, image, 0, 0));
  EXPECT_TRUE(IsWhite(view, image, 10, 0));
}

TEST_F(HexViewDisplay, RowsPerPageFollowTheDataWhenItDoesNotFillThePage) {
  struct Case {
    int nLength;
    int nRows;
    BOOL bPartial;
  };
  const Case cases[] = {{0, 0, FALSE}, {7, 1, TRUE}, {8, 2, TRUE}, {20, 2, TRUE}, {25, 3, TRUE}, {32, 2, FALSE}, {500, 8, FALSE}};
  CHexView view;
  ShowView(view, 8);
  for (const Case& c : cases) {
    SetBytes(view, Sequence(c.nLength));
    EXPECT_EQ(view.GetGeometry().nRowsPerPage, c.nRows) << c.nLength;
    EXPECT_EQ(view.IsPartialLastRow(), c.bPartial) << c.nLength;
  }
  // Column edges: hex at cell 9, characters at cell 57.
  EXPECT_EQ(view.GetGeometry().nHexColPx, 9 * view.GetGeometry().nCharWidthPx);
  EXPECT_EQ(view.GetGeometry().nCharColPx, 57 * view.GetGeometry().nCharWidthPx);
  // A new size redoes the layout at once, before any paint.
  view.resize(view.width(), view.height() + 3 * view.GetGeometry().nLineHeightPx);
  EXPECT_EQ(view.GetGeometry().nRowsPerPage, 11);
}

TEST_F(HexViewDisplay, ScrollingArithmeticWith100BytesAnd4RowsAPage) {
  CHexView view;
  view.SetWindowStyle(WS_VISIBLE | WS_VSCROLL | WS_TABSTOP);
  ShowView(view, 4);
  SetBytes(view, Sequence(100));
  ASSERT_EQ(view.GetGeometry().nRowsPerPage, 4);
  QScrollBar* pBar = view.verticalScrollBar();
  EXPECT_EQ(pBar->minimum(), 0);
  EXPECT_EQ(pBar->maximum(), 2);  // rows 0..5, page 4
  EXPECT_EQ(pBar->pageStep(), 4);
  EXPECT_TRUE(pBar->isEnabled());

  view.OnVScroll(SB_PAGEDOWN, 0);
  EXPECT_EQ(view.GetTopIndex(), 36);
  EXPECT_EQ(view.GetCaretAddr(), 36);  // the caret keeps its place on screen
  for (int nExpected : {20, 4, 0, 0}) {
    view.OnVScroll(SB_LINEUP, 0);
    EXPECT_EQ(view.GetTopIndex(), nExpected);
  }
  EXPECT_EQ(view.GetCaretAddr(), 0);

  // The thumb reaches row 2 at most; dragging it is a thumb track.
  pBar->setSliderPosition(2);
  EXPECT_EQ(view.GetTopIndex(), 32);
  EXPECT_EQ(pBar->value(), 2);
  pBar->triggerAction(QAbstractSlider::SliderSingleStepSub);
  EXPECT_EQ(view.GetTopIndex(), 16);
  EXPECT_EQ(pBar->value(), 1);
  pBar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(view.GetTopIndex(), 36);
  EXPECT_EQ(pBar->value(), 2);

  // Line down moves a whole row past L = 36; the bar cannot follow past 2.
  view.OnVScroll(SB_THUMBTRACK, 2);
  view.OnVScroll(SB_LINEDOWN, 0);
  EXPECT_EQ(view.GetTopIndex(), 48);
  view.OnVScroll(SB_LINEDOWN, 0);
  EXPECT_EQ(view.GetTopIndex(), 48);

  // The bar's Top and Bottom (its context menu): the first row, and the last
  // rows filling the page.
  pBar->triggerAction(QAbstractSlider::SliderToMinimum);
  EXPECT_EQ(view.GetTopIndex(), 0);
  pBar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(view.GetTopIndex(), 48);
  EXPECT_EQ(pBar->value(), 2);
  view.OnVScroll(SB_PAGEUP, 0);
  for (UINT nCode : {SB_THUMBPOSITION, SB_ENDSCROLL}) {
    view.OnVScroll(nCode, 0);
    EXPECT_EQ(view.GetTopIndex(), 0);
  }
}

TEST_F(HexViewDisplay, PaintsAddressHexAndCharacterColumns) {
  CHexView view;
  ShowView(view, 4);
  std::vector<BYTE> bytes(20, 0x30);
  const BYTE head[] = {0x41, 0x00, 0x26, 0x1F, 0x7F, 0x80, 0xFF, 0x20, 0x7E};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  bytes[16] = 0x4A;
  bytes[19] = 0x5A;
  SetBytes(view, bytes);
  const QImage image = Render(view);
  EXPECT_EQ(ReadCells(view, image, 0, 0, 8), "00000000");
  EXPECT_TRUE(IsWhite(view, image, 8, 0));
  EXPECT_EQ(ReadCells(view, image, 9, 0, 27), "41 00 26 1F 7F 80 FF 20 7E ");
  // "&" shows as itself; 0x00, 0x1F, 0x7F, 0x80 and 0xFF as ".".
  EXPECT_EQ(ReadCells(view, image, 57, 0, 16), "A.&.... ~0000000");
  // The partial last row: four bytes, then white.
  EXPECT_EQ(ReadCells(view, image, 0, 1, 8), "00000010");
  EXPECT_EQ(ReadCells(view, image, 9, 1, 12), "4A 30 30 5A ");
  for (int nCol = 21; nCol < 57; ++nCol) EXPECT_TRUE(IsWhite(view, image, nCol, 1)) << nCol;
  EXPECT_EQ(ReadCells(view, image, 57, 1, 4), "J00Z");
  for (int nCol = 61; nCol < 80; ++nCol) EXPECT_TRUE(IsWhite(view, image, nCol, 1)) << nCol;
  // Below the data, and the half row at the bottom, stay white.
  EXPECT_TRUE(IsWhite(view, image, 0, 2));

  // Narrow addresses: four digits.
  view.SetOptions(TRUE, TRUE, TRUE, FALSE);
  view.viewport()->repaint();
  const QImage narrow = Render(view);
  EXPECT_EQ(ReadCells(view, narrow, 0, 1, 4), "0010");
  EXPECT_EQ(ReadCells(view, narrow, 5, 1, 6), "4A 30 ");
}

TEST_F(HexViewDisplay, ThePartlyVisibleBottomRowStaysWhite) {
  CHexView view;
  ShowView(view, 3);
  SetBytes(view, Sequence(200));
  const QImage image = Render(view);
  EXPECT_EQ(ReadCells(view, image, 0, 2, 8), "00000020");
  // Row 3 is cut by the bottom edge (half a row): never drawn.
  const int yPx = 3 * view.GetGeometry().nLineHeightPx + 1;
  for (int xPx = 0; xPx < 73 * view.GetGeometry().nCharWidthPx; ++xPx) {
    ASSERT_EQ(image.pixelColor(xPx, yPx), QColor(Qt::white)) << xPx;
  }
}

TEST_F(HexViewDisplay, SelectionIsHighlightedOnlyInTheCaretsColumn) {
  CHexView view;
  ShowView(view, 4);
  SetBytes(view, Sequence(40));
  // Ends 20 and 5 (reversed) with the caret in the hex column: bytes 5 to 19.
  view.SetCaret(view.GetCaretAddr(), AREA_HEX_LOW);
  view.SetSelection(20, 5);
  QImage image = Render(view);
  for (int nByte = 0; nByte < 32; ++nByte) {
    const int nRow = nByte / 16;
    const int nCell = 9 + 3 * (nByte % 16);
    const bool bSelected = nByte >= 5 && nByte < 20;
    for (int k = 0; k < 3; ++k) {  // both digits and the space behind them
      EXPECT_EQ(IsHighlighted(view, image, nCell + k, nRow), bSelected) << "byte " << nByte << " cell " << k;
    }
    EXPECT_FALSE(IsHighlighted(view, image, 57 + nByte % 16, nRow)) << "char " << nByte;
  }
  EXPECT_FALSE(IsHighlighted(view, image, 0, 0));  // addresses never

  // 0 to the length with the caret in the character column: every character.
  view.SetCaret(view.GetCaretAddr(), AREA_CHAR);
  view.SetSelection(0, 40);
  image = Render(view);
  for (int nByte = 0; nByte < 40; ++nByte) {
    EXPECT_TRUE(IsHighlighted(view, image, 57 + nByte % 16, nByte / 16)) << nByte;
    EXPECT_FALSE(IsHighlighted(view, image, 9 + 3 * (nByte % 16), nByte / 16)) << nByte;
  }
  EXPECT_FALSE(IsHighlighted(view, image, 57 + 8, 2));  // past the data

  // The caret in the address column: nothing highlighted.
  view.SetCaret(view.GetCaretAddr(), AREA_ADDRESS);
  image = Render(view);
  for (int nByte = 0; nByte < 40; ++nByte) {
    EXPECT_FALSE(IsHighlighted(view, image, 57 + nByte % 16, nByte / 16));
    EXPECT_FALSE(IsHighlighted(view, image, 9 + 3 * (nByte % 16), nByte / 16));
  }

  // An end past the data: highlighted up to the last byte and no further.
  view.SetCaret(view.GetCaretAddr(), AREA_HEX_HIGH);
  view.SetSelection(30, 70);
  image = Render(view);
  EXPECT_FALSE(IsHighlighted(view, image, 9 + 3 * 13, 1));  // byte 29
  EXPECT_TRUE(IsHighlighted(view, image, 9 + 3 * 14, 1));   // byte 30
  EXPECT_TRUE(IsHighlighted(view, image, 9 + 3 * 7, 2));    // byte 39
  EXPECT_FALSE(IsHighlighted(view, image, 9 + 3 * 8, 2));   // byte 40 does not exist
  EXPECT_TRUE(IsWhite(view, image, 9 + 3 * 8, 2));

  // The highlighted column still reads right (text drawn on the band).
  view.SetSelection(-1, -1);
  image = Render(view);
  EXPECT_EQ(ReadCells(view, image, 9, 1, 6), "10 11 ");
}

TEST_F(HexViewDisplay, ASelectionAboveTheTopRowIsHighlightedFromTheTopRowOn) {
  CHexView view;
  ShowView(view, 2);
  SetBytes(view, Sequence(100));
  view.OnVScroll(SB_THUMBTRACK, 2);  // top 32
  view.SetCaret(view.GetCaretAddr(), AREA_HEX_HIGH);
  view.SetSelection(3, 34);
  const QImage image = Render(view);
  EXPECT_EQ(ReadCells(view, image, 0, 0, 8), "00000020");
  EXPECT_TRUE(IsHighlighted(view, image, 9, 0));
  EXPECT_TRUE(IsHighlighted(view, image, 9 + 3, 0));
  EXPECT_FALSE(IsHighlighted(view, image, 9 + 6, 0));
}

TEST_F(HexViewDisplay, SetDataWithShorterDataShowsOnlyTheNewBytes) {
  CHexView view;
  ShowView(view, 4);
  SetBytes(view, std::vector<BYTE>(40, 0x41));
  view.SetCaret(30, view.GetCaretArea());
  view.SetSelection(1, 9);
  view.OnVScroll(SB_LINEDOWN, 0);
  SetBytes(view, std::vector<BYTE>(3, 0x42));
  EXPECT_EQ(view.GetTopIndex(), 0);
  EXPECT_EQ(view.GetCaretAddr(), 0);
  EXPECT_EQ(view.GetCaretArea(), AREA_HEX_HIGH);
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
  EXPECT_EQ(view.GetCaretPoint(), (POINT{0, 0}));
  const QImage image = Render(view);
  EXPECT_EQ(ReadCells(view, image, 9, 0, 12), "42 42 42    ");
  EXPECT_EQ(ReadCells(view, image, 57, 0, 3), "BBB");
  EXPECT_TRUE(IsWhite(view, image, 60, 0));
  EXPECT_TRUE(IsWhite(view, image, 0, 1));
}

int g_nFailAfter = -1;
void* FailingAllocator(std::size_t nBytes, bool bZeroed) {
  if (g_nFailAfter == 0) return nullptr;
  if (g_nFailAfter > 0) --g_nFailAfter;
  return bZeroed ? std::calloc(nBytes, 1) : std::malloc(nBytes);
}

TEST_F(HexViewDisplay, AFailedAllocationKeepsTheOldBytesAndState) {
  CHexView view;
  ShowView(view, 4);
  SetBytes(view, Sequence(10));
  view.SetCaret(4, view.GetCaretArea());
  view.SetSelection(2, 6);
  g_nFailAfter = 0;
  SetBlockAllocatorForTesting(&FailingAllocator);
  const BYTE other[3] = {9, 9, 9};
  view.SetData(other, 3);
  EXPECT_FALSE(view.DeleteBytes(2, 6));
  EXPECT_FALSE(view.InsertBytes(4, 3));
  SetBlockAllocatorForTesting(nullptr);
  EXPECT_EQ(Bytes(view), Sequence(10));
  EXPECT_EQ(view.GetCaretAddr(), 4);
  EXPECT_EQ(view.GetSelStart(), 2);
  EXPECT_EQ(view.GetSelEnd(), 6);
  // Null source bytes with a length are zero bytes, never a read from null.
  view.SetData(nullptr, 5);
  EXPECT_EQ(Bytes(view), std::vector<BYTE>(5, 0));
}

TEST_F(HexViewDisplay, WindowStylesDecideTheScrollBarsAndTheTabStop) {
  TestApp();
  QWidget parent;
  CHexView own;
  ASSERT_TRUE(own.Create(WS_CHILD | WS_VISIBLE, QRect(0, 0, 300, 200), &parent, 1011));
  EXPECT_EQ(own.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(own.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(own.GetDlgCtrlID(), 1011u);
  EXPECT_EQ(own.parentWidget(), &parent);
  CREATESTRUCT cs;
  EXPECT_TRUE(own.PreCreateWindow(cs));
  EXPECT_EQ(cs.style, WS_VSCROLL | WS_HSCROLL);

  CHexView inDialog(&parent);
  inDialog.SetWindowStyle(0x50210884);  // the dialog template's control
  EXPECT_EQ(inDialog.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(inDialog.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(inDialog.focusPolicy(), Qt::StrongFocus);
  EXPECT_EQ(inDialog.OnGetDlgCode(), DLGC_WANTALLKEYS);
  EXPECT_TRUE(inDialog.OnEraseBkgnd());
  // Bytes per row are kept within 1..85, so no row arithmetic divides by zero.
  inDialog.SetBytesPerRow(0);
  EXPECT_EQ(inDialog.GetGeometry().nBytesPerRow, 1);
  inDialog.SetBytesPerRow(200);
  EXPECT_EQ(inDialog.GetGeometry().nBytesPerRow, 85);
}

}  // namespace
