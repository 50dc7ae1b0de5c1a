#pragma once
// The hex view's keys as moves: a key first becomes a command, then the view
// applies it. The caret and typing arithmetic here is pure, so the key table is
// tested without key events.
#include "hexview/hexlayout.h"
#include "platform/wintypes.h"

enum class KeyCommand {
  None,
  Left,
  Right,
  Up,
  Down,
  PageUp,
  PageDown,
  Home,
  End,
  CtrlHome,
  CtrlEnd,
  Tab,
  Insert,
  Delete,
  Copy,
  SelectAll,
};

// Ctrl matters for Home and End, and makes Ctrl+C and Ctrl+Insert Copy and
// Ctrl+A Select All; Shift matters only for Delete, which does nothing with it.
KeyCommand KeyToCommand(UINT nVirtKey, BOOL bCtrl, BOOL bShift);

// The cell and row step of an arrow command (0, 0 for the others).
struct CellStep {
  int dx = 0;
  int dy = 0;
};
CellStep ArrowStep(KeyCommand command);

// Navigation commands that clear the selection without Shift and extend it with
// Shift (everything but Tab, Insert, Delete, Copy, Select All and None).
bool IsNavigation(KeyCommand command);

// With Shift, Right and Down set the moving end one past the caret when the
// caret is in the hex column (the byte under it is included); the other moves
// set it at the caret.
bool EndIncludesCaretByte(KeyCommand command);

struct CaretSpot {
  int nAddr = 0;
  int nArea = AREA_HEX_HIGH;
  friend bool operator==(const CaretSpot&, const CaretSpot&) = default;
};

// One caret move by dx cells and dy rows inside the caret's area. In the address
// column a horizontal move goes to the hex column's high digit of the caret's
// byte and a vertical one does nothing. In the character column the address moves by
// dy * nBytesPerRow + dx. In the hex column a horizontal move toggles the nibble,
// Right from the low digit going to the next byte and Left from the high digit
// to the previous byte. The result is pulled up to 0; a result at or past
// nLength takes the address step back (a nibble change stays). An address that
// was already outside 0..nLength before the move ends within 0..nLength.
CaretSpot StepCaret(CaretSpot spot, int dx, int dy, int nBytesPerRow, int nLength);

// Page Up and Page Down: the caret moved by a page's bytes (negative: up),
// kept within the first and the last byte (0 on an empty buffer).
int PageStepAddr(int nAddr, long long nDeltaBytes, int nLength);

// Home and End work on rows aligned to index 0. End stops at the last byte; on
// an empty buffer it gives 0.
int HomeAddr(int nAddr, int nBytesPerRow);
int EndAddr(int nAddr, int nBytesPerRow, int nLength);
// Ctrl+End: the last byte (0 on an empty buffer), and the row the view scrolls
// to: 0 when a partial last row shows all data, else the rounded data rows less
// a page (never negative).
int LastByteAddr(int nLength);
int CtrlEndTopRow(int nLength, int nBytesPerRow, int nRowsPerPage, BOOL bPartialLastRow);

// Insert's count of zero bytes: the selection's end less its start, taken as set
// (unordered), when that is at least 1; 1 otherwise, so no selection, a missing
// end (-1) and a selection made backwards each insert one byte. Capped at INT_MAX.
int InsertCount(int nSelStart, int nSelEnd);

// Typing in the hex column: the value of a typed digit, 0..9 for '0'..'9' and
// 10..15 for 'a'..'f'; -1 for capitals and every other character (ignored).
int HexDigitValue(UINT nChar);
// nByte with its high digit (bHigh) or its low digit replaced by nDigit; the
// other digit stays. Only nDigit's low four bits count.
BYTE SetNibble(BYTE nByte, bool bHigh, int nDigit);
