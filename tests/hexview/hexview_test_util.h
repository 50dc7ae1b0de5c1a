#pragma once
// Shared by the hex view's widget tests: the application, a shown view, mouse events.
#include <QApplication>
#include <QMouseEvent>
#include <QStyleHints>
#include <QTest>

#include <numeric>
#include <vector>

#include "hexview/hexview.h"
#include "platform/ui/caret.h"

inline QApplication& TestApp() {
  static int s_argc = 1;
  static char s_arg0[] = "hexview_tests", *s_argv[] = {s_arg0, nullptr};
  static QApplication* s_pApp = new QApplication(s_argc, s_argv);  // never destroyed: outlives every widget
  QApplication::styleHints()->setCursorFlashTime(0);  // a steady caret paints the same every time
  return *s_pApp;
}

// The system's set-up, with a client area of nRows whole rows plus half a row, 80 cells wide.
inline void ShowAndFocus(CHexView& view, int nRows) {
  view.SetOptions(TRUE, TRUE, TRUE, TRUE);
  view.SetBytesPerRow(16);
  view.show();
  const HexGeometry g = view.GetGeometry();
  view.resize(80 * g.nCharWidthPx + view.width() - view.viewport()->width(),
              nRows * g.nLineHeightPx + g.nLineHeightPx / 2 + view.height() - view.viewport()->height());
  view.activateWindow();
  (void)QTest::qWaitForWindowActive(&view);
  view.setFocus();
}

inline std::vector<BYTE> Bytes(const CHexView& view) {
  return view.GetData() ? std::vector<BYTE>(view.GetData(), view.GetData() + view.GetLength()) : std::vector<BYTE>{};
}
inline void SetBytes(CHexView& view, const std::vector<BYTE>& bytes) {
  view.SetData(bytes.empty() ? nullptr : bytes.data(), static_cast<UINT>(bytes.size()));
}
inline std::vector<BYTE> Sequence(int nCount) {  // 0, 1, 2, ...
  std::vector<BYTE> bytes(static_cast<size_t>(nCount));
  std::iota(bytes.begin(), bytes.end(), BYTE{0});
  return bytes;
}

// A press, move or release of the left button (held from press to release) at a client point.
inline void Mouse(CHexView& view, QEvent::Type type, QPoint pt, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent ev(type, QPointF(pt), QPointF(view.viewport()->mapToGlobal(pt)), button, held, mods);
  QApplication::sendEvent(view.viewport(), &ev);
}
