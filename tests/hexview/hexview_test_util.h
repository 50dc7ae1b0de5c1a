#pragma once
// Helpers shared by the hex view's widget tests: the application object, a shown
// view with a chosen number of whole rows, synthetic mouse events and reading
// characters back from a rendered image.
#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleHints>
#include <QTest>

#include <string>
#include <vector>

#include "hexview/hexview.h"
#include "platform/ui/caret.h"

inline QApplication& TestApp() {
  static int s_argc = 1;
  static char s_arg0[] = "hexview_tests";
  static char* s_argv[] = {s_arg0, nullptr};
  static QApplication* s_pApp = nullptr;
  if (!s_pApp) {
    s_pApp = new QApplication(s_argc, s_argv);
    // A steady caret keeps painted images independent of the blink phase.
    QApplication::styleHints()->setCursorFlashTime(0);
  }
  return *s_pApp;
}

// The system's set-up, shown with a client area of nRows whole rows plus half a
// row, nWidthCells cells wide.
inline void ShowView(CHexView& view, int nRows, int nWidthCells = 80) {
  TestApp();
  view.SetOptions(TRUE, TRUE, TRUE, TRUE);
  view.SetBytesPerRow(16);
  view.SetAllowTyping(FALSE);
  view.show();
  const int nFramePx = view.height() - view.viewport()->height();
  const int nFrameWPx = view.width() - view.viewport()->width();
  view.resize(nWidthCells * view.GetGeometry().nCharWidthPx + nFrameWPx, nRows * view.GetGeometry().nLineHeightPx + view.GetGeometry().nLineHeightPx / 2 + nFramePx);
  (void)QTest::qWaitForWindowExposed(&view);
}

inline void ShowAndFocus(CHexView& view, int nRows, int nWidthCells = 80) {
  ShowView(view, nRows, nWidthCells);
  view.activateWindow();
  (void)QTest::qWaitForWindowActive(&view);
  view.setFocus();
}

inline std::vector<BYTE> Bytes(const CHexView& view) {
  if (!view.GetData()) return {};
  return std::vector<BYTE>(view.GetData(), view.GetData() + view.GetLength());
}

inline void SetBytes(CHexView& view, const std::vector<BYTE>& bytes) {
  view.SetData(bytes.empty() ? nullptr : bytes.data(), static_cast<UINT>(bytes.size()));
}

inline std::vector<BYTE> Sequence(int nCount) {
  std::vector<BYTE> bytes(static_cast<size_t>(nCount));
  for (int i = 0; i < nCount; ++i) bytes[static_cast<size_t>(i)] = static_cast<BYTE>(i);
  return bytes;
}

// Synthetic mouse events on the client area (the viewport), in client pixels.
inline void SendMouse(CHexView& view, QEvent::Type type, QPoint pt, Qt::MouseButton button,
                      Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QWidget* pClient = view.viewport();
  QMouseEvent ev(type, QPointF(pt), QPointF(pClient->mapToGlobal(pt)), button, buttons, mods);
  QApplication::sendEvent(pClient, &ev);
}
inline void Press(CHexView& view, QPoint pt, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  SendMouse(view, QEvent::MouseButtonPress, pt, Qt::LeftButton, Qt::LeftButton, mods);
}
inline void MoveHeld(CHexView& view, QPoint pt, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  SendMouse(view, QEvent::MouseMove, pt, Qt::NoButton, Qt::LeftButton, mods);
}
inline void Release(CHexView& view, QPoint pt, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  SendMouse(view, QEvent::MouseButtonRelease, pt, Qt::LeftButton, Qt::NoButton, mods);
}
inline void Click(CHexView& view, QPoint pt, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  Press(view, pt, mods);
  Release(view, pt, mods);
}

// The middle of cell (nCol, nRow).
inline QPoint CellPoint(const CHexView& view, int nCol, int nRow) {
  return QPoint(nCol * view.GetGeometry().nCharWidthPx + view.GetGeometry().nCharWidthPx / 2, nRow * view.GetGeometry().nLineHeightPx + view.GetGeometry().nLineHeightPx / 2);
}

// The client area as painted now, without the caret.
inline QImage Render(CHexView& view) {
  DestroyCaret();
  return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Reads the character in cell (nCol, nRow) of an image painted in black on
// white, by comparing it with every printable character drawn alone.
inline char ReadCell(const CHexView& view, const QImage& image, int nCol, int nRow) {
  const int w = view.GetGeometry().nCharWidthPx;
  const int h = view.GetGeometry().nLineHeightPx;
  static std::vector<QImage> s_glyphs;
  if (s_glyphs.empty()) {
    const int nAscent = QFontMetrics(view.GetFont()).ascent();
    for (int ch = 0x20; ch <= 0x7E; ++ch) {
      QImage glyph(w, h, QImage::Format_RGB32);
      glyph.fill(Qt::white);
      QPainter painter(&glyph);
      painter.setFont(view.GetFont());
      painter.setPen(Qt::black);
      painter.drawText(0, nAscent, QString(QChar(ch)));
      painter.end();
      s_glyphs.push_back(glyph);
    }
  }
  long long nBest = -1;
  char chBest = '?';
  for (int ch = 0x20; ch <= 0x7E; ++ch) {
    const QImage& glyph = s_glyphs[static_cast<size_t>(ch - 0x20)];
    long long nDiff = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        nDiff += std::abs(qGray(image.pixel(nCol * w + x, nRow * h + y)) - qGray(glyph.pixel(x, y)));
      }
    }
    if (nBest < 0 || nDiff < nBest) {
      nBest = nDiff;
      chBest = static_cast<char>(ch);
    }
  }
  return chBest;
}

inline std::string ReadCells(const CHexView& view, const QImage& image, int nCol, int nRow, int nCount) {
  std::string text;
  for (int i = 0; i < nCount; ++i) text += ReadCell(view, image, nCol + i, nRow);
  return text;
}

// Share of the cell's pixels in the given colour.
inline double ColorShare(const CHexView& view, const QImage& image, int nCol, int nRow, QColor color) {
  const int w = view.GetGeometry().nCharWidthPx;
  const int h = view.GetGeometry().nLineHeightPx;
  int nSame = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (image.pixelColor(nCol * w + x, nRow * h + y).rgb() == color.rgb()) ++nSame;
    }
  }
  return static_cast<double>(nSame) / (w * h);
}

// A highlighted cell shows the highlight colour around its glyph (antialiased
// glyph edges blend, so not every background pixel keeps the exact colour); a
// plain one shows none of it.
inline bool IsHighlighted(const CHexView& view, const QImage& image, int nCol, int nRow) {
  return ColorShare(view, image, nCol, nRow, view.palette().color(QPalette::Active, QPalette::Highlight)) > 0.2;
}

inline bool IsWhite(const CHexView& view, const QImage& image, int nCol, int nRow) {
  return ColorShare(view, image, nCol, nRow, QColor(255, 255, 255)) == 1.0;
}
