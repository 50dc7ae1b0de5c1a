// Layout arithmetic, scrolling arithmetic, hit testing, caret points, selection
// ranges and the text renderings, from tables.
#include <gtest/gtest.h>

#include <string>

#include "hexview/hexlayout.h"
#include "hexview/hextext.h"

namespace {

TEST(RowsPerPage, DataSmallerThanPageRoundsAndAddsPartialRow) {
  struct Case {
    int nLength;
    int nRows;
    BOOL bPartial;
  };
  // 10 rows fit the client; 16 bytes a row.
  const Case cases[] = {
      {0, 0, FALSE}, {7, 1, TRUE}, {8, 2, TRUE}, {20, 2, TRUE}, {25, 3, TRUE}, {32, 2, FALSE},
      {160, 10, FALSE}, {161, 10, FALSE}, {1000, 10, FALSE},
  };
  for (const Case& c : cases) {
    const PageRows rows = ComputeRowsPerPage(10 * 14 + 5, 14, c.nLength, 16);
    EXPECT_EQ(rows.nRowsPerPage, c.nRows) << c.nLength;
    EXPECT_EQ(rows.bPartialLastRow, c.bPartial) << c.nLength;
  }
  // A client lower than one row holds no row, whatever the data.
  EXPECT_EQ(ComputeRowsPerPage(13, 14, 100, 16).nRowsPerPage, 0);
}

TEST(ColumnEdges, FollowAddressWidthAndShownColumns) {
  struct Case {
    BOOL bShowAddress, bShowHex, bWide;
    int nBytesPerRow;
    int nHexCell, nCharCell;
  };
  const Case cases[] = {
      {TRUE, TRUE, TRUE, 16, 9, 57},   // the system's configuration
      {TRUE, TRUE, FALSE, 16, 5, 53},  // narrow addresses
      {FALSE, TRUE, TRUE, 16, 0, 48},  // no address column
      {TRUE, FALSE, TRUE, 16, 9, 9},   // no hex column
      {TRUE, TRUE, TRUE, 8, 9, 33},
      {FALSE, FALSE, FALSE, 85, 0, 0},
  };
  for (const Case& c : cases) {
    const ColumnEdges edges = ComputeColumnEdges(7, c.nBytesPerRow, c.bShowAddress, c.bShowHex, c.bWide);
    EXPECT_EQ(edges.nHexColPx, c.nHexCell * 7);
    EXPECT_EQ(edges.nCharColPx, c.nCharCell * 7);
  }
}

TEST(ScrollInfo, RangesOfBothBars) {
  EXPECT_EQ(VerticalScrollInfo(100, 16, 4, 0), (ScrollInfo{0, 5, 4, 0}));
  EXPECT_EQ(VerticalScrollInfo(100, 16, 4, 36), (ScrollInfo{0, 5, 4, 2}));
  EXPECT_EQ(VerticalScrollInfo(0, 16, 0, 0), (ScrollInfo{0, -1, 0, 0}));
  // The thumb of 100 bytes at 4 rows a page reaches row 2 (top 32) at most.
  EXPECT_EQ(MaxScrollPos(VerticalScrollInfo(100, 16, 4, 0)), 2);
  EXPECT_EQ(MaxScrollPos(VerticalScrollInfo(0, 16, 0, 0)), 0);
  // The blank cell after the addresses is not counted.
  EXPECT_EQ(HorizontalScrollInfo(7, 16, TRUE, TRUE, TRUE, TRUE), (ScrollInfo{0, 72 * 7, 1, 0}));
  EXPECT_EQ(HorizontalScrollInfo(7, 16, TRUE, FALSE, TRUE, FALSE), (ScrollInfo{0, 20 * 7, 1, 0}));
  EXPECT_EQ(HorizontalScrollInfo(7, 16, FALSE, TRUE, FALSE, TRUE), (ScrollInfo{0, 48 * 7, 1, 0}));
}

TEST(ScrolledTopIndex, EveryCodeWith100BytesAnd4RowsAPage) {
  struct Case {
    UINT nCode;
    UINT nPos;
    int nTop;
    int nExpected;
  };
  const Case cases[] = {
      {SB_PAGEDOWN, 0, 0, 36},   {SB_PAGEDOWN, 0, 36, 36},  {SB_PAGEDOWN, 0, 20, 36},
      {SB_LINEUP, 0, 36, 20},    {SB_LINEUP, 0, 20, 4},     {SB_LINEUP, 0, 4, 0},      {SB_LINEUP, 0, 0, 0},
      {SB_LINEDOWN, 0, 0, 16},   {SB_LINEDOWN, 0, 32, 48},  {SB_LINEDOWN, 0, 36, 36},  {SB_LINEDOWN, 0, 48, 48},
      {SB_PAGEUP, 0, 36, 0},     {SB_PAGEUP, 0, 80, 16},    {SB_PAGEUP, 0, 0, 0},
      {SB_THUMBTRACK, 2, 0, 32}, {SB_THUMBTRACK, 0, 48, 0}, {SB_THUMBTRACK, 0xFFFFFFFFu, 0, 100},
      {SB_THUMBPOSITION, 3, 16, 16}, {SB_TOP, 0, 16, 0},    {SB_BOTTOM, 0, 16, 48},   {SB_ENDSCROLL, 0, 16, 16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScrolledTopIndex(c.nCode, c.nPos, c.nTop, 16, 4, 100), c.nExpected)
        << "code " << c.nCode << " from " << c.nTop;
  }
}

TEST(ScrolledTopIndex, LastPageTopShowsTheLastRowAtThePageBottom) {
  struct Case {
    int nLength, nPageRows, nExpected;
  };
  const Case cases[] = {
      {100, 4, 48}, {64, 4, 0}, {65, 4, 16}, {0, 4, 0}, {2, 20, 0}, {1500, 20, 1184}, {10, 0, 0}, {33, 0, 32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LastPageTopIndex(c.nLength, 16, c.nPageRows), c.nExpected) << c.nLength << " in " << c.nPageRows;
  }
}

HexGeometry SystemGeometry(int nTopIndex = 0, int nLength = 1000) {
  HexGeometry g;
  g.nCharWidthPx = 7;
  g.nLineHeightPx = 14;
  g.nBytesPerRow = 16;
  g.nRowsPerPage = 4;
  g.nTopIndex = nTopIndex;
  g.nLength = nLength;
  g.nHexColPx = 9 * 7;
  g.nCharColPx = 57 * 7;
  return g;
}

// The expected hit of cell nCell (counted from 0) of a row starting at nRowStart.
HitResult ExpectedHit(int nCell, int nRow, int nRowStart) {
  HitResult hit;
  hit.bHit = true;
  hit.nRow = nRow;
  if (nCell <= 7) {
    hit.nArea = AREA_ADDRESS;
    hit.nAddr = nRowStart;
    hit.nCol = 0;
  } else if (nCell == 8) {
    hit.nArea = AREA_HEX_HIGH;
    hit.nAddr = nRowStart;
    hit.nCol = 9;
  } else if (nCell <= 56) {
    const int k = (nCell - 9) / 3;
    switch ((nCell - 9) % 3) {
      case 0: hit = {true, 9 + 3 * k, nRow, nRowStart + k, AREA_HEX_HIGH}; break;
      case 1: hit = {true, 10 + 3 * k, nRow, nRowStart + k, AREA_HEX_LOW}; break;
      default: hit = {true, 12 + 3 * k, nRow, nRowStart + k + 1, AREA_HEX_HIGH}; break;
    }
    if (nCell == 56) {
      // The blank behind the last byte belongs to the character column: byte 0.
      hit = {true, 57, nRow, nRowStart, AREA_CHAR};
    }
  } else if (nCell <= 72) {
    hit = {true, nCell + 1, nRow, nRowStart + (nCell - 57) + 1, AREA_CHAR};
  } else {
    hit = HitResult{};
  }
  return hit;
}

TEST(HitTest, EveryCellOfARowInTheSystemLayout) {
  for (int nTop : {0, 5}) {  // also a top index that is not a multiple of 16
    const HexGeometry g = SystemGeometry(nTop);
    for (int nRow = 0; nRow <= 4; ++nRow) {
      for (int nCell = 0; nCell <= 80; ++nCell) {
        for (int dxPx : {0, 3, 6}) {  // anywhere inside the cell
          const HitResult hit = HitTestPoint(g, nCell * 7 + dxPx, nRow * 14 + 7);
          const HitResult expected = ExpectedHit(nCell, nRow, nTop + nRow * 16);
          ASSERT_EQ(hit.bHit, expected.bHit) << "top " << nTop << " cell " << nCell << " row " << nRow;
          if (!expected.bHit) continue;
          EXPECT_EQ(hit.nCol, expected.nCol) << "cell " << nCell;
          EXPECT_EQ(hit.nRow, expected.nRow) << "cell " << nCell;
          EXPECT_EQ(hit.nAddr, expected.nAddr) << "top " << nTop << " cell " << nCell << " row " << nRow;
          EXPECT_EQ(hit.nArea, expected.nArea) << "cell " << nCell;
        }
      }
    }
  }
}

TEST(HitTest, RowsAndEdges) {
  const HexGeometry g = SystemGeometry(0, 20);
  EXPECT_FALSE(HitTestPoint(g, 70, 5 * 14).bHit);   // row 5 > rows per page
  EXPECT_TRUE(HitTestPoint(SystemGeometry(), 70, 4 * 14).bHit);  // row == rows per page is accepted
  EXPECT_FALSE(HitTestPoint(g, 70, -14).bHit);      // row -1
  EXPECT_TRUE(HitTestPoint(g, 70, -3).bHit);        // truncates to row 0
  EXPECT_TRUE(HitTestPoint(g, 70, 14).bHit);        // row 1 starts at 16 <= 20
  const HexGeometry g16 = SystemGeometry(0, 16);
  EXPECT_TRUE(HitTestPoint(g16, 70, 14).bHit);      // row starts exactly at the end
  EXPECT_FALSE(HitTestPoint(g16, 70, 28).bHit);     // row starts past the end
  // Past the data on the last row: the address is not clamped.
  EXPECT_EQ(HitTestPoint(g, 9 * 7 + 3 * 10 * 7, 14).nAddr, 26);
  // Without an address column, far left gives an address below 0.
  HexGeometry noAddr = SystemGeometry();
  noAddr.bShowAddress = FALSE;
  noAddr.nHexColPx = 0;
  noAddr.nCharColPx = 48 * 7;
  EXPECT_LT(HitTestPoint(noAddr, -30, 3).nAddr, 0);
  EXPECT_EQ(HitTestPoint(noAddr, 0, 3).nAddr, 0);
  EXPECT_EQ(HitTestPoint(noAddr, 0, 3).nCol, 0);
}

TEST(CaretPoint, ByAreaRelativeToTheTopRow) {
  const HexGeometry g = SystemGeometry(16);
  EXPECT_EQ(CaretPointOf(g, 16, AREA_ADDRESS), (POINT{0, 0}));
  EXPECT_EQ(CaretPointOf(g, 35, AREA_HEX_HIGH), (POINT{(9 + 9) * 7, 14}));
  EXPECT_EQ(CaretPointOf(g, 35, AREA_HEX_LOW), (POINT{(9 + 10) * 7, 14}));
  EXPECT_EQ(CaretPointOf(g, 35, AREA_CHAR), (POINT{(57 + 3) * 7, 14}));
  // Above the top row: a point above the client area.
  EXPECT_LT(CaretPointOf(g, 0, AREA_HEX_HIGH).y, 0);
}

TEST(Selection, OrderedClampedAndOneEnded) {
  struct Case {
    int nStart, nEnd, nLength;
    bool bExists;
    int nLo, nHi;
  };
  const Case cases[] = {
      {-1, -1, 10, false, 0, 0}, {2, 6, 10, true, 2, 6},  {6, 2, 10, true, 2, 6},
      {4, 4, 10, true, 4, 4},    {3, 40, 10, true, 3, 10}, {5, -1, 10, true, 5, 5},
      {20, -1, 10, true, 10, 10}, {-5, 3, 10, true, 0, 3}, {0, 64, 0, true, 0, 0},
  };
  for (const Case& c : cases) {
    const SelRange sel = SelectionRange(c.nStart, c.nEnd, c.nLength);
    EXPECT_EQ(sel.bExists, c.bExists) << c.nStart << "," << c.nEnd;
    if (!c.bExists) continue;
    EXPECT_EQ(sel.nLo, c.nLo) << c.nStart << "," << c.nEnd;
    EXPECT_EQ(sel.nHi, c.nHi) << c.nStart << "," << c.nEnd;
  }
}

TEST(HexText, AddressesRowsAndClipboardForms) {
  char buf[16] = {};
  EXPECT_EQ(std::string(buf, FormatAddress(16, TRUE, buf)), "00000010");
  EXPECT_EQ(std::string(buf, FormatAddress(16, FALSE, buf)), "0010");
  EXPECT_EQ(std::string(buf, FormatAddress(0xABCDEF, TRUE, buf)), "00ABCDEF");
  EXPECT_EQ(std::string(buf, FormatAddress(0x12345, FALSE, buf)), "1234");

  const BYTE data[20] = {0x41, 0x00, 0x26, 0x1F, 0x7F, 0x80, 0xFF, 0x20, 0x7E};
  char line[256] = {};
  EXPECT_EQ(std::string(line, FormatHexRow(data, 20, 16, 16, line)),
            "00 00 00 00 " + std::string(36, ' '));
  EXPECT_EQ(std::string(line, FormatHexRow(data, 20, 0, 4, line)), "41 00 26 1F ");
  EXPECT_EQ(std::string(line, FormatCharRow(data, 9, 0, 16, line)), "A.&.... ~");
  EXPECT_EQ(FormatCharRow(data, 9, 9, 16, line), 0);

  const BYTE copy[3] = {0x47, 0x00, 0xFF};
  char text[16] = {};
  FillHexText(copy, 3, text);
  EXPECT_EQ(std::string(text, 9), "47 00 FF ");
  FillCharText(copy, 3, text);
  EXPECT_EQ(std::string(text, 3), "G..");
}

}  // namespace
