#include "hexview/hexlayout.h"

#include <algorithm>
#include <climits>

namespace {

int ClampToInt(long long nValue) { return static_cast<int>(std::clamp<long long>(nValue, INT_MIN, INT_MAX)); }

}  // namespace

ColumnEdges ComputeColumnEdges(int nCharWidthPx, int nBytesPerRow, BOOL bShowAddress, BOOL bShowHex,
                               BOOL bWideAddress) {
  ColumnEdges edges;
  // The address digits are followed by one blank cell.
  const int nHexCell = bShowAddress ? AddressDigits(bWideAddress) + 1 : 0;
  edges.nHexColPx = nHexCell * nCharWidthPx;
  edges.nCharColPx =
      bShowHex ? edges.nHexColPx + HEX_CELLS_PER_BYTE * nBytesPerRow * nCharWidthPx : edges.nHexColPx;
  return edges;
}

PageRows ComputeRowsPerPage(int nClientHeightPx, int nLineHeightPx, int nLength, int nBytesPerRow) {
  PageRows rows;
  rows.nRowsPerPage = nClientHeightPx / nLineHeightPx;
  if (static_cast<long long>(nBytesPerRow) * rows.nRowsPerPage > nLength) {
    // The data does not fill the page: its rows, rounded to the nearest whole row.
    rows.nRowsPerPage = (nLength + nBytesPerRow / 2) / nBytesPerRow;
    if (nLength % nBytesPerRow != 0) {
      rows.nRowsPerPage += 1;
      rows.bPartialLastRow = TRUE;
    }
  }
  return rows;
}

ScrollInfo VerticalScrollInfo(int nLength, int nBytesPerRow, int nRowsPerPage, int nTopIndex) {
  ScrollInfo info;
  info.nMin = 0;
  info.nMax = nLength / nBytesPerRow - 1;
  info.nPage = nRowsPerPage;
  info.nPos = nTopIndex / nBytesPerRow;
  return info;
}

ScrollInfo HorizontalScrollInfo(int nCharWidthPx, int nBytesPerRow, BOOL bShowAddress, BOOL bShowHex,
                                BOOL bShowChars, BOOL bWideAddress) {
  const int nAddrCells = bShowAddress ? AddressDigits(bWideAddress) : 0;
  const int nHexCells = bShowHex ? HEX_CELLS_PER_BYTE * nBytesPerRow : 0;
  const int nCharCells = bShowChars ? nBytesPerRow : 0;
  ScrollInfo info;
  info.nMax = (nAddrCells + nHexCells + nCharCells) * nCharWidthPx;
  info.nPage = 1;
  return info;
}

int LastPageTopIndex(int nLength, int nBytesPerRow, int nPageRows) {
  const long long nDataRows = (std::max(nLength, 0) + static_cast<long long>(nBytesPerRow) - 1) / nBytesPerRow;
  const long long nTopRow = std::max<long long>(nDataRows - std::max(nPageRows, 1), 0);
  return ClampToInt(nTopRow * nBytesPerRow);
}

int ScrolledTopIndex(UINT nSBCode, UINT nPos, int nTopIndex, int nBytesPerRow, int nRowsPerPage, int nLength) {
  const long long nPageBytes = static_cast<long long>(nRowsPerPage) * nBytesPerRow;
  const long long nLastTop = nLength - nPageBytes;  // L
  long long nTop = nTopIndex;
  switch (nSBCode) {
    case SB_LINEUP:
      if (nTop > 0) nTop = std::max<long long>(nTop - nBytesPerRow, 0);
      break;
    case SB_LINEDOWN:
      if (nTop < nLastTop) nTop += nBytesPerRow;
      break;
    case SB_PAGEUP:
      if (nTop > 0) nTop = std::max<long long>(nTop - nPageBytes, 0);
      break;
    case SB_PAGEDOWN:
      if (nTop < nLastTop) nTop = std::min(nTop + nPageBytes, nLastTop);
      break;
    case SB_THUMBTRACK:
      nTop = std::clamp<long long>(static_cast<long long>(nPos) * nBytesPerRow, 0, std::max(nLength, 0));
      break;
    case SB_TOP:
      nTop = 0;
      break;
    case SB_BOTTOM:
      nTop = LastPageTopIndex(nLength, nBytesPerRow, nRowsPerPage);
      break;
    default:  // SB_THUMBPOSITION, SB_ENDSCROLL: no change
      break;
  }
  return ClampToInt(nTop);
}

int TopIndexShowing(int nAddr, int nTopIndex, int nBytesPerRow, int nRowsPerPage) {
  const long long nPageBytes = static_cast<long long>(std::max(nRowsPerPage, 1)) * nBytesPerRow;
  const long long nOffset = static_cast<long long>(nAddr) - nTopIndex;
  if (nOffset < 0) {
    const long long nRowsUp = (-nOffset + nBytesPerRow - 1) / nBytesPerRow;
    return ClampToInt(std::max<long long>(nTopIndex - nRowsUp * nBytesPerRow, 0));
  }
  if (nOffset >= nPageBytes) return ClampToInt(nTopIndex + ((nOffset - nPageBytes) / nBytesPerRow + 1) * nBytesPerRow);
  return nTopIndex;
}

HitResult HitTestPoint(const HexGeometry& g, int xPx, int yPx) {
  HitResult miss;
  const int w = g.nCharWidthPx;
  const int b = g.nBytesPerRow;
  const int nRow = yPx / g.nLineHeightPx;  // truncates toward zero
  if (nRow < 0 || nRow > g.nRowsPerPage) return miss;
  const long long nRowStart = g.nTopIndex + static_cast<long long>(nRow) * b;  // r0
  if (nRowStart > g.nLength) return miss;
  const int n = static_cast<int>((static_cast<long long>(xPx) + w) / w);  // cell counted from 1

  HitResult hit;
  hit.bHit = true;
  hit.nRow = nRow;
  if (g.bShowAddress && n <= AddressDigits(g.bWideAddress)) {
    hit.nArea = AREA_ADDRESS;
    hit.nAddr = ClampToInt(nRowStart);
    hit.nCol = 0;
    return hit;
  }
  if (g.bShowHex) {
    const int nHexCell = g.nHexColPx / w;  // hc
    const int m = n - nHexCell;            // 1 on the first digit of byte 0
    if (m < HEX_CELLS_PER_BYTE * b) {
      const int j = m / HEX_CELLS_PER_BYTE;
      const bool bLow = (m % HEX_CELLS_PER_BYTE == 2);
      hit.nArea = bLow ? AREA_HEX_LOW : AREA_HEX_HIGH;
      hit.nAddr = ClampToInt(nRowStart + j);
      hit.nCol = nHexCell + HEX_CELLS_PER_BYTE * j + (bLow ? 1 : 0);
      return hit;
    }
  }
  if (g.bShowChars) {
    const int nCharCell = g.nCharColPx / w;  // cc
    if (n <= nCharCell + b) {
      hit.nArea = AREA_CHAR;
      hit.nAddr = ClampToInt(nRowStart + (n - nCharCell));
      hit.nCol = n;
      return hit;
    }
  }
  return miss;
}

POINT CaretPointOf(const HexGeometry& g, int nAddr, int nArea) {
  const long long nOffset = static_cast<long long>(nAddr) - g.nTopIndex;
  const long long nRow = nOffset / g.nBytesPerRow;
  const long long nCol = nOffset % g.nBytesPerRow;
  long long xPx = 0;
  switch (nArea) {
    case AREA_CHAR: xPx = g.nCharColPx + nCol * g.nCharWidthPx; break;
    case AREA_HEX_HIGH: xPx = g.nHexColPx + HEX_CELLS_PER_BYTE * nCol * g.nCharWidthPx; break;
    case AREA_HEX_LOW: xPx = g.nHexColPx + (HEX_CELLS_PER_BYTE * nCol + 1) * g.nCharWidthPx; break;
    default: xPx = 0; break;
  }
  return POINT{ClampToInt(xPx), ClampToInt(nRow * g.nLineHeightPx)};
}

SelRange SelectionRange(int nSelStart, int nSelEnd, int nLength) {
  SelRange range;
  if (nSelStart == -1) return range;
  range.bExists = true;
  const int nLimit = std::max(nLength, 0);
  if (nSelEnd < 0) {
    // Only the anchor is set (a Shift+click that missed): nothing is selected yet.
    range.nLo = range.nHi = std::clamp(nSelStart, 0, nLimit);
    return range;
  }
  range.nLo = std::clamp(std::min(nSelStart, nSelEnd), 0, nLimit);
  range.nHi = std::clamp(std::max(nSelStart, nSelEnd), 0, nLimit);
  return range;
}

int SelEndAtCaret(int nCaretAddr, int nArea) {
  return IsHexArea(nArea) ? ClampToInt(static_cast<long long>(nCaretAddr) + 1) : nCaretAddr;
}

int PasteAddr(int nCaretAddr, int nArea, int nLength) {
  const long long nAddr = static_cast<long long>(nCaretAddr) + (nArea == AREA_HEX_LOW ? 1 : 0);
  return static_cast<int>(std::clamp<long long>(nAddr, 0, std::max(nLength, 0)));
}
