#pragma once
// CHexView: a self-drawn byte viewer with address, hex and character columns, a
// caret, a selection, mouse and keyboard handling, clipboard transfer and a
// context menu. It keeps its own copy of the bytes; nothing flows back to the
// caller's buffer.
//
// The client area is the scroll area's viewport; every pixel coordinate below is
// a viewport coordinate. Handlers keep the names of the messages they answer so
// that the owner's and the tests' code reads like what it does.
//
// The members are defined by concern: hexview.cpp (set-up, layout, scrolling,
// caret), hexview_paint.cpp, hexview_input.cpp (mouse, focus, keys) and
// hexview_edit.cpp (byte edits, clipboard, commands, menu). Their arithmetic is
// pure and lives in hexlayout.h and hexkeys.h.
#include <QAbstractScrollArea>
#include <QFont>
#include <QRawFont>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "hexview/hexlayout.h"
#include "platform/ui/templates.h"
#include "platform/wintypes.h"

class QScrollBar;
class PopupMenu;

// The view's heap blocks come from malloc/calloc and go back with free.
struct FreeBlock {
  void operator()(BYTE* pBlock) const noexcept { std::free(pBlock); }
};
using DataBlock = std::unique_ptr<BYTE[], FreeBlock>;

// Allocates nBytes (at least one byte is always requested), zero-filled when
// bZeroed; null on failure. Tests swap in a failing allocator to check that a
// failed allocation changes nothing.
using BlockAllocator = void* (*)(std::size_t nBytes, bool bZeroed);
void SetBlockAllocatorForTesting(BlockAllocator pAllocator);  // nullptr: the default

// What a window is created with.
struct CREATESTRUCT {
  DWORD style = 0;
  QRect rect;
  QWidget* pParent = nullptr;
  UINT nID = 0;
};

class CHexView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit CHexView(QWidget* parent = nullptr);
  ~CHexView() override;

  // Set-up operations for the owner.
  void SetOptions(BOOL bShowAddress, BOOL bShowHex, BOOL bShowChars, BOOL bWideAddress);
  void SetBytesPerRow(int nBytesPerRow);
  void SetData(const BYTE* pData, UINT nLength);  // copies, repaints synchronously
  void SetAllowTyping(BOOL bAllow);

  // Window creation for a view that makes its own window: both scroll bars.
  BOOL Create(DWORD dwStyle, const QRect& rect, QWidget* pParentWnd, UINT nID);
  BOOL PreCreateWindow(CREATESTRUCT& cs);
  // Applies WS_VSCROLL, WS_HSCROLL, WS_TABSTOP, WS_DISABLED and WS_VISIBLE of a
  // style: used where the view takes a dialog template control's place.
  void SetWindowStyle(DWORD dwStyle);
  UINT GetDlgCtrlID() const { return m_nDlgCtrlID; }

  // Message handlers.
  void OnPaint();
  void OnSize(UINT nType, int cx, int cy);
  BOOL OnEraseBkgnd();
  UINT OnGetDlgCode();
  void OnHScroll(UINT nSBCode, UINT nPos, QScrollBar* pScrollBar);
  void OnVScroll(UINT nSBCode, UINT nPos, QScrollBar* pScrollBar = nullptr);
  void OnLButtonDblClk(UINT nFlags, POINT point);
  void OnLButtonDown(UINT nFlags, POINT point);
  void OnMouseMove(UINT nFlags, POINT point);
  void OnLButtonUp(UINT nFlags, POINT point);
  void OnSetFocus();
  void OnKillFocus();
  void OnContextMenu(QWidget* pWnd, POINT point);  // point in screen pixels; (-1, -1): from the keyboard
  void OnKeyDown(UINT nChar, UINT nRepCnt, UINT nFlags);
  void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags);
  // WM_COMMAND: the edit commands by id; FALSE for an id the view does not handle.
  BOOL OnCommand(UINT nID);
  void OnEditClear();
  void OnEditCopy();
  void OnEditCut();
  void OnEditPaste();
  void OnEditSelectAll();
  void OnEditUndo();

  // Layout, caret and selection primitives.
  void UpdateScrollBars();
  void CreateAddressCaret();
  void CreateCellCaret();
  void PlaceCaret(int nAddr);
  void SetSelection(int nStart, int nEnd);
  POINT HitTest(POINT point);  // the caret's cell (column, row), or (-1, -1)
  void MoveCaret(int dx, int dy);

  // Byte edits. FALSE, with nothing changed, for arguments outside the data or
  // when memory runs out.
  BOOL DeleteBytes(int nFrom, int nTo);
  BOOL InsertBytes(int nAt, int nCount);

  // The context menu as it would be shown now (items and enabled states).
  PopupMenu BuildContextMenu() const;
  // Greys the edit commands of a menu: undo always; clear without a selection;
  // cut and copy when no byte is selected (no selection, or equal ends); paste when the clipboard offers neither text nor BinaryData.
  void ApplyEditCommandStates(PopupMenu& menu) const;

  // Read-only views of the state, for the owner and the tests.
  const BYTE* GetData() const { return m_pData.get(); }  // null until the first SetData
  int GetLength() const { return m_nLength; }
  int GetTopIndex() const { return m_nTopIndex; }
  int GetCaretAddr() const { return m_nCaretAddr; }
  int GetCaretArea() const { return m_nCaretArea; }
  POINT GetCaretPoint() const { return m_ptCaret; }
  // The selection's ends as set, unordered; -1 when there is none.
  int GetSelStart() const { return m_nSelStart; }
  int GetSelEnd() const { return m_nSelEnd; }
  BOOL GetAllowTyping() const { return m_bAllowTyping; }
  BOOL IsPartialLastRow() const { return m_bPartialLastRow; }
  const QFont& GetFont() const { return m_Font; }
  // Cell size, column edges, rows per page, top index and length, as the last
  // layout step and scroll left them.
  HexGeometry GetGeometry() const;
  // Puts the caret on nAddr in nArea, as a hit does, without scrolling, placing
  // or showing it.
  void SetCaret(int nAddr, int nArea);

 protected:
  bool event(QEvent* pEvent) override;
  bool focusNextPrevChild(bool bNext) override;
  void paintEvent(QPaintEvent* pEvent) override;
  void resizeEvent(QResizeEvent* pEvent) override;
  void scrollContentsBy(int dx, int dy) override;
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
  void keyPressEvent(QKeyEvent* pEvent) override;
  void focusInEvent(QFocusEvent* pEvent) override;
  void focusOutEvent(QFocusEvent* pEvent) override;
  void contextMenuEvent(QContextMenuEvent* pEvent) override;

 private:
  // Members, in the order and with the initial values the control is known by.
  DataBlock m_pData;
  int m_nLength = 64;
  int m_nTopIndex = 0;
  int m_nCaretAddr = 0;
  int m_nCaretArea = AREA_ADDRESS;
  int m_nSelStart = -1;
  int m_nSelEnd = -1;
  int m_nBytesPerRow = 8;
  int m_nRowsPerPage = 1;
  BOOL m_bShowAddress = TRUE;
  BOOL m_bShowChars = TRUE;
  BOOL m_bShowHex = TRUE;
  BOOL m_bWideAddress = TRUE;
  BOOL m_bAllowTyping = FALSE;  // the owner sets it right after construction
  BOOL m_bPartialLastRow = TRUE;
  QFont m_Font;
  int m_nLineHeight = 1;  // measured at construction already: carets and hit
  int m_nCharWidth = 1;   // tests may run before the first layout step
  BOOL m_bRecalcLayout = TRUE;
  int m_nHexColX = 0;
  int m_nCharColX = 0;
  int m_nAddrColX = 0;
  POINT m_ptCaret;

  struct Colors;
  Colors PlainColors() const;  // the palette's text and base
  // A block of nBytes (at least one) from the allocator in force, zero-filled
  // when bZeroed; null when memory runs out.
  static DataBlock AllocBlock(std::size_t nBytes, bool bZeroed);
  int DataLength() const { return m_pData ? m_nLength : 0; }
  SelRange Selection() const { return SelectionRange(m_nSelStart, m_nSelEnd, DataLength()); }
  void MeasureFont();
  void RecalcLayout(int nClientHeightPx);
  void Repaint();
  // Puts the top row at nTopIndex, repainting when it moves, and the bar with it.
  void ScrollTopTo(int nTopIndex);
  void CreateCaretByShape();
  void ClampCaretAddr();
  void FinishLButtonDown(BOOL bDragged);
  void EndDragDetect();
  // A new block of the data with bytes nFrom..nTo-1 replaced by nInsert zero
  // bytes, or null when memory runs out. Changes nothing.
  DataBlock SplicedBlock(int nFrom, int nTo, int nInsert) const;
  void AdoptBlock(DataBlock pBlock, int nLength);
  // The selected bytes and their text form as Copy puts them (nTextBytes with
  // the terminating zero); FALSE, with nothing changed, when no byte is selected
  // or memory runs out.
  BOOL MakeCopyBlocks(DataBlock& pBytes, int& nCount, DataBlock& pText, std::size_t& nTextBytes) const;
  // Offers the selection's text form as the primary selection, where there is one.
  void OfferPrimarySelection() const;

  void DrawCells(QPainter& painter, int xPx, int yPx, const char* pText, int nChars, const Colors& colors);
  void DrawAddressColumn(QPainter& painter, int nPageBottomPx, Colors& colors);
  void DrawHexPlain(QPainter& painter, int nPageBottomPx, Colors& colors);
  void DrawCharPlain(QPainter& painter, int nPageBottomPx, Colors& colors);
  void DrawHighlighted(QPainter& painter, bool bHex, const SelRange& sel, int nPageBottomPx, Colors& colors);

  QRawFont m_rawFont;
  int m_nAscentPx = 0;
  UINT m_nDlgCtrlID = 0;
  // A press without Shift waits for the pointer to move past the drag distance
  // (a drag) or for the release (a click) before it finishes.
  BOOL m_bDragDetecting = FALSE;
  POINT m_ptDragStart;
};
