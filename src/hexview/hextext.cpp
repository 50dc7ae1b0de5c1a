#include "hexview/hextext.h"

#include <algorithm>
#include <cstdio>

#include "hexview/hexlayout.h"

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

int FormatAddress(int nIndex, BOOL bWideAddress, char* pOut) {
  // 12 bytes hold every unsigned 32-bit value in hex with its zero.
  std::snprintf(pOut, 12, bWideAddress ? "%08X" : "%04X", static_cast<unsigned>(nIndex));
  return bWideAddress ? 8 : 4;
}

int FormatHexRow(const BYTE* pData, int nLength, int nRowStart, int nBytesPerRow, char* pOut) {
  for (int nCol = 0; nCol < nBytesPerRow; ++nCol) {
    const long long nIndex = static_cast<long long>(nRowStart) + nCol;
    char* pCell = pOut + HEX_CELLS_PER_BYTE * nCol;
    if (nIndex >= 0 && nIndex < nLength) {
      const BYTE nByte = pData[nIndex];
      pCell[0] = kHexDigits[nByte >> 4];
      pCell[1] = kHexDigits[nByte & 0x0F];
    } else {
      pCell[0] = ' ';
      pCell[1] = ' ';
    }
    pCell[2] = ' ';
  }
  return HEX_CELLS_PER_BYTE * nBytesPerRow;
}

int FormatCharRow(const BYTE* pData, int nLength, int nRowStart, int nBytesPerRow, char* pOut) {
  if (nRowStart < 0 || nRowStart >= nLength) return 0;
  const int nCount = std::min(nBytesPerRow, nLength - nRowStart);
  for (int nCol = 0; nCol < nCount; ++nCol) pOut[nCol] = DisplayChar(pData[nRowStart + nCol]);
  return nCount;
}

void FillHexText(const BYTE* pBytes, int nCount, char* pOut) {
  for (int i = 0; i < nCount; ++i) {
    char* pCell = pOut + HEX_CELLS_PER_BYTE * i;
    pCell[0] = kHexDigits[pBytes[i] >> 4];
    pCell[1] = kHexDigits[pBytes[i] & 0x0F];
    pCell[2] = ' ';
  }
}

void FillCharText(const BYTE* pBytes, int nCount, char* pOut) {
  for (int i = 0; i < nCount; ++i) pOut[i] = DisplayChar(pBytes[i]);
}
