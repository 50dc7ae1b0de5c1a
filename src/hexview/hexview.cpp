// CHexView's set-up, layout, scrolling and caret.
#include "hexview/hexview.h"

#include <QFontMetrics>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cstring>

#include "hexview/hexkeys.h"
#include "platform/ui/caret.h"
#include "platform/ui/scrollbar.h"

namespace {

void* DefaultAllocator(std::size_t nBytes, bool bZeroed) {
  return bZeroed ? std::calloc(nBytes, 1) : std::malloc(nBytes);
}

BlockAllocator g_pAllocator = &DefaultAllocator;

}  // namespace

DataBlock CHexView::AllocBlock(std::size_t nBytes, bool bZeroed) {
  // One byte at least: a zero-byte request may legally return null, which would
  // read as a failure.
  return DataBlock(static_cast<BYTE*>(g_pAllocator(std::max<std::size_t>(nBytes, 1), bZeroed)));
}

void SetBlockAllocatorForTesting(BlockAllocator pAllocator) {
  g_pAllocator = pAllocator ? pAllocator : &DefaultAllocator;
}

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

// ---------------------------------------------------------------- layout

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

void CHexView::scrollContentsBy(int, int) {
  // OnVScroll repaints what it moves; Qt must not shift the pixels itself.
}

// ---------------------------------------------------------------- scrolling

void CHexView::OnHScroll(UINT, UINT, QScrollBar*) {}

void CHexView::OnVScroll(UINT nSBCode, UINT nPos, QScrollBar*) {
  if (!m_pData) return;
  ScrollTopTo(ScrolledTopIndex(nSBCode, nPos, m_nTopIndex, m_nBytesPerRow, m_nRowsPerPage, m_nLength));
  // The caret keeps its byte, and so the anchor a Shift+click takes from it;
  // off the page it is simply not shown.
  PlaceCaret(m_nCaretAddr);
}

void CHexView::ScrollTopTo(int nTopIndex) {
  if (nTopIndex != m_nTopIndex) {
    m_nTopIndex = nTopIndex;
    Repaint();
  }
  SetScrollPos(verticalScrollBar(), m_nTopIndex / m_nBytesPerRow);
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

void CHexView::MoveCaret(int dx, int dy) {
  const CaretSpot spot = StepCaret(CaretSpot{m_nCaretAddr, m_nCaretArea}, dx, dy, m_nBytesPerRow, DataLength());
  m_nCaretAddr = spot.nAddr;
  m_nCaretArea = spot.nArea;
  // Scrolling leaves the caret where it was, so a key may find it far off the
  // page: the view goes to it, never the other way round.
  ScrollTopTo(TopIndexShowing(m_nCaretAddr, m_nTopIndex, m_nBytesPerRow, m_nRowsPerPage));
  PlaceCaret(m_nCaretAddr);
}
