// CHexView's painting: the address, hex and character columns, the selection's
// highlight, and the caret drawn over them.
#include "hexview/hexview.h"

#include <QGlyphRun>
#include <QPainter>

#include <array>

#include "hexview/hextext.h"
#include "platform/ui/caret.h"

namespace {

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

// Text and background colours in force while a paint draws.
struct CHexView::Colors {
  QColor text;
  QColor back;
};

CHexView::Colors CHexView::PlainColors() const {
  const QPalette& pal = palette();
  return Colors{pal.color(QPalette::Active, QPalette::Text), pal.color(QPalette::Active, QPalette::Base)};
}

void CHexView::Repaint() { viewport()->repaint(); }

void CHexView::paintEvent(QPaintEvent*) { OnPaint(); }

void CHexView::OnPaint() {
  QWidget* pClient = viewport();
  QPainter painter(pClient);
  const QRect rcClient = pClient->rect();
  // The palette's text on its base throughout, as the desktop's other text
  // fields: on a dark desktop the view is dark too.
  const Colors plain = PlainColors();
  painter.fillRect(rcClient, plain.back);
  Colors colors = plain;
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
  const int nCellChars = bHex ? HEX_CELLS_PER_BYTE : 1;
  long long nIndex = m_nTopIndex;
  int nInRow = 0;
  int xPx = nColPx;
  int yPx = 0;
  // Draws bytes one by one up to nRunEnd, the end of the data or the page bottom.
  auto drawRun = [&](long long nRunEnd) {
    while (nIndex < nRunEnd && nIndex < m_nLength && yPx < nPageBottomPx) {
      char cell[HEX_CELLS_PER_BYTE];
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
  colors = PlainColors();
  drawRun(m_nLength);
}

BOOL CHexView::OnEraseBkgnd() { return TRUE; }
