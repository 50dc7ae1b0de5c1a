// CHexView's input: the mouse (clicks, drags, Shift+clicks), the focus, and
// the keys, each key first turned into a command (hexkeys.h) and then applied.
#include "hexview/hexview.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>

#include "hexview/hexkeys.h"
#include "platform/ui/caret.h"
#include "platform/ui/keys.h"

namespace {

POINT ToPOINT(QPoint pt) { return POINT{pt.x(), pt.y()}; }

}  // namespace

// ---------------------------------------------------------------- mouse and focus

POINT CHexView::HitTest(POINT point) {
  const HitResult hit = HitTestPoint(GetGeometry(), point.x, point.y);
  if (!hit.bHit) return POINT{-1, -1};
  m_nCaretAddr = hit.nAddr;
  m_nCaretArea = hit.nArea;
  return POINT{hit.nCol, hit.nRow};
}

void CHexView::OnLButtonDown(UINT nFlags, POINT point) {
  setFocus(Qt::MouseFocusReason);
  if (!m_pData) return;
  const BOOL bShift = (nFlags & MK_SHIFT) != 0;
  // The old caret becomes the anchor, also when a selection existed.
  if (bShift) m_nSelStart = m_nCaretAddr;
  const POINT cell = HitTest(point);
  if (cell.x != -1 || cell.y != -1) {
    m_ptCaret = POINT{cell.x * m_nCharWidth, cell.y * m_nLineHeight};
    CreateCaretByShape();
    SetCaretPos(m_ptCaret.x, m_ptCaret.y);
    if (bShift) {
      m_nSelEnd = SelEndAtCaret(m_nCaretAddr, m_nCaretArea);
      Repaint();
    }
  }
  if (!bShift) {
    // Drag detection: the first move past the drag distance or the release,
    // whichever comes first, finishes the press (FinishLButtonDown).
    m_bDragDetecting = TRUE;
    m_ptDragStart = point;
    return;
  }
  if (m_nSelStart == -1) ShowCaret();
}

void CHexView::FinishLButtonDown(BOOL bDragged) {
  if (bDragged) {
    // The press point starts the selection; Qt's implicit grab holds the mouse
    // until the release.
    m_nSelStart = m_nSelEnd = m_nCaretAddr;
  } else if (m_nSelStart != -1) {
    m_nSelStart = m_nSelEnd = -1;
    Repaint();
  } else {
    m_nSelStart = m_nSelEnd = -1;
  }
  if (m_nSelStart == -1) ShowCaret();
}

void CHexView::EndDragDetect() {
  if (!m_bDragDetecting) return;
  m_bDragDetecting = FALSE;
  FinishLButtonDown(FALSE);
}

void CHexView::OnMouseMove(UINT nFlags, POINT point) {
  if (!m_pData || !(nFlags & MK_LBUTTON) || m_nSelStart == -1) return;
  const QRect rcClient = viewport()->rect();
  if (!rcClient.contains(QPoint(point.x, point.y))) {
    // One row per mouse message: the view scrolls only while the mouse moves.
    if (point.y < 0) {
      OnVScroll(SB_LINEUP, 0, nullptr);
      point.y = 0;
    } else if (point.y > rcClient.height()) {
      OnVScroll(SB_LINEDOWN, 0, nullptr);
      point.y = rcClient.height() - 1;
    }
  }
  const int nOldEnd = m_nSelEnd;
  const POINT cell = HitTest(point);
  if (cell.x != -1 || cell.y != -1) m_nSelEnd = SelEndAtCaret(m_nCaretAddr, m_nCaretArea);
  DestroyCaret();  // no caret while the mouse drags a selection
  if (m_nSelEnd != nOldEnd) Repaint();
}

void CHexView::OnLButtonUp(UINT, POINT) {
  // The selection stays; Qt ends its implicit grab with the release.
  if (m_nSelStart != -1) OfferPrimarySelection();
}

void CHexView::OnLButtonDblClk(UINT, POINT) {}

void CHexView::OnSetFocus() {
  if (!m_pData || m_nSelStart != -1) return;
  CreateCaretByShape();
  SetCaretPos(m_ptCaret.x, m_ptCaret.y);
  ShowCaret();
}

void CHexView::OnKillFocus() { DestroyCaret(); }

void CHexView::mousePressEvent(QMouseEvent* pEvent) {
  if (pEvent->button() == Qt::LeftButton) {
    EndDragDetect();  // a press never starts while another is undecided
    OnLButtonDown(MouseFlags(*pEvent), ToPOINT(pEvent->position().toPoint()));
  }
  // Every press is the view's; none reaches the dialog behind it.
  pEvent->accept();
}

void CHexView::mouseMoveEvent(QMouseEvent* pEvent) {
  const QPoint pt = pEvent->position().toPoint();
  if (m_bDragDetecting) {
    if (!pEvent->buttons().testFlag(Qt::LeftButton)) {
      EndDragDetect();
    } else {
      const QPoint delta = pt - QPoint(m_ptDragStart.x, m_ptDragStart.y);
      if (delta.manhattanLength() < QApplication::startDragDistance()) {
        pEvent->accept();
        return;
      }
      m_bDragDetecting = FALSE;
      FinishLButtonDown(TRUE);
    }
  }
  OnMouseMove(MouseFlags(*pEvent), ToPOINT(pt));
  pEvent->accept();
}

void CHexView::mouseReleaseEvent(QMouseEvent* pEvent) {
  if (pEvent->button() == Qt::LeftButton) {
    EndDragDetect();
    OnLButtonUp(MouseFlags(*pEvent), ToPOINT(pEvent->position().toPoint()));
  }
  pEvent->accept();
}

void CHexView::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  // Consumed here: neither a second press nor the dialog sees it.
  if (pEvent->button() == Qt::LeftButton) OnLButtonDblClk(MouseFlags(*pEvent), ToPOINT(pEvent->position().toPoint()));
  pEvent->accept();
}

void CHexView::focusInEvent(QFocusEvent* pEvent) {
  // A popup menu over the view takes Qt's focus but not the caret.
  if (pEvent->reason() != Qt::PopupFocusReason) OnSetFocus();
}

void CHexView::focusOutEvent(QFocusEvent* pEvent) {
  if (pEvent->reason() == Qt::PopupFocusReason) return;
  EndDragDetect();
  OnKillFocus();
}

// ---------------------------------------------------------------- keys

UINT CHexView::OnGetDlgCode() { return DLGC_WANTALLKEYS; }

bool CHexView::event(QEvent* pEvent) {
  if (OnGetDlgCode() & DLGC_WANTALLKEYS) {
    if (pEvent->type() == QEvent::ShortcutOverride) {
      // Keys typed here are the view's, not the shortcuts' of the dialog; Alt
      // combinations (mnemonics) and F1 (help) stay with the dialog.
      auto* pKey = static_cast<QKeyEvent*>(pEvent);
      if (!pKey->modifiers().testFlag(Qt::AltModifier) && pKey->key() != Qt::Key_F1) {
        pKey->accept();
        return true;
      }
    } else if (pEvent->type() == QEvent::KeyPress) {
      // Straight to the handler: QWidget would turn Tab and Backtab into focus
      // moves before keyPressEvent sees them.
      keyPressEvent(static_cast<QKeyEvent*>(pEvent));
      return true;
    }
  }
  return QAbstractScrollArea::event(pEvent);
}

bool CHexView::focusNextPrevChild(bool) { return false; }

void CHexView::keyPressEvent(QKeyEvent* pEvent) {
  if (pEvent->modifiers().testFlag(Qt::AltModifier)) {
    pEvent->ignore();  // system keys go on to the dialog
    return;
  }
  EndDragDetect();
  const KeyInput input = TranslateKeyEvent(*pEvent);
  const KeyStateScope keyState(input.modifiers);
  if (input.nVirtKey == VK_F10 && input.modifiers.testFlag(Qt::ShiftModifier)) {
    OnContextMenu(this, POINT{-1, -1});  // Shift+F10 asks for the context menu
  } else if (input.nVirtKey == VK_TAB && input.modifiers.testFlag(Qt::ControlModifier)) {
    // Tab switches columns here, so Ctrl+Tab and Ctrl+Shift+Tab leave the view,
    // as in Qt's own editors that keep Tab.
    QAbstractScrollArea::focusNextPrevChild(!input.modifiers.testFlag(Qt::ShiftModifier));
  } else {
    if (input.nVirtKey != 0) OnKeyDown(input.nVirtKey, 1, 0);
    if (input.nChar >= 0) OnChar(static_cast<UINT>(input.nChar), 1, 0);
  }
  pEvent->accept();
}

void CHexView::OnKeyDown(UINT nChar, UINT, UINT) {
  // Keys need a buffer: before the first SetData there is nothing to move over.
  if (!m_pData) return;
  const BOOL bShift = GetKeyState(VK_SHIFT) < 0;
  const KeyCommand command = KeyToCommand(nChar, GetKeyState(VK_CONTROL) < 0, bShift);
  if (command == KeyCommand::None) return;
  // A scroll or a hit may have left the caret outside the data; every key works
  // from the nearest position inside it.
  ClampCaretAddr();
  const int b = m_nBytesPerRow;

  if (IsNavigation(command)) {
    if (!bShift) {
      SetSelection(-1, -1);
    } else if (m_nSelStart == -1) {
      m_nSelStart = m_nCaretAddr;
    }
    switch (command) {
      case KeyCommand::Left:
      case KeyCommand::Right:
      case KeyCommand::Up:
      case KeyCommand::Down: {
        const CellStep step = ArrowStep(command);
        MoveCaret(step.dx, step.dy);
        break;
      }
      case KeyCommand::PageUp:
      case KeyCommand::PageDown: {
        // The caret goes a page with the view, so it keeps its row on the page.
        const long long nPageBytes = static_cast<long long>(m_nRowsPerPage) * b;
        const bool bDown = command == KeyCommand::PageDown;
        OnVScroll(bDown ? SB_PAGEDOWN : SB_PAGEUP, 0, nullptr);
        m_nCaretAddr = PageStepAddr(m_nCaretAddr, bDown ? nPageBytes : -nPageBytes, m_nLength);
        MoveCaret(0, 0);
        break;
      }
      case KeyCommand::Home:
        m_nCaretAddr = HomeAddr(m_nCaretAddr, b);
        MoveCaret(0, 0);
        break;
      case KeyCommand::CtrlHome:
        OnVScroll(SB_THUMBTRACK, 0, nullptr);
        m_nCaretAddr = 0;
        MoveCaret(0, 0);
        break;
      case KeyCommand::End:
        m_nCaretAddr = EndAddr(m_nCaretAddr, b, m_nLength);
        MoveCaret(0, 0);
        break;
      case KeyCommand::CtrlEnd:
        m_nCaretAddr = LastByteAddr(m_nLength);
        OnVScroll(SB_THUMBTRACK,
                  static_cast<UINT>(CtrlEndTopRow(m_nLength, b, m_nRowsPerPage, m_bPartialLastRow)), nullptr);
        MoveCaret(0, 0);
        break;
      default: break;
    }
    if (bShift) {
      m_nSelEnd = EndIncludesCaretByte(command) ? SelEndAtCaret(m_nCaretAddr, m_nCaretArea) : m_nCaretAddr;
      Repaint();
      OfferPrimarySelection();
    }
    return;
  }

  switch (command) {
    case KeyCommand::Copy: OnEditCopy(); break;
    case KeyCommand::SelectAll: OnEditSelectAll(); break;
    case KeyCommand::Tab:
      m_nCaretArea = IsHexArea(m_nCaretArea) ? AREA_CHAR : AREA_HEX_HIGH;
      MoveCaret(0, 0);
      // The highlight, and the selection's text form, follow the caret's column.
      if (m_nSelStart != -1) {
        Repaint();
        OfferPrimarySelection();
      }
      break;
    case KeyCommand::Insert:
      InsertBytes(m_nCaretAddr, InsertCount(m_nSelStart, m_nSelEnd));
      PlaceCaret(m_nCaretAddr);  // the edit cleared the selection: the caret shows again
      Repaint();
      break;
    case KeyCommand::Delete:
      if (m_nSelStart != -1) {
        OnEditClear();
      } else if (m_nCaretAddr < m_nLength) {
        DeleteBytes(m_nCaretAddr, m_nCaretAddr + 1);
      } else if (m_nLength > 0) {
        DeleteBytes(m_nLength - 1, m_nLength);  // just behind the last byte: the last byte goes
      }
      PlaceCaret(m_nCaretAddr);
      Repaint();
      break;
    default: break;
  }
}

void CHexView::OnChar(UINT nChar, UINT, UINT) {
  if (!m_bAllowTyping || !m_pData || nChar == 9) return;
  if (GetKeyState(VK_CONTROL) < 0) {
    switch (nChar) {
      case 1:  // Ctrl+A and Ctrl+C: the key-down has selected or copied already
      case 3: return;
      case 24:  // Ctrl+X
        if (m_nSelStart != -1) OnEditCut();
        return;
      case 22: OnEditPaste(); return;  // Ctrl+V
      case 26: OnEditUndo(); return;   // Ctrl+Z
      default: break;                  // Ctrl+H goes on as Backspace
    }
  }
  ClampCaretAddr();
  if (nChar == 8) {
    if (m_nCaretAddr > 0) {
      m_nCaretAddr -= 1;
      DeleteBytes(m_nCaretAddr, m_nCaretAddr + 1);
      PlaceCaret(m_nCaretAddr);
      Repaint();
    }
    return;
  }
  SetSelection(-1, -1);  // typing never replaces a selection
  const bool bOnByte = m_nCaretAddr >= 0 && m_nCaretAddr < m_nLength;
  switch (m_nCaretArea) {
    case AREA_ADDRESS: return;
    case AREA_CHAR:
      if (bOnByte) m_pData[m_nCaretAddr] = static_cast<BYTE>(nChar);
      MoveCaret(1, 0);
      break;
    case AREA_HEX_HIGH:
    case AREA_HEX_LOW: {
      const int nDigit = HexDigitValue(nChar);
      if (nDigit < 0) break;  // capitals and everything else are ignored
      if (bOnByte) m_pData[m_nCaretAddr] = SetNibble(m_pData[m_nCaretAddr], m_nCaretArea == AREA_HEX_HIGH, nDigit);
      MoveCaret(1, 0);
      break;
    }
    default: break;
  }
  Repaint();
}

// ---------------------------------------------------------------- asking for the context menu

void CHexView::contextMenuEvent(QContextMenuEvent* pEvent) {
  if (pEvent->reason() == QContextMenuEvent::Keyboard) {
    OnContextMenu(this, POINT{-1, -1});
  } else {
    OnContextMenu(this, ToPOINT(pEvent->globalPos()));
  }
  pEvent->accept();
}
