#include "platform/ui/scrollbar.h"

#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>

int MaxScrollPos(const ScrollInfo& info) {
  const long long nTop = static_cast<long long>(info.nMax) - std::max(info.nPage, 1) + 1;
  return static_cast<int>(std::max<long long>(info.nMin, nTop));
}

UINT ScrollActionToSBCode(int nSliderAction) {
  switch (nSliderAction) {
    case QAbstractSlider::SliderSingleStepAdd: return SB_LINEDOWN;
    case QAbstractSlider::SliderSingleStepSub: return SB_LINEUP;
    case QAbstractSlider::SliderPageStepAdd: return SB_PAGEDOWN;
    case QAbstractSlider::SliderPageStepSub: return SB_PAGEUP;
    case QAbstractSlider::SliderToMinimum: return SB_TOP;
    case QAbstractSlider::SliderToMaximum: return SB_BOTTOM;
    case QAbstractSlider::SliderMove: return SB_THUMBTRACK;
    default: return SB_ENDSCROLL;
  }
}

void SetScrollInfo(QScrollBar* pBar, const ScrollInfo& info) {
  if (!pBar) return;
  const QSignalBlocker blocker(pBar);
  const int nMaxPos = MaxScrollPos(info);
  pBar->setRange(info.nMin, nMaxPos);
  pBar->setPageStep(std::max(info.nPage, 1));
  pBar->setSingleStep(1);
  pBar->setValue(std::clamp(info.nPos, info.nMin, nMaxPos));
  pBar->setEnabled(nMaxPos > info.nMin);
}

void SetScrollPos(QScrollBar* pBar, int nPos) {
  if (!pBar) return;
  const QSignalBlocker blocker(pBar);
  pBar->setValue(nPos);  // QScrollBar clamps to its range
}
