#pragma once
// Text renderings of bytes used by the hex view's painting and its clipboard.
// Every function writes into a buffer the caller sizes; none allocates.
#include "platform/wintypes.h"

// Printable in the C locale: 0x20 (space) to 0x7E ("~"). Everything else,
// 0x7F and 0x80-0xFF included, is shown as ".".
inline bool IsPrintableByte(BYTE nByte) { return nByte >= 0x20 && nByte <= 0x7E; }
inline char DisplayChar(BYTE nByte) { return IsPrintableByte(nByte) ? static_cast<char>(nByte) : '.'; }

// Writes the address of nIndex (>= 0), upper-case hexadecimal with leading zeros
// to 8 digits (wide) or 4 (narrow), into pOut, and returns the digits shown: 8
// or 4. A narrow address of an index above 0xFFFF shows only its first four
// digits (0x12345 shows "1234"), as a four-character field of a longer number.
int FormatAddress(int nIndex, BOOL bWideAddress, char* pOut /* at least 12 */);

// Writes the hex text of the row starting at nRowStart: for each of the
// nBytesPerRow positions the byte's two upper-case digits and a space, or three
// spaces past the end of the data: HEX_CELLS_PER_BYTE (hexlayout.h) characters
// a byte. Returns HEX_CELLS_PER_BYTE * nBytesPerRow.
int FormatHexRow(const BYTE* pData, int nLength, int nRowStart, int nBytesPerRow, char* pOut);

// Writes the character text of the row starting at nRowStart: one display
// character per byte, up to nBytesPerRow and not past the end of the data.
// Returns how many were written (0 when the row starts at or past the end).
int FormatCharRow(const BYTE* pData, int nLength, int nRowStart, int nBytesPerRow, char* pOut);

// Clipboard texts, without their terminating zero: hex form "47 00 FF " (3 * n
// characters) and character form "G.." (n characters).
void FillHexText(const BYTE* pBytes, int nCount, char* pOut);
void FillCharText(const BYTE* pBytes, int nCount, char* pOut);
