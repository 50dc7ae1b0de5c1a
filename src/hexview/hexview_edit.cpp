// CHexView's edits: deleting and inserting bytes, the clipboard, the edit
// commands and the context menu that offers them.
#include "hexview/hexview.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "hexview/hextext.h"
#include "platform/ui/caret.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/popupmenu.h"
#include "platform/ui/templates.h"
#include "res/resource.h"
#include "res/restypes.h"

// ---------------------------------------------------------------- byte edits

DataBlock CHexView::SplicedBlock(int nFrom, int nTo, int nInsert) const {
  const std::size_t nNewLength = static_cast<std::size_t>(m_nLength) - (nTo - nFrom) + nInsert;
  // One spare byte behind the data, zero-filled so the inserted bytes are 0.
  DataBlock pBlock = AllocBlock(nNewLength + 1, true);
  if (!pBlock) return pBlock;
  std::memcpy(pBlock.get(), m_pData.get(), static_cast<std::size_t>(nFrom));
  std::memcpy(pBlock.get() + nFrom + nInsert, m_pData.get() + nTo, static_cast<std::size_t>(m_nLength - nTo));
  return pBlock;
}

void CHexView::AdoptBlock(DataBlock pBlock, int nLength) {
  m_pData = std::move(pBlock);  // the old block is released here
  m_nLength = nLength;
  // A top row left past the data would show a blank page with a dead scroll
  // bar; an edit pulls it back so that the last rows fill the page.
  const int nPageRows = viewport()->height() / m_nLineHeight;
  m_nTopIndex = std::min(m_nTopIndex, LastPageTopIndex(m_nLength, m_nBytesPerRow, nPageRows));
  m_bRecalcLayout = TRUE;
}

BOOL CHexView::DeleteBytes(int nFrom, int nTo) {
  if (!m_pData || nFrom < 0 || nFrom > nTo || nTo > m_nLength) return FALSE;
  DataBlock pBlock = SplicedBlock(nFrom, nTo, 0);
  if (!pBlock) return FALSE;
  AdoptBlock(std::move(pBlock), m_nLength - (nTo - nFrom));
  SetSelection(-1, -1);
  if (m_nCaretAddr > m_nLength) {
    m_nCaretAddr = m_nLength;  // just behind the last byte
    PlaceCaret(m_nCaretAddr);
  }
  m_bRecalcLayout = TRUE;
  return TRUE;
}

BOOL CHexView::InsertBytes(int nAt, int nCount) {
  if (!m_pData || nAt < 0 || nAt > m_nLength || nCount < 1) return FALSE;
  if (nCount > INT_MAX - 1 - m_nLength) return FALSE;  // the length stays a signed 32-bit count
  DataBlock pBlock = SplicedBlock(nAt, nAt, nCount);
  if (!pBlock) return FALSE;
  AdoptBlock(std::move(pBlock), m_nLength + nCount);
  SetSelection(-1, -1);
  m_bRecalcLayout = TRUE;
  return TRUE;
}

// ---------------------------------------------------------------- clipboard, commands and menu

BOOL CHexView::OnCommand(UINT nID) {
  switch (nID) {
    case ID_EDIT_CLEAR: OnEditClear(); return TRUE;
    case ID_EDIT_COPY: OnEditCopy(); return TRUE;
    case ID_EDIT_CUT: OnEditCut(); return TRUE;
    case ID_EDIT_PASTE: OnEditPaste(); return TRUE;
    case ID_EDIT_SELECT_ALL: OnEditSelectAll(); return TRUE;
    case ID_EDIT_UNDO: OnEditUndo(); return TRUE;
    default: return FALSE;
  }
}

BOOL CHexView::MakeCopyBlocks(DataBlock& pBytes, int& nCount, DataBlock& pText, std::size_t& nTextBytes) const {
  const SelRange sel = Selection();
  if (!sel.bExists || sel.nHi == sel.nLo || !m_pData) return FALSE;
  const int nSelected = sel.nHi - sel.nLo;
  const bool bCharForm = m_nCaretArea == AREA_CHAR;
  const std::size_t nTextSize =
      static_cast<std::size_t>(bCharForm ? 1 : HEX_CELLS_PER_BYTE) * static_cast<std::size_t>(nSelected) + 1;
  DataBlock pNewBytes = AllocBlock(static_cast<std::size_t>(nSelected), false);
  DataBlock pNewText = AllocBlock(nTextSize, true);
  if (!pNewBytes || !pNewText) return FALSE;
  std::memcpy(pNewBytes.get(), m_pData.get() + sel.nLo, static_cast<std::size_t>(nSelected));
  char* pChars = reinterpret_cast<char*>(pNewText.get());
  if (bCharForm) {
    FillCharText(pNewBytes.get(), nSelected, pChars);
  } else {
    FillHexText(pNewBytes.get(), nSelected, pChars);
  }
  pChars[nTextSize - 1] = '\0';
  pBytes = std::move(pNewBytes);
  pText = std::move(pNewText);
  nCount = nSelected;
  nTextBytes = nTextSize;
  return TRUE;
}

void CHexView::OnEditCopy() {
  // Nothing selected, equal ends included, or memory running out: the
  // clipboard keeps what it holds.
  DataBlock pBytes;
  DataBlock pText;
  int nCount = 0;
  std::size_t nTextBytes = 0;
  if (!MakeCopyBlocks(pBytes, nCount, pText, nTextBytes)) return;
  SetClipboardBlocks(pBytes.get(), static_cast<UINT>(nCount), reinterpret_cast<const char*>(pText.get()),
                     static_cast<UINT>(nTextBytes));
}

void CHexView::OfferPrimarySelection() const {
  // As X11 text widgets do: a middle click elsewhere pastes the selection's text.
  DataBlock pBytes;
  DataBlock pText;
  int nCount = 0;
  std::size_t nTextBytes = 0;
  if (!MakeCopyBlocks(pBytes, nCount, pText, nTextBytes)) return;
  SetPrimarySelectionText(reinterpret_cast<const char*>(pText.get()), static_cast<UINT>(nTextBytes));
}

void CHexView::OnEditCut() {
  const SelRange sel = Selection();
  if (!sel.bExists) return;
  OnEditCopy();
  DeleteBytes(sel.nLo, sel.nHi);
  PlaceCaret(m_nCaretAddr);
  Repaint();
}

void CHexView::OnEditClear() {
  const SelRange sel = Selection();
  if (!sel.bExists) return;
  m_nCaretAddr = sel.nLo;
  DeleteBytes(sel.nLo, sel.nHi);
  PlaceCaret(m_nCaretAddr);
  Repaint();
}

void CHexView::OnEditPaste() {
  if (!m_pData) return;
  std::optional<QByteArray> block;
  if (IsClipboardFormatAvailable(ClipFormat::BinaryData)) {
    block = GetClipboardBlock(ClipFormat::BinaryData);
  } else if (IsClipboardFormatAvailable(ClipFormat::Text)) {
    block = GetClipboardBlock(ClipFormat::Text);
  } else {
    return;
  }
  if (!block) return;
  // The whole block counts, a text block's terminating zero included.
  const qsizetype nCount = block->size();
  const int nCaret = m_nCaretAddr;
  const SelRange sel = Selection();
  const int nAt = sel.bExists ? sel.nLo : PasteAddr(m_nCaretAddr, m_nCaretArea, m_nLength);
  const int nReplaceEnd = sel.bExists ? sel.nHi : nAt;
  const long long nNewLength = static_cast<long long>(m_nLength) - (nReplaceEnd - nAt) + nCount;
  if (nNewLength >= INT_MAX) return;
  // One block for the whole edit: memory running out leaves everything as it was.
  DataBlock pBlock = SplicedBlock(nAt, nReplaceEnd, static_cast<int>(nCount));
  if (!pBlock) return;
  if (nCount > 0) std::memcpy(pBlock.get() + nAt, block->constData(), static_cast<std::size_t>(nCount));
  AdoptBlock(std::move(pBlock), static_cast<int>(nNewLength));
  SetSelection(-1, -1);
  // The caret keeps its index; a replaced selection before it can leave that
  // index past the new end, so it is brought back within the data.
  m_nCaretAddr = std::clamp(nCaret, 0, m_nLength);
  PlaceCaret(m_nCaretAddr);
  Repaint();
}

void CHexView::OnEditSelectAll() {
  m_nSelStart = 0;
  m_nSelEnd = DataLength();
  DestroyCaret();
  Repaint();
  OfferPrimarySelection();
}

void CHexView::OnEditUndo() {}

PopupMenu CHexView::BuildContextMenu() const {
  PopupMenu menu;
  if (const MenuTemplate* pTemplate = FindMenuTemplate(IDR_HEXVIEW_POPUP)) menu = BuildPopupMenuFromTemplate(*pTemplate);
  ApplyEditCommandStates(menu);
  return menu;
}

void CHexView::ApplyEditCommandStates(PopupMenu& menu) const {
  const bool bSelection = m_nSelStart != -1;
  // Ends that are equal select no byte: nothing to copy.
  const SelRange sel = Selection();
  const bool bBytes = sel.bExists && sel.nHi > sel.nLo;
  menu.EnableMenuItem(ID_EDIT_UNDO, false);
  menu.EnableMenuItem(ID_EDIT_CLEAR, bSelection);
  menu.EnableMenuItem(ID_EDIT_CUT, bBytes);
  menu.EnableMenuItem(ID_EDIT_COPY, bBytes);
  menu.EnableMenuItem(ID_EDIT_PASTE, IsClipboardFormatAvailable(ClipFormat::Text) ||
                                         IsClipboardFormatAvailable(ClipFormat::BinaryData));
  menu.EnableMenuItem(ID_EDIT_SELECT_ALL, true);
}

void CHexView::OnContextMenu(QWidget*, POINT point) {
  QPoint ptScreen(point.x, point.y);
  if (point.x == -1 && point.y == -1) {
    // From the keyboard: just inside the client area's top-left corner.
    ptScreen = viewport()->mapToGlobal(QPoint(0, 0)) + QPoint(5, 5);
  }
  UINT nCommand = 0;
  {
    const PopupMenu menu = BuildContextMenu();
    nCommand = menu.TrackPopupMenu(ptScreen, this);
  }
  if (nCommand != 0) OnCommand(nCommand);
}
