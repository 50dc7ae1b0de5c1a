#include "hexview/hexkeys.h"

#include <algorithm>
#include <climits>

#include "platform/ui/keys.h"

KeyCommand KeyToCommand(UINT nVirtKey, BOOL bCtrl, BOOL bShift) {
  constexpr UINT VK_A = 0x41, VK_C = 0x43;
  switch (nVirtKey) {
    case VK_A: return bCtrl ? KeyCommand::SelectAll : KeyCommand::None;
    case VK_C: return bCtrl ? KeyCommand::Copy : KeyCommand::None;
    case VK_LEFT: return KeyCommand::Left;
    case VK_RIGHT: return KeyCommand::Right;
    case VK_UP: return KeyCommand::Up;
    case VK_DOWN: return KeyCommand::Down;
    case VK_PRIOR: return KeyCommand::PageUp;
    case VK_NEXT: return KeyCommand::PageDown;
    case VK_HOME: return bCtrl ? KeyCommand::CtrlHome : KeyCommand::Home;
    case VK_END: return bCtrl ? KeyCommand::CtrlEnd : KeyCommand::End;
    case VK_TAB: return KeyCommand::Tab;
    // Ctrl+Insert is the other usual Copy, and Shift+Delete the usual Cut: as
    // neither may change the bytes shown, Shift+Delete does nothing.
    case VK_INSERT: return bCtrl ? KeyCommand::Copy : KeyCommand::Insert;
    case VK_DELETE: return bShift ? KeyCommand::None : KeyCommand::Delete;
    default: return KeyCommand::None;
  }
}

CellStep ArrowStep(KeyCommand command) {
  switch (command) {
    case KeyCommand::Left: return {-1, 0};
    case KeyCommand::Right: return {1, 0};
    case KeyCommand::Up: return {0, -1};
    case KeyCommand::Down: return {0, 1};
    default: return {0, 0};
  }
}

bool IsNavigation(KeyCommand command) {
  switch (command) {
    case KeyCommand::None:
    case KeyCommand::Copy:
    case KeyCommand::SelectAll:
    case KeyCommand::Tab:
    case KeyCommand::Insert:
    case KeyCommand::Delete: return false;
    default: return true;
  }
}

bool EndIncludesCaretByte(KeyCommand command) { return command == KeyCommand::Right || command == KeyCommand::Down; }

CaretSpot StepCaret(CaretSpot spot, int dx, int dy, int nBytesPerRow, int nLength) {
  const int nOldAddr = spot.nAddr;
  long long nAddr = spot.nAddr;
  switch (spot.nArea) {
    case AREA_ADDRESS:
      // The address column is no stop for Left and Right: they take the caret
      // to the row's first byte in the hex column, where it can move on.
      if (dx != 0) spot.nArea = AREA_HEX_HIGH;
      break;
    case AREA_CHAR: nAddr += static_cast<long long>(dy) * nBytesPerRow + dx; break;
    case AREA_HEX_HIGH:
      if (dx != 0) {
        spot.nArea = AREA_HEX_LOW;
        if (dx == -1) nAddr -= 1;
      }
      nAddr += static_cast<long long>(dy) * nBytesPerRow;
      break;
    case AREA_HEX_LOW:
      if (dx != 0) {
        spot.nArea = AREA_HEX_HIGH;
        if (dx == 1) nAddr += 1;
      }
      nAddr += static_cast<long long>(dy) * nBytesPerRow;
      break;
    default: return spot;
  }
  if (nAddr < 0) nAddr = 0;
  if (nAddr >= nLength) nAddr = nOldAddr;
  // A caret a scroll or a hit left outside the data comes back to the nearest
  // position, so that no key works from an index outside 0..nLength.
  spot.nAddr = static_cast<int>(std::clamp<long long>(nAddr, 0, std::max(nLength, 0)));
  return spot;
}

int PageStepAddr(int nAddr, long long nDeltaBytes, int nLength) {
  return static_cast<int>(std::clamp<long long>(nAddr + nDeltaBytes, 0, LastByteAddr(nLength)));
}

int HomeAddr(int nAddr, int nBytesPerRow) { return (nAddr / nBytesPerRow) * nBytesPerRow; }

int EndAddr(int nAddr, int nBytesPerRow, int nLength) {
  const long long nRowEnd = (static_cast<long long>(nAddr) / nBytesPerRow + 1) * nBytesPerRow - 1;
  if (nRowEnd >= nLength) return LastByteAddr(nLength);
  return static_cast<int>(nRowEnd);
}

int LastByteAddr(int nLength) { return nLength > 0 ? nLength - 1 : 0; }

int CtrlEndTopRow(int nLength, int nBytesPerRow, int nRowsPerPage, BOOL bPartialLastRow) {
  if (bPartialLastRow) return 0;
  return std::max((nLength + nBytesPerRow / 2) / nBytesPerRow - nRowsPerPage, 0);
}

int InsertCount(int nSelStart, int nSelEnd) {
  const long long nSpan = static_cast<long long>(nSelEnd) - nSelStart;
  return nSpan >= 1 ? static_cast<int>(std::min<long long>(nSpan, INT_MAX)) : 1;
}

int HexDigitValue(UINT nChar) {
  if (nChar >= '0' && nChar <= '9') return static_cast<int>(nChar - '0');
  if (nChar >= 'a' && nChar <= 'f') return static_cast<int>(nChar - 'a') + 10;
  return -1;
}

BYTE SetNibble(BYTE nByte, bool bHigh, int nDigit) {
  const int nValue = nDigit & 0x0F;
  return bHigh ? static_cast<BYTE>((nValue << 4) | (nByte & 0x0F)) : static_cast<BYTE>((nByte & 0xF0) | nValue);
}
