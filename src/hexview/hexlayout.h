#pragma once
// Layout arithmetic of the hex view: column edges, rows per page, scroll ranges,
// the scroll codes, hit testing, caret points and selection ranges. Pure
// functions of the numbers they are given; none depends on a paint having run.
//
// Units: nAddr/nIndex/nLength are byte indices or counts, nRow/nCol/nCell are
// character cells, xPx/yPx/...Px are client pixels.
#include "platform/ui/scrollbar.h"
#include "platform/wintypes.h"

// Where the caret stands.
constexpr int AREA_ADDRESS = 0;
constexpr int AREA_CHAR = 1;
constexpr int AREA_HEX_HIGH = 2;
constexpr int AREA_HEX_LOW = 3;

// The hex column gives each byte three cells: its two digits and a blank.
constexpr int HEX_CELLS_PER_BYTE = 3;

constexpr int MIN_BYTES_PER_ROW = 1;
// A hex row is built in a 256-character line buffer.
constexpr int MAX_BYTES_PER_ROW = 256 / HEX_CELLS_PER_BYTE;  // 85

inline bool IsHexArea(int nArea) { return nArea == AREA_HEX_HIGH || nArea == AREA_HEX_LOW; }

// 8 digits for wide addresses, 4 for narrow ones.
inline int AddressDigits(BOOL bWideAddress) { return bWideAddress ? 8 : 4; }

struct ColumnEdges {
  int nHexColPx = 0;   // left edge of the hex column
  int nCharColPx = 0;  // left edge of the character column
};
// The address column (when shown) takes its digits plus one blank cell; the hex
// column HEX_CELLS_PER_BYTE cells a byte; a hidden hex column takes no room.
ColumnEdges ComputeColumnEdges(int nCharWidthPx, int nBytesPerRow, BOOL bShowAddress, BOOL bShowHex,
                               BOOL bWideAddress);

struct PageRows {
  int nRowsPerPage = 0;
  BOOL bPartialLastRow = FALSE;
};
// Whole rows that fit the client height; when the data does not fill them, the
// data's rows rounded to the nearest whole row, plus one for a partial last row
// (then bPartialLastRow). 0 bytes give 0 rows. nLineHeightPx must be positive.
PageRows ComputeRowsPerPage(int nClientHeightPx, int nLineHeightPx, int nLength, int nBytesPerRow);

// Vertical bar: rows 0 .. nLength / nBytesPerRow - 1 (a partial last row adds
// nothing), page = rows per page, position = top row. An empty buffer gives the
// range 0 .. -1 with page 0.
ScrollInfo VerticalScrollInfo(int nLength, int nBytesPerRow, int nRowsPerPage, int nTopIndex);
// Horizontal bar: the width of the shown columns in pixels (the blank cell after
// the addresses not counted), page 1, position 0.
ScrollInfo HorizontalScrollInfo(int nCharWidthPx, int nBytesPerRow, BOOL bShowAddress, BOOL bShowHex,
                                BOOL bShowChars, BOOL bWideAddress);

// The highest top index that the page still needs: the one that puts the data's
// last row on the page's last row. 0 when every row fits (or there is no data);
// always a multiple of nBytesPerRow. nPageRows below 1 counts as 1.
int LastPageTopIndex(int nLength, int nBytesPerRow, int nPageRows);

// New top index after a scroll code. Line down moves a whole row while the top is
// below L = nLength - page bytes, even past L; page down stops at L; up-moves
// stop at 0; thumb track goes to row nPos (clamped to 0 .. nLength so that no
// later arithmetic overflows); top goes to 0 and bottom to LastPageTopIndex;
// other codes keep the top.
int ScrolledTopIndex(UINT nSBCode, UINT nPos, int nTopIndex, int nBytesPerRow, int nRowsPerPage, int nLength);

// The top index that brings byte nAddr onto the page by whole rows from
// nTopIndex: unchanged when it is on the page already, else moved up (not below
// 0) until nAddr is on the top row or down until it is on the last row. Rows
// per page below 1 count as 1.
int TopIndexShowing(int nAddr, int nTopIndex, int nBytesPerRow, int nRowsPerPage);

struct HexGeometry {
  int nCharWidthPx = 1;
  int nLineHeightPx = 1;
  int nBytesPerRow = 16;
  int nRowsPerPage = 0;
  int nTopIndex = 0;
  int nLength = 0;
  int nHexColPx = 0;
  int nCharColPx = 0;
  BOOL bShowAddress = TRUE;
  BOOL bShowHex = TRUE;
  BOOL bShowChars = TRUE;
  BOOL bWideAddress = TRUE;
};

struct HitResult {
  bool bHit = false;
  int nCol = -1;  // cell column of the caret, or -1 on a miss
  int nRow = -1;  // cell row, or -1 on a miss
  int nAddr = 0;  // caret address on a hit: may lie past the data or below 0
  int nArea = AREA_ADDRESS;
};
// The cell where a click at (xPx, yPx) puts the caret. Rows: y / line height,
// truncating toward zero (so -h < y < 0 is row 0); row == rows per page is still
// accepted; a row starting past nLength misses. Columns, counting cells n from 1
// at the left edge: address digits; then the hex column, where a digit lands on
// itself, the blank behind a byte on the next byte's high digit and the blank in
// front of the column on the first byte; then the character column, where cell k
// of the row gives byte k + 1 (the blank in front gives byte 0). Right of the
// character column: a miss.
HitResult HitTestPoint(const HexGeometry& geometry, int xPx, int yPx);

// Caret point for byte nAddr in nArea, relative to the top index; rows and
// columns truncate toward zero, so an address above the top gives a point above
// or left of the client area.
POINT CaretPointOf(const HexGeometry& geometry, int nAddr, int nArea);

struct SelRange {
  bool bExists = false;
  int nLo = 0;  // first selected byte
  int nHi = 0;  // one past the last selected byte; nLo <= nHi
};
// The selected bytes of ends nSelStart and nSelEnd (either order), within
// 0 .. nLength. No selection when nSelStart is -1. An anchor whose other end is
// missing (negative) is an empty selection at the anchor.
SelRange SelectionRange(int nSelStart, int nSelEnd, int nLength);

// The moving end of a selection that reaches the caret: one past the caret in
// the hex column, so that the byte under it is included; at the caret elsewhere.
int SelEndAtCaret(int nCaretAddr, int nArea);

// Where a paste without a selection inserts: at the caret, or behind the caret's
// byte when the caret is on the low digit; pulled into 0 .. nLength, so a caret
// a scroll left outside the data pastes at the nearer end. A negative nLength
// counts as 0.
int PasteAddr(int nCaretAddr, int nArea, int nLength);
