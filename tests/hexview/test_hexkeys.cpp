// The key table as moves, without key events.
#include <gtest/gtest.h>

#include "hexview/hexkeys.h"

namespace {

TEST(StepCaret, MovesInsideTheArea) {
  struct Case {
    CaretSpot from;
    int dx, dy;
    int nLength;
    CaretSpot to;
  };
  const Case cases[] = {
      // Right walks high digit, low digit, next byte's high digit.
      {{0, AREA_HEX_HIGH}, 1, 0, 40, {0, AREA_HEX_LOW}},
      {{0, AREA_HEX_LOW}, 1, 0, 40, {1, AREA_HEX_HIGH}},
      // Left walks low digit, high digit, previous byte's low digit.
      {{5, AREA_HEX_HIGH}, -1, 0, 40, {4, AREA_HEX_LOW}},
      {{5, AREA_HEX_LOW}, -1, 0, 40, {5, AREA_HEX_HIGH}},
      // Left on the high digit of byte 0 lands on its low digit.
      {{0, AREA_HEX_HIGH}, -1, 0, 40, {0, AREA_HEX_LOW}},
      // Right on the low digit of the last byte lands on its high digit.
      {{39, AREA_HEX_LOW}, 1, 0, 40, {39, AREA_HEX_HIGH}},
      // Up in the first row goes to byte 0; Down in the last row stays.
      {{5, AREA_HEX_HIGH}, 0, -1, 40, {0, AREA_HEX_HIGH}},
      {{35, AREA_CHAR}, 0, 1, 40, {35, AREA_CHAR}},
      {{20, AREA_CHAR}, 0, 1, 40, {36, AREA_CHAR}},
      {{39, AREA_CHAR}, 1, 0, 40, {39, AREA_CHAR}},
      {{0, AREA_CHAR}, -1, 0, 40, {0, AREA_CHAR}},
      // The address column does not move at all.
      {{3, AREA_ADDRESS}, 1, 1, 40, {3, AREA_ADDRESS}},
      // Empty buffer: the caret stays at 0.
      {{0, AREA_HEX_HIGH}, 1, 0, 0, {0, AREA_HEX_LOW}},
      {{0, AREA_CHAR}, 0, 1, 0, {0, AREA_CHAR}},
      // A caret left past the data or below 0 comes back within 0..length.
      {{90, AREA_CHAR}, 1, 0, 40, {40, AREA_CHAR}},
      {{-7, AREA_CHAR}, 0, 0, 40, {0, AREA_CHAR}},
      // Just behind the last byte (after deleting it) a zero move stays there.
      {{40, AREA_HEX_HIGH}, 0, 0, 40, {40, AREA_HEX_HIGH}},
  };
  for (const Case& c : cases) {
    const CaretSpot to = StepCaret(c.from, c.dx, c.dy, 16, c.nLength);
    EXPECT_EQ(to.nAddr, c.to.nAddr) << c.from.nAddr << " area " << c.from.nArea << " by " << c.dx << "," << c.dy;
    EXPECT_EQ(to.nArea, c.to.nArea) << c.from.nAddr << " area " << c.from.nArea << " by " << c.dx << "," << c.dy;
  }
}

TEST(HomeEnd, RowsAlignedToIndexZero) {
  EXPECT_EQ(HomeAddr(37, 16), 32);
  EXPECT_EQ(HomeAddr(15, 16), 0);
  EXPECT_EQ(EndAddr(20, 16, 31), 30);  // End on byte 20 of 31
  EXPECT_EQ(EndAddr(3, 16, 100), 15);
  EXPECT_EQ(EndAddr(0, 16, 0), 0);
  EXPECT_EQ(LastByteAddr(100), 99);
  EXPECT_EQ(LastByteAddr(0), 0);
  // Ctrl+End: 100 bytes, 4 rows a page: row 2; a partial last row: row 0.
  EXPECT_EQ(CtrlEndTopRow(100, 16, 4, FALSE), 2);
  EXPECT_EQ(CtrlEndTopRow(20, 16, 2, TRUE), 0);
  EXPECT_EQ(CtrlEndTopRow(32, 16, 2, FALSE), 0);
}

}  // namespace
