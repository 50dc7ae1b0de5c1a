#include "hexview/hexview.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "hexview/hexkeys.h"
#include "hexview/hextext.h"
#include "platform/ui/caret.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/keys.h"
#include "platform/ui/popupmenu.h"
#include "platform/ui/scrollbar.h"
#include "res/resource.h"
#include "res/restypes.h"

namespace {

void* DefaultAllocator(std::size_t nBytes, bool bZeroed) {
  return bZeroed ? std::calloc(nBytes, 1) : std::malloc(nBytes);
}

BlockAllocator g_pAllocator = &DefaultAllocator;

DataBlock AllocBlock(std::size_t nBytes, bool bZeroed) {
  // One byte at least: a zero-byte request may legally return null, which would
  // read as a failure.
  return DataBlock(static_cast<BYTE*>(g_pAllocator(std::max<std::size_t>(nBytes, 1), bZeroed)));
}

// Saves m_bKeepCaretAddr, sets it, and puts the saved value back on every way out.
class KeepCaretAddrGuard {
 public:
  explicit KeepCaretAddrGuard(BOOL& bKeep) : m_bKeep(bKeep), m_bSaved(bKeep) { m_bKeep = TRUE; }
  ~KeepCaretAddrGuard() { m_bKeep = m_bSaved; }
  KeepCaretAddrGuard(const KeepCaretAddrGuard&) = delete;
  KeepCaretAddrGuard& operator=(const KeepCaretAddrGuard&) = delete;

 private:
  BOOL& m_bKeep;
  BOOL m_bSaved;
};

POINT ToPOINT(QPoint pt) { return POINT{pt.x(), pt.y()}; }


// Calls fnRow(nRowStart, yPx) for each row on the page, from the top row down,
// while the row starts inside the data and lies wholly above the page bottom.
template <typename Fn>
void ForEachPageRow(int nTopIndex, int nBytesPerRow, int nLength, int nLineHeightPx, int nPageBottomPx,
                    Fn&& fnRow) {
  for (int nRow = 0;; ++nRow) {
    const long long nRowStart = nTopIndex + static_cast<long long>(nRow) * nBytesPerRow;
    const int yPx = nRow * nLineHeightPx;
    if (nRowStart >= nLength || yPx >= nPageBottomPx) break;
    fnRow(static_cast<int>(nRowStart), yPx);
  }
}

}  // namespace

void SetBlockAllocatorForTesting(BlockAllocator pAllocator) {
  g_pAllocator = pAllocator ? pAllocator : &DefaultAllocator;
}

// Text and background colours in force while a paint draws.
struct CHexView::Colors {
  QColor text;
  QColor back;
};

CHexView::CHexView(QWidget* parent) : QAbstractScrollArea(parent) {
  // "Courier New" at a character (em) height of 12 pixels; fontconfig maps it to
  // a metric-compatible monospace such as Liberation Mono.
  m_Font = QFont(QStringLiteral("Courier New"));
  m_Font.setPixelSize(12);
  m_Font.setStyleHint(QFont::TypeWriter);
  m_Font.setFixedPitch(true);
  MeasureFont();

  // Painting covers the whole client area itself: no background erase, and
  // Qt's backing store is the off-screen bitmap, so repaints never flicker.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAutoFillBackground(false);
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  QScrollBar* pVBar = verticalScrollBar();
  connect(pVBar, &QAbstractSlider::actionTriggered, this, [this, pVBar](int nAction) {
    const UINT nCode = ScrollActionToSBCode(nAction);
    const UINT nPos = nCode == SB_THUMBTRACK ? static_cast<UINT>(std::max(pVBar->sliderPosition(), 0)) : 0;
    OnVScroll(nCode, nPos, pVBar);
    // The bar applies its slider position after this signal; make it the
    // position the view settled on.
    pVBar->setSliderPosition(pVBar->value());
  });
  connect(pVBar, &QAbstractSlider::sliderReleased, this, [this, pVBar] {
    OnVScroll(SB_THUMBPOSITION, static_cast<UINT>(std::max(pVBar->value(), 0)), pVBar);
    OnVScroll(SB_ENDSCROLL, 0, pVBar);
  });
  QScrollBar* pHBar = horizontalScrollBar();
  connect(pHBar, &QAbstractSlider::actionTriggered, this, [this, pHBar](int nAction) {
    OnHScroll(ScrollActionToSBCode(nAction), 0, pHBar);
    pHBar->setSliderPosition(pHBar->value());  // the view never scrolls sideways
  });
}

CHexView::~CHexView() = default;

// ---------------------------------------------------------------- set-up

void CHexView::SetOptions(BOOL bShowAddress, BOOL bShowHex, BOOL bShowChars, BOOL bWideAddress) {
  m_bShowAddress = bShowAddress;
  m_bShowHex = bShowHex;
  m_bShowChars = bShowChars;
  m_bWideAddress = bWideAddress;
  m_bRecalcLayout = TRUE;
}

void CHexView::SetBytesPerRow(int nBytesPerRow) {
  // Every row division needs a non-zero count, and a hex row must fit the
  // 256-character line buffer.
  m_nBytesPerRow = std::clamp(nBytesPerRow, MIN_BYTES_PER_ROW, MAX_BYTES_PER_ROW);
  m_bRecalcLayout = TRUE;
}

void CHexView::SetData(const BYTE* pData, UINT nLength) {
  // m_nLength is signed 32-bit, and one spare byte is kept above it.
  if (nLength >= static_cast<UINT>(INT_MAX)) return;
  // The new block is made before the old one goes, so a failure keeps the old
  // bytes and state; without source bytes it is zero-filled, never read from null.
  DataBlock pBlock = AllocBlock(nLength, pData == nullptr);
  if (!pBlock) return;
  if (pData && nLength > 0) std::memcpy(pBlock.get(), pData, nLength);
  m_pData = std::move(pBlock);
  m_nLength = static_cast<int>(nLength);
  m_nCaretAddr = 0;
  m_ptCaret = POINT{0, 0};
  m_nCaretArea = AREA_HEX_HIGH;
  m_nTopIndex = 0;
  m_bRecalcLayout = TRUE;
  SetSelection(-1, -1);
}

void CHexView::SetAllowTyping(BOOL bAllow) { m_bAllowTyping = bAllow; }

void CHexView::SetCaret(int nAddr, int nArea) {
  m_nCaretAddr = nAddr;
  m_nCaretArea = nArea;
}

BOOL CHexView::PreCreateWindow(CREATESTRUCT& cs) {
  cs.style |= WS_VSCROLL | WS_HSCROLL;
  return TRUE;
}

BOOL CHexView::Create(DWORD dwStyle, const QRect& rect, QWidget* pParentWnd, UINT nID) {
  CREATESTRUCT cs{dwStyle | WS_VSCROLL | WS_HSCROLL, rect, pParentWnd, nID};
  if (!PreCreateWindow(cs)) return FALSE;
  setParent(cs.pParent);
  setGeometry(cs.rect);
  m_nDlgCtrlID = cs.nID;
  SetWindowStyle(cs.style);
  setFont(m_Font);  // the font message a created window is sent
  return TRUE;
}

void CHexView::SetWindowStyle(DWORD dwStyle) {
  setVerticalScrollBarPolicy((dwStyle & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy((dwStyle & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setFocusPolicy((dwStyle & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
  setEnabled(!(dwStyle & WS_DISABLED));
  setVisible((dwStyle & WS_VISIBLE) != 0);
}

// ---------------------------------------------------------------- layout and painting

void CHexView::MeasureFont() {
  const QFontMetrics metrics(m_Font);
  m_nCharWidth = std::max(metrics.horizontalAdvance(QLatin1Char('0')), 1);
  m_nLineHeight = std::max(metrics.height(), 1);
  m_nAscentPx = metrics.ascent();
  m_rawFont = QRawFont::fromFont(m_Font);
}

HexGeometry CHexView::GetGeometry() const {
  HexGeometry g;
  g.nCharWidthPx = m_nCharWidth;
  g.nLineHeightPx = m_nLineHeight;
  g.nBytesPerRow = m_nBytesPerRow;
  g.nRowsPerPage = m_nRowsPerPage;
  g.nTopIndex = m_nTopIndex;
  g.nLength = m_nLength;
  g.nHexColPx = m_nHexColX;
  g.nCharColPx = m_nCharColX;
  g.bShowAddress = m_bShowAddress;
  g.bShowHex = m_bShowHex;
  g.bShowChars = m_bShowChars;
  g.bWideAddress = m_bWideAddress;
  return g;
}

void CHexView::RecalcLayout(int nClientHeightPx) {
  MeasureFont();
  const ColumnEdges edges =
      ComputeColumnEdges(m_nCharWidth, m_nBytesPerRow, m_bShowAddress, m_bShowHex, m_bWideAddress);
  m_nHexColX = edges.nHexColPx;
  m_nCharColX = edges.nCharColPx;
  const PageRows rows = ComputeRowsPerPage(nClientHeightPx, m_nLineHeight, m_nLength, m_nBytesPerRow);
  m_bPartialLastRow = rows.bPartialLastRow;
  m_nRowsPerPage = rows.nRowsPerPage;
  m_bRecalcLayout = FALSE;
  UpdateScrollBars();
}

void CHexView::UpdateScrollBars() {
  SetScrollInfo(verticalScrollBar(), VerticalScrollInfo(m_nLength, m_nBytesPerRow, m_nRowsPerPage, m_nTopIndex));
  SetScrollInfo(horizontalScrollBar(), HorizontalScrollInfo(m_nCharWidth, m_nBytesPerRow, m_bShowAddress,
                                                            m_bShowHex, m_bShowChars, m_bWideAddress));
}

void CHexView::Repaint() { viewport()->repaint(); }

void CHexView::paintEvent(QPaintEvent*) { OnPaint(); }

void CHexView::OnPaint() {
  QWidget* pClient = viewport();
  QPainter painter(pClient);
  const QRect rcClient = pClient->rect();
  painter.fillRect(rcClient, QColor(255, 255, 255));
  // Black on white until a column has been drawn highlighted.
  Colors colors{QColor(0, 0, 0), QColor(255, 255, 255)};
  if (m_pData) {
    if (m_bRecalcLayout) RecalcLayout(rcClient.height());
    // Only whole rows are drawn; a row the bottom edge would cut stays white.
    const int nPageBottomPx = (rcClient.height() / m_nLineHeight) * m_nLineHeight;
    const SelRange sel = Selection();
    if (m_bShowAddress) DrawAddressColumn(painter, nPageBottomPx, colors);
    if (m_bShowHex) {
      if (sel.bExists && IsHexArea(m_nCaretArea)) {
        DrawHighlighted(painter, true, sel, nPageBottomPx, colors);
      } else {
        DrawHexPlain(painter, nPageBottomPx, colors);
      }
    }
    if (m_bShowChars) {
      if (sel.bExists && m_nCaretArea == AREA_CHAR) {
        DrawHighlighted(painter, false, sel, nPageBottomPx, colors);
      } else {
        DrawCharPlain(painter, nPageBottomPx, colors);
      }
    }
  }
  PaintCaret(painter, pClient);
}

void CHexView::DrawCells(QPainter& painter, int xPx, int yPx, const char* pText, int nChars, const Colors& colors) {
  if (nChars <= 0) return;
  // Opaque text: every character fills its cell with the background colour.
  painter.fillRect(QRect(xPx, yPx, nChars * m_nCharWidth, m_nLineHeight), colors.back);
  // Each glyph is put at the start of its own cell, so the columns stay on the
  // cell grid that hit testing uses even where the font's advance is fractional.
  const QString text = QString::fromLatin1(pText, nChars);
  const QList<quint32> glyphs = m_rawFont.glyphIndexesForString(text);
  QList<QPointF> positions;
  positions.reserve(glyphs.size());
  for (qsizetype i = 0; i < glyphs.size(); ++i) {
    positions.append(QPointF(xPx + i * m_nCharWidth, yPx + m_nAscentPx));
  }
  QGlyphRun run;
  run.setRawFont(m_rawFont);
  run.setGlyphIndexes(glyphs);
  run.setPositions(positions);
  painter.setPen(colors.text);
  painter.drawGlyphRun(QPointF(0, 0), run);
}

void CHexView::DrawAddressColumn(QPainter& painter, int nPageBottomPx, Colors& colors) {
  std::array<char, 12> address{};
  ForEachPageRow(m_nTopIndex, m_nBytesPerRow, m_nLength, m_nLineHeight, nPageBottomPx, [&](int nRowStart, int yPx) {
    const int nDigits = FormatAddress(nRowStart, m_bWideAddress, address.data());
    DrawCells(painter, m_nAddrColX, yPx, address.data(), nDigits, colors);
  });
}

void CHexView::DrawHexPlain(QPainter& painter, int nPageBottomPx, Colors& colors) {
  std::array<char, 256> line{};
  ForEachPageRow(m_nTopIndex, m_nBytesPerRow, m_nLength, m_nLineHeight, nPageBottomPx, [&](int nRowStart, int yPx) {
    const int nChars = FormatHexRow(m_pData.get(), m_nLength, nRowStart, m_nBytesPerRow, line.data());
    DrawCells(painter, m_nHexColX, yPx, line.data(), nChars, colors);
  });
}

void CHexView::DrawCharPlain(QPainter& painter, int nPageBottomPx, Colors& colors) {
  std::array<char, 256> line{};
  ForEachPageRow(m_nTopIndex, m_nBytesPerRow, m_nLength, m_nLineHeight, nPageBottomPx, [&](int nRowStart, int yPx) {
    const int nChars = FormatCharRow(m_pData.get(), m_nLength, nRowStart, m_nBytesPerRow, line.data());
    DrawCells(painter, m_nCharColX, yPx, line.data(), nChars, colors);
  });
}

void CHexView::DrawHighlighted(QPainter& painter, bool bHex, const SelRange& sel, int nPageBottomPx,
                               Colors& colors) {
  const int nColPx = bHex ? m_nHexColX : m_nCharColX;
  const int nCellChars = bHex ? 3 : 1;
  long long nIndex = m_nTopIndex;
  int nInRow = 0;
  int xPx = nColPx;
  int yPx = 0;
  // Draws bytes one by one up to nRunEnd, the end of the data or the page bottom.
  auto drawRun = [&](long long nRunEnd) {
    while (nIndex < nRunEnd && nIndex < m_nLength && yPx < nPageBottomPx) {
      char cell[3];
      if (bHex) {
        FillHexText(&m_pData[nIndex], 1, cell);
      } else {
        FillCharText(&m_pData[nIndex], 1, cell);
      }
      DrawCells(painter, xPx, yPx, cell, nCellChars, colors);
      ++nIndex;
      xPx += nCellChars * m_nCharWidth;
      if (++nInRow == m_nBytesPerRow) {
        nInRow = 0;
        xPx = nColPx;
        yPx += m_nLineHeight;
      }
    }
  };
  drawRun(sel.nLo);
  const QPalette& pal = palette();
  colors = Colors{pal.color(QPalette::Active, QPalette::HighlightedText), pal.color(QPalette::Active, QPalette::Highlight)};
  drawRun(sel.nHi);
  colors = Colors{pal.color(QPalette::Active, QPalette::Text), pal.color(QPalette::Active, QPalette::Base)};
  drawRun(m_nLength);
}

void CHexView::resizeEvent(QResizeEvent* pEvent) {
  OnSize(0, viewport()->width(), viewport()->height());
  QAbstractScrollArea::resizeEvent(pEvent);
}

void CHexView::OnSize(UINT, int, int cyClientPx) {
  // The rows per page follow the new height at once: hit testing and the keys
  // read them, and neither may wait for a paint.
  if (m_pData) {
    RecalcLayout(cyClientPx);
  } else {
    m_bRecalcLayout = TRUE;
  }
}

BOOL CHexView::OnEraseBkgnd() { return TRUE; }

UINT CHexView::OnGetDlgCode() { return DLGC_WANTALLKEYS; }

void CHexView::scrollContentsBy(int, int) {
  // OnVScroll repaints what it moves; Qt must not shift the pixels itself.
}

// ---------------------------------------------------------------- scrolling

void CHexView::OnHScroll(UINT, UINT, QScrollBar*) {}

void CHexView::OnVScroll(UINT nSBCode, UINT nPos, QScrollBar*) {
  if (!m_pData) return;
  const int nOldTop = m_nTopIndex;
  m_nTopIndex = ScrolledTopIndex(nSBCode, nPos, m_nTopIndex, m_nBytesPerRow, m_nRowsPerPage, m_nLength);
  if (m_nTopIndex != nOldTop) Repaint();
  SetScrollPos(verticalScrollBar(), m_nTopIndex / m_nBytesPerRow);
  if (!m_bKeepCaretAddr) {
    const long long nAddr = static_cast<long long>(m_nCaretAddr) + m_nTopIndex - nOldTop;
    m_nCaretAddr = static_cast<int>(std::clamp<long long>(nAddr, INT_MIN, INT_MAX));
  }
  PlaceCaret(m_nCaretAddr);
}

// ---------------------------------------------------------------- caret and selection

void CHexView::CreateAddressCaret() {
  DestroyCaret();
  CreateCaret(viewport(), AddressDigits(m_bWideAddress) * m_nCharWidth, m_nLineHeight);
}

void CHexView::CreateCellCaret() {
  DestroyCaret();
  CreateCaret(viewport(), m_nCharWidth, m_nLineHeight);
}

void CHexView::CreateCaretByShape() {
  if (m_ptCaret.x == 0 && m_bShowAddress) {
    CreateAddressCaret();
  } else {
    CreateCellCaret();
  }
}

void CHexView::PlaceCaret(int nAddr) {
  const POINT pt = CaretPointOf(GetGeometry(), nAddr, m_nCaretArea);
  if (m_nCaretArea == AREA_ADDRESS) {
    CreateAddressCaret();
  } else {
    CreateCellCaret();
  }
  m_ptCaret = pt;
  // A caret scrolled out of view stays hidden.
  if (viewport()->rect().contains(QPoint(pt.x, pt.y))) {
    SetCaretPos(pt.x, pt.y);
    ShowCaret();
  }
}

void CHexView::SetSelection(int nStart, int nEnd) {
  DestroyCaret();
  m_nSelStart = nStart;
  m_nSelEnd = nEnd;
  Repaint();
  CreateCaretByShape();
  SetCaretPos(m_ptCaret.x, m_ptCaret.y);
}

void CHexView::ClampCaretAddr() { m_nCaretAddr = std::clamp(m_nCaretAddr, 0, DataLength()); }

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

void CHexView::MoveCaret(int dx, int dy) {
  if (m_nCaretArea == AREA_ADDRESS) return;
  const CaretSpot spot = StepCaret(CaretSpot{m_nCaretAddr, m_nCaretArea}, dx, dy, m_nBytesPerRow, DataLength());
  m_nCaretAddr = spot.nAddr;
  m_nCaretArea = spot.nArea;
  m_bKeepCaretAddr = TRUE;
  if (m_nCaretAddr < m_nTopIndex) OnVScroll(SB_LINEUP, 0, nullptr);
  if (static_cast<long long>(m_nCaretAddr) >= m_nTopIndex + static_cast<long long>(m_nRowsPerPage) * m_nBytesPerRow) {
    OnVScroll(SB_LINEDOWN, 0, nullptr);
  }
  m_bKeepCaretAddr = FALSE;
  PlaceCaret(m_nCaretAddr);
}

void CHexView::OnKeyDown(UINT nChar, UINT, UINT) {
  // Keys need a buffer: before the first SetData there is nothing to move over.
  if (!m_pData) return;
  const BOOL bShift = GetKeyState(VK_SHIFT) < 0;
  const KeepCaretAddrGuard keep(m_bKeepCaretAddr);
  const KeyCommand command = KeyToCommand(nChar, GetKeyState(VK_CONTROL) < 0);
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
        OnVScroll(SB_PAGEUP, 0, nullptr);
        MoveCaret(0, 0);
        break;
      case KeyCommand::PageDown:
        OnVScroll(SB_PAGEDOWN, 0, nullptr);
        MoveCaret(0, 0);
        break;
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
    }
    return;
  }

  switch (command) {
    case KeyCommand::Tab:
      m_nCaretArea = IsHexArea(m_nCaretArea) ? AREA_CHAR : AREA_HEX_HIGH;
      MoveCaret(0, 0);
      // The highlight follows the caret's column.
      if (m_nSelStart != -1) Repaint();
      break;
    case KeyCommand::Insert: {
      const long long nSpan = static_cast<long long>(m_nSelEnd) - m_nSelStart;
      const int nCount = nSpan >= 1 ? static_cast<int>(std::min<long long>(nSpan, INT_MAX)) : 1;
      InsertBytes(m_nCaretAddr, nCount);
      PlaceCaret(m_nCaretAddr);  // the edit cleared the selection: the caret shows again
      Repaint();
      break;
    }
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
      case 3:  // Ctrl+C
        if (m_nSelStart != -1) OnEditCopy();
        return;
      case 22:  // Ctrl+V
        OnEditPaste();
        return;
      case 24:  // Ctrl+X
        if (m_nSelStart != -1) OnEditCut();
        return;
      case 26:  // Ctrl+Z
        OnEditUndo();
        return;
      default: break;  // Ctrl+H goes on as Backspace
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
      int nValue = -1;
      if (nChar >= '0' && nChar <= '9') nValue = static_cast<int>(nChar) - 0x30;
      if (nChar >= 'a' && nChar <= 'f') nValue = static_cast<int>(nChar) - 0x57;
      if (nValue < 0) break;  // capitals and everything else are ignored
      if (bOnByte) {
        BYTE& nByte = m_pData[m_nCaretAddr];
        nByte = m_nCaretArea == AREA_HEX_HIGH ? static_cast<BYTE>(nValue * 16 + (nByte & 0x0F))
                                              : static_cast<BYTE>((nByte & 0xF0) + nValue);
      }
      MoveCaret(1, 0);
      break;
    }
    default: break;
  }
  Repaint();
}

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

// ---------------------------------------------------------------- clipboard and commands

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

void CHexView::OnEditCopy() {
  const SelRange sel = Selection();
  if (!sel.bExists || !m_pData) return;
  const int nCount = sel.nHi - sel.nLo;
  const bool bCharForm = m_nCaretArea == AREA_CHAR;
  const std::size_t nTextBytes = (bCharForm ? 1u : 3u) * static_cast<std::size_t>(nCount) + 1;
  // Both blocks first; a failure releases what was made and leaves the
  // clipboard as it was.
  DataBlock pBytes = AllocBlock(static_cast<std::size_t>(nCount), false);
  DataBlock pText = AllocBlock(nTextBytes, true);
  if (!pBytes || !pText) return;
  if (nCount > 0) std::memcpy(pBytes.get(), m_pData.get() + sel.nLo, static_cast<std::size_t>(nCount));
  char* pChars = reinterpret_cast<char*>(pText.get());
  if (bCharForm) {
    FillCharText(pBytes.get(), nCount, pChars);
  } else {
    FillHexText(pBytes.get(), nCount, pChars);
  }
  pChars[nTextBytes - 1] = '\0';
  SetClipboardBlocks(pBytes.get(), static_cast<UINT>(nCount), pChars, static_cast<UINT>(nTextBytes));
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
  int nAt = 0;
  int nReplaceEnd = 0;
  if (sel.bExists) {
    nAt = sel.nLo;
    nReplaceEnd = sel.nHi;
  } else {
    // Behind the current byte when the caret is on its low digit.
    const long long nPoint = static_cast<long long>(m_nCaretAddr) + (m_nCaretArea == AREA_HEX_LOW ? 1 : 0);
    nAt = static_cast<int>(std::clamp<long long>(nPoint, 0, m_nLength));
    nReplaceEnd = nAt;
  }
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
}

void CHexView::OnEditUndo() {}

PopupMenu CHexView::BuildContextMenu() const {
  PopupMenu menu;
  if (const MenuTemplate* pTemplate = FindMenuTemplate(IDR_HEXVIEW_POPUP)) {
    for (const MenuItemTemplate& item : pTemplate->items) {
      if (item.nID == 0 && !item.pszText) {
        menu.AppendSeparator();
      } else {
        menu.AppendItem(item.nID, QString::fromUtf8(item.pszText ? item.pszText : ""));
      }
    }
  }
  ApplyEditCommandStates(menu);
  return menu;
}

void CHexView::ApplyEditCommandStates(PopupMenu& menu) const {
  const bool bSelection = m_nSelStart != -1;
  menu.EnableMenuItem(ID_EDIT_UNDO, false);
  menu.EnableMenuItem(ID_EDIT_CLEAR, bSelection);
  menu.EnableMenuItem(ID_EDIT_CUT, bSelection);
  menu.EnableMenuItem(ID_EDIT_COPY, bSelection);
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

void CHexView::contextMenuEvent(QContextMenuEvent* pEvent) {
  if (pEvent->reason() == QContextMenuEvent::Keyboard) {
    OnContextMenu(this, POINT{-1, -1});
  } else {
    OnContextMenu(this, ToPOINT(pEvent->globalPos()));
  }
  pEvent->accept();
}
