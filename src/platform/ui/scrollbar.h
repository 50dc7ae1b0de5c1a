#pragma once
// Scroll bars in the shape the system's code drives them: a range from nMin to
// nMax with a page, and actions reported as SB_ codes.
//
// Behaviour callers rely on:
//  - SetScrollInfo and SetScrollPos never emit the bar's signals, so setting a
//    range or a position never re-enters the owner's scroll handler.
//  - A range of nMin..nMax with page nPage lets the position go from nMin to
//    nMax - nPage + 1 (never below nMin); positions outside are clamped, as the
//    system's bars clamp them. A bar with nothing to scroll is disabled, not
//    hidden (the disable-no-scroll behaviour).
#include "platform/wintypes.h"

class QScrollBar;

struct ScrollInfo {
  int nMin = 0;
  int nMax = 0;
  int nPage = 0;
  int nPos = 0;
  friend bool operator==(const ScrollInfo&, const ScrollInfo&) = default;
};

// Highest position a bar with this range and page reaches (never below nMin).
int MaxScrollPos(const ScrollInfo& info);

// SB_ code of a QAbstractSlider::SliderAction; SB_ENDSCROLL for SliderNoAction.
UINT ScrollActionToSBCode(int nSliderAction);

void SetScrollInfo(QScrollBar* pBar, const ScrollInfo& info);
void SetScrollPos(QScrollBar* pBar, int nPos);
