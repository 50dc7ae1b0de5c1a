// The hex view's pure arithmetic from tables: layout, scroll codes, hit testing,
// caret points and steps, selection ranges, keys and the text forms. These are
// the only copy of these cases; the widget tests check the wiring.
#include <gtest/gtest.h>

#include <QAbstractSlider>
#include <QString>

#include <string>
#include <tuple>

#include "hexview/hexkeys.h"
#include "hexview/hexlayout.h"
#include "hexview/hextext.h"
#include "platform/ui/keys.h"
#include "platform/ui/scrollbar.h"

namespace {

TEST(HexLayout, RowsColumnsAndScrollRanges) {
  // 10 whole rows fit; data that does not fill them gets its rows rounded, plus
  // one for a partial last row.
  struct Rows { int nLength, nRows; BOOL bPartial; };
  for (const Rows& c : {Rows{0, 0, FALSE}, {7, 1, TRUE}, {8, 2, TRUE}, {25, 3, TRUE}, {32, 2, FALSE},
                        {160, 10, FALSE}, {161, 10, FALSE}}) {
    const PageRows rows = ComputeRowsPerPage(10 * 14 + 5, 14, c.nLength, 16);
    EXPECT_EQ(std::pair(rows.nRowsPerPage, rows.bPartialLastRow), std::pair(c.nRows, c.bPartial)) << c.nLength;
  }
  EXPECT_EQ(ComputeRowsPerPage(13, 14, 100, 16).nRowsPerPage, 0);

  struct Edges { BOOL bAddr, bHex, bWide; int nBytesPerRow, nHexCell, nCharCell; };
  for (const Edges& c : {Edges{TRUE, TRUE, TRUE, 16, 9, 57}, {TRUE, TRUE, FALSE, 16, 5, 53},
                         {FALSE, TRUE, TRUE, 16, 0, 48}, {TRUE, FALSE, TRUE, 8, 9, 9}}) {
    const ColumnEdges edges = ComputeColumnEdges(7, c.nBytesPerRow, c.bAddr, c.bHex, c.bWide);
    EXPECT_EQ(std::pair(edges.nHexColPx, edges.nCharColPx), std::pair(c.nHexCell * 7, c.nCharCell * 7));
  }
  // Rows 0..5 of 100 bytes with the thumb reaching row 2; the shown cells less
  // the blank behind the addresses.
  EXPECT_EQ(VerticalScrollInfo(100, 16, 4, 36), (ScrollInfo{0, 5, 4, 2}));
  EXPECT_EQ(VerticalScrollInfo(0, 16, 0, 0), (ScrollInfo{0, -1, 0, 0}));
  EXPECT_EQ(HorizontalScrollInfo(7, 16, TRUE, TRUE, TRUE, TRUE), (ScrollInfo{0, 72 * 7, 1, 0}));
  EXPECT_EQ(HorizontalScrollInfo(7, 16, TRUE, FALSE, TRUE, FALSE), (ScrollInfo{0, 20 * 7, 1, 0}));
}

TEST(HexLayout, ScrollCodesAndTheLastPage) {
  struct Code { UINT nCode, nPos; int nTop, nExpected; };  // 100 bytes, 4 rows a page
  for (const Code& c : {Code{SB_PAGEDOWN, 0, 0, 36}, {SB_PAGEDOWN, 0, 20, 36}, {SB_PAGEDOWN, 0, 36, 36},
                        {SB_LINEUP, 0, 20, 4},       {SB_LINEUP, 0, 0, 0},      {SB_LINEDOWN, 0, 32, 48},
                        {SB_LINEDOWN, 0, 36, 36},    {SB_PAGEUP, 0, 80, 16},    {SB_PAGEUP, 0, 36, 0},
                        {SB_THUMBTRACK, 2, 0, 32},   {SB_THUMBTRACK, 0xFFFFFFFFu, 0, 100},
                        {SB_THUMBPOSITION, 3, 16, 16}, {SB_ENDSCROLL, 0, 16, 16}, {SB_TOP, 0, 16, 0},
                        {SB_BOTTOM, 0, 16, 48}}) {
    EXPECT_EQ(ScrolledTopIndex(c.nCode, c.nPos, c.nTop, 16, 4, 100), c.nExpected) << c.nCode << " from " << c.nTop;
  }
  // The last page's top puts the last data row on the page's last row.
  struct Last { int nLength, nPageRows, nExpected; };
  for (const Last& c : {Last{100, 4, 48}, {64, 4, 0}, {65, 4, 16}, {160, 5, 80}, {0, 4, 0}, {33, 0, 32}}) {
    EXPECT_EQ(LastPageTopIndex(c.nLength, 16, c.nPageRows), c.nExpected) << c.nLength << " in " << c.nPageRows;
  }
  // A caret off the page brings the view to it by whole rows: onto the top row from
  // below, onto the last row from above; on the page, or with no rows, nothing moves.
  struct Show { int nAddr, nTop, nRows, nExpected; };
  for (const Show& c : {Show{40, 36, 4, 36}, {99, 36, 4, 36}, {100, 36, 4, 52}, {500, 0, 4, 448}, {35, 36, 4, 20},
                        {3, 36, 4, 0}, {0, 5, 4, 0}, {20, 5, 0, 5}, {21, 5, 0, 21}}) {
    EXPECT_EQ(TopIndexShowing(c.nAddr, c.nTop, 16, c.nRows), c.nExpected) << c.nAddr << " from " << c.nTop;
  }
  // The scroll bar's actions as codes.
  using A = QAbstractSlider;
  for (auto [nAction, nCode] : {std::pair{A::SliderSingleStepAdd, SB_LINEDOWN}, {A::SliderSingleStepSub, SB_LINEUP},
                                {A::SliderPageStepAdd, SB_PAGEDOWN}, {A::SliderPageStepSub, SB_PAGEUP},
                                {A::SliderToMinimum, SB_TOP}, {A::SliderToMaximum, SB_BOTTOM},
                                {A::SliderMove, SB_THUMBTRACK}, {A::SliderNoAction, SB_ENDSCROLL}}) {
    EXPECT_EQ(ScrollActionToSBCode(nAction), nCode) << nAction;
  }
}

HexGeometry SystemGeometry(int nTopIndex, int nLength) {  // 7 x 14 pixel cells, 4 rows a page
  return HexGeometry{.nCharWidthPx = 7, .nLineHeightPx = 14, .nBytesPerRow = 16, .nRowsPerPage = 4,
                     .nTopIndex = nTopIndex, .nLength = nLength, .nHexColPx = 9 * 7, .nCharColPx = 57 * 7};
}

TEST(HexLayout, HitTestCaretPointsAndSelections) {
  struct Cell { int nCell, nCol, nByte, nArea; };  // nByte from the row's start
  const Cell cells[] = {{0, 0, 0, AREA_ADDRESS},    {7, 0, 0, AREA_ADDRESS},     {8, 9, 0, AREA_HEX_HIGH},
                        {9, 9, 0, AREA_HEX_HIGH},   {10, 10, 0, AREA_HEX_LOW},   {11, 12, 1, AREA_HEX_HIGH},
                        {54, 54, 15, AREA_HEX_HIGH}, {55, 55, 15, AREA_HEX_LOW}, {56, 57, 0, AREA_CHAR},
                        {57, 58, 1, AREA_CHAR},     {71, 72, 15, AREA_CHAR},     {72, 73, 16, AREA_CHAR}};
  for (int nTop : {0, 5}) {  // also a top index inside a row
    for (const Cell& c : cells) {
      for (int dxPx : {0, 6}) {
        const HitResult hit = HitTestPoint(SystemGeometry(nTop, 1000), c.nCell * 7 + dxPx, 2 * 14 + 7);
        ASSERT_TRUE(hit.bHit) << "cell " << c.nCell;
        EXPECT_EQ(hit.nCol, c.nCol) << "cell " << c.nCell;
        EXPECT_EQ(hit.nRow, 2);
        EXPECT_EQ(hit.nAddr, nTop + 32 + c.nByte) << "cell " << c.nCell;
        EXPECT_EQ(hit.nArea, c.nArea) << "cell " << c.nCell;
      }
    }
  }
  // Misses: right of the character column, row -1, a row starting past the data, a row past
  // the page; hits: -14 < y < 0 (row 0), a row starting at the end of the data, row == rows per page.
  for (auto [xPx, yPx, nLength, bHit] : {std::tuple{73 * 7, 7, 16, false}, {70, -14, 16, false}, {70, 28, 16, false},
                                         {70, 5 * 14, 1000, false}, {70, -3, 16, true}, {70, 14, 16, true},
                                         {70, 4 * 14, 1000, true}}) {
    EXPECT_EQ(HitTestPoint(SystemGeometry(0, nLength), xPx, yPx).bHit, bHit) << xPx << "," << yPx;
  }
  EXPECT_EQ(HitTestPoint(SystemGeometry(0, 20), 39 * 7, 14).nAddr, 26);  // past the data: not clamped

  const HexGeometry top16 = SystemGeometry(16, 1000);
  EXPECT_EQ(CaretPointOf(top16, 16, AREA_ADDRESS), (POINT{0, 0}));
  EXPECT_EQ(CaretPointOf(top16, 35, AREA_HEX_HIGH), (POINT{18 * 7, 14}));
  EXPECT_EQ(CaretPointOf(top16, 35, AREA_HEX_LOW), (POINT{19 * 7, 14}));
  EXPECT_EQ(CaretPointOf(top16, 35, AREA_CHAR), (POINT{60 * 7, 14}));

  // Selections: ordered, clamped to the data, one-ended.
  struct Case { int nStart, nEnd, nLength; bool bExists; int nLo, nHi; };
  for (const Case& c : {Case{-1, -1, 10, false, 0, 0}, {2, 6, 10, true, 2, 6}, {6, 2, 10, true, 2, 6},
                        {3, 40, 10, true, 3, 10}, {5, -1, 10, true, 5, 5}, {20, -1, 10, true, 10, 10},
                        {-5, 3, 10, true, 0, 3}, {0, 64, 0, true, 0, 0}}) {
    const SelRange sel = SelectionRange(c.nStart, c.nEnd, c.nLength);
    EXPECT_EQ(std::tuple(sel.bExists, sel.nLo, sel.nHi), std::tuple(c.bExists, c.nLo, c.nHi)) << c.nStart;
  }
  // A paste on the low digit goes behind the byte; a caret outside the data pastes at its nearest end.
  EXPECT_EQ(std::tuple(PasteAddr(5, AREA_HEX_LOW, 10), PasteAddr(10, AREA_HEX_LOW, 10), PasteAddr(-3, AREA_CHAR, 10)),
            std::tuple(6, 10, 0));
}

TEST(HexKeys, KeysBecomeCharactersAndCommands) {
  using namespace Qt;  // the keys that the view's own tests never press
  struct Case { int nQtKey; KeyboardModifiers mods; const char* pszText; UINT nVirtKey; int nChar; };
  for (const Case& c : {Case{Key_Enter, KeypadModifier, "\r", VK_RETURN, 13}, {Key_H, ControlModifier, "", 0x48, 8},
                        {Key_C, ControlModifier, "\x03", 0x43, 3},      {Key_Eacute, NoModifier, "\xc3\xa9", 0, 0xE9},
                        {Key_E, ControlModifier | AltModifier, "\xe2\x82\xac", 0x45, -1}}) {  // AltGr euro: not Latin-1
    const KeyInput input = TranslateKey(c.nQtKey, c.mods, QString::fromUtf8(c.pszText));
    EXPECT_EQ(std::pair(input.nVirtKey, input.nChar), std::pair(c.nVirtKey, c.nChar)) << std::hex << c.nQtKey;
  }
  EXPECT_TRUE(TranslateKey(Key_Backtab, NoModifier, QString()).modifiers.testFlag(ShiftModifier));

  // Virtual keys as commands.
  using K = KeyCommand;
  constexpr bool T = true, F = false;
  struct Command { UINT nVirtKey; BOOL bCtrl; K command; bool bNavigation, bTakesCaretByte; int dx, dy; };
  for (const Command& c : {Command{VK_LEFT, FALSE, K::Left, T, F, -1, 0}, {VK_RIGHT, TRUE, K::Right, T, T, 1, 0},
                           {VK_UP, FALSE, K::Up, T, F, 0, -1},             {VK_DOWN, FALSE, K::Down, T, T, 0, 1},
                           {VK_PRIOR, FALSE, K::PageUp, T, F, 0, 0},       {VK_NEXT, FALSE, K::PageDown, T, F, 0, 0},
                           {VK_HOME, FALSE, K::Home, T, F, 0, 0},          {VK_HOME, TRUE, K::CtrlHome, T, F, 0, 0},
                           {VK_END, FALSE, K::End, T, F, 0, 0},            {VK_END, TRUE, K::CtrlEnd, T, F, 0, 0},
                           {VK_TAB, FALSE, K::Tab, F, F, 0, 0},            {VK_INSERT, FALSE, K::Insert, F, F, 0, 0},
                           {VK_DELETE, FALSE, K::Delete, F, F, 0, 0},      {VK_BACK, FALSE, K::None, F, F, 0, 0},
                           {0x43, TRUE, K::Copy, F, F, 0, 0},              {VK_INSERT, TRUE, K::Copy, F, F, 0, 0},
                           {0x41, TRUE, K::SelectAll, F, F, 0, 0},         {0x43, FALSE, K::None, F, F, 0, 0}}) {
    const K command = KeyToCommand(c.nVirtKey, c.bCtrl, FALSE);
    const CellStep step = ArrowStep(command);
    EXPECT_EQ(std::tuple(command, IsNavigation(command), EndIncludesCaretByte(command), step.dx, step.dy),
              std::tuple(c.command, c.bNavigation, c.bTakesCaretByte, c.dx, c.dy)) << c.nVirtKey;
  }
  EXPECT_EQ(std::pair(KeyToCommand(VK_DELETE, FALSE, TRUE), KeyToCommand(VK_INSERT, FALSE, TRUE)),
            std::pair(K::None, K::Insert));  // Shift+Delete deletes nothing

  // Typing: digits at the edges of 0-9 and a-f, capitals ignored; a digit replaces its own half of the byte.
  for (auto [ch, nValue] : {std::pair{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'/', -1}, {':', -1}, {'`', -1},
                            {'g', -1}, {'A', -1}}) {
    EXPECT_EQ(HexDigitValue(static_cast<UINT>(ch)), nValue) << ch;
  }
  EXPECT_EQ(std::pair(SetNibble(0x5A, true, 0xC), SetNibble(0x5A, false, 0xC)), std::pair(BYTE{0xCA}, BYTE{0x5C}));
  // Insert: the ends as set, so a backward or one-ended selection inserts one byte.
  EXPECT_EQ(std::tuple(InsertCount(-1, -1), InsertCount(2, 6), InsertCount(6, 2), InsertCount(5, -1)),
            std::tuple(1, 4, 1, 1));
}

TEST(HexKeys, CaretStepsAndRowEnds) {
  struct Case { CaretSpot from; int dx, dy, nLength; CaretSpot to; };
  const Case cases[] = {
      {{0, AREA_HEX_HIGH}, 1, 0, 40, {0, AREA_HEX_LOW}},   {{0, AREA_HEX_LOW}, 1, 0, 40, {1, AREA_HEX_HIGH}},
      {{5, AREA_HEX_HIGH}, -1, 0, 40, {4, AREA_HEX_LOW}},  {{5, AREA_HEX_LOW}, -1, 0, 40, {5, AREA_HEX_HIGH}},
      {{0, AREA_HEX_HIGH}, -1, 0, 40, {0, AREA_HEX_LOW}},  {{39, AREA_HEX_LOW}, 1, 0, 40, {39, AREA_HEX_HIGH}},
      {{5, AREA_HEX_HIGH}, 0, -1, 40, {0, AREA_HEX_HIGH}}, {{35, AREA_CHAR}, 0, 1, 40, {35, AREA_CHAR}},
      {{20, AREA_CHAR}, 0, 1, 40, {36, AREA_CHAR}},        {{39, AREA_CHAR}, 1, 0, 40, {39, AREA_CHAR}},
      {{3, AREA_ADDRESS}, 0, 1, 40, {3, AREA_ADDRESS}},    {{90, AREA_CHAR}, 1, 0, 40, {40, AREA_CHAR}},
      {{32, AREA_ADDRESS}, 1, 0, 40, {32, AREA_HEX_HIGH}}, {{32, AREA_ADDRESS}, -1, 0, 40, {32, AREA_HEX_HIGH}},
      {{-7, AREA_CHAR}, 0, 0, 40, {0, AREA_CHAR}},         {{40, AREA_HEX_HIGH}, 0, 0, 40, {40, AREA_HEX_HIGH}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StepCaret(c.from, c.dx, c.dy, 16, c.nLength), c.to) << c.from.nAddr << "/" << c.from.nArea << " by "
                                                                    << c.dx << "," << c.dy;
  }
  // Home, End, Ctrl+End's byte and top row.
  EXPECT_EQ(std::tuple(HomeAddr(37, 16), EndAddr(3, 16, 100), EndAddr(20, 16, 31), EndAddr(0, 16, 0), LastByteAddr(0)),
            std::tuple(32, 15, 30, 0, 0));
  EXPECT_EQ(std::pair(CtrlEndTopRow(100, 16, 4, FALSE), CtrlEndTopRow(20, 16, 2, TRUE)), std::pair(2, 0));
  // Page keys move the caret a page, within the first and the last byte.
  EXPECT_EQ(std::tuple(PageStepAddr(5, 64, 100), PageStepAddr(90, 64, 100), PageStepAddr(20, -64, 100),
                       PageStepAddr(0, 64, 0)), std::tuple(69, 99, 0, 0));
}

TEST(HexText, AddressesRowsAndClipboardForms) {
  char buf[256] = {};
  EXPECT_EQ(std::string(buf, FormatAddress(0x12345, FALSE, buf)), "1234");
  const BYTE data[20] = {0x41, 0x00, 0x26, 0x1F, 0x7F, 0x80, 0xFF, 0x20, 0x7E};
  EXPECT_EQ(std::string(buf, FormatHexRow(data, 20, 16, 16, buf)), "00 00 00 00 " + std::string(36, ' '));
  EXPECT_EQ(std::string(buf, FormatCharRow(data, 9, 0, 16, buf)), "A.&.... ~");
  FillHexText(data, 3, buf);
  EXPECT_EQ(std::string(buf, 9), "41 00 26 ");
  FillCharText(data, 3, buf);
  EXPECT_EQ(std::string(buf, 3), "A.&");
}

}  // namespace
