// hexview_paint [REPAINTS]
//
// Median and worst time of a full synchronous repaint (viewport repaint(),
// which paints before it returns) of a CHexView set up as the main dialog sets
// it up, holding 1500 bytes with a selection over most of them, offscreen.
// Two sizes: the main dialog's view (431 x 127 dialog units, about 700 x 210
// pixels, 12 rows shown) and one tall enough to show all 94 rows.
#include <QtCore/QByteArray>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "benchutil.h"
#include "hexview/hexview.h"

namespace {

struct Figures {
  double dMedianMs;
  double dWorstMs;
};

Figures TimeRepaints(CHexView& view, int nRepaints) {
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(nRepaints));
  for (int i = 0; i < nRepaints; ++i) {
    const std::int64_t nStartNs = bench::MonotonicNs();
    view.viewport()->repaint();
    ms.push_back(static_cast<double>(bench::MonotonicNs() - nStartNs) / 1e6);
  }
  return {bench::Median(ms), bench::Quantile(ms, 1.0)};
}

}  // namespace

int main(int argc, char** argv) {
  const int nRepaints = bench::CountArgument(argc, argv, 500, 100000, "hexview_paint [REPAINTS]");
  if (nRepaints < 0) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  std::vector<BYTE> bytes(1500);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);

  CHexView view;
  view.SetWindowStyle(WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP);
  view.SetOptions(TRUE, TRUE, TRUE, TRUE);
  view.SetBytesPerRow(16);
  view.SetAllowTyping(FALSE);
  view.resize(700, 210);
  view.show();
  QCoreApplication::processEvents();
  view.SetData(bytes.data(), static_cast<UINT>(bytes.size()));
  view.SetSelection(40, 1400);
  QCoreApplication::processEvents();

  TimeRepaints(view, 20);  // warm-up: glyph caches, backing store
  const Figures dialogSize = TimeRepaints(view, nRepaints);
  view.resize(700, view.GetGeometry().nLineHeightPx * 96);
  QCoreApplication::processEvents();
  TimeRepaints(view, 20);
  const Figures allRows = TimeRepaints(view, nRepaints);

  std::printf("full repaint, 1500 bytes, selection 40..1400, %d repaints each\n", nRepaints);
  std::printf("  dialog size (700x210 px): median %.3f ms, worst %.3f ms\n", dialogSize.dMedianMs, dialogSize.dWorstMs);
  std::printf("  all 94 rows shown:        median %.3f ms, worst %.3f ms\n", allRows.dMedianMs, allRows.dWorstMs);
  return 0;
}
