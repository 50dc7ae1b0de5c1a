#pragma once
// The system caret: one per thread, as the hex view expects of the platform.
//
// Behaviour callers rely on:
//  - CreateCaret first destroys the thread's existing caret, whoever owns it; the
//    new caret is hidden until ShowCaret.
//  - The caret is a solid block drawn inverted over its owner: the owner calls
//    PaintCaret at the end of its paint pass (Qt's backing store is where the
//    block is inverted, so it never leaves marks behind).
//  - It blinks at QGuiApplication::cursorFlashTime() (a flash time of 0 or less
//    means steady); a freshly shown or moved caret starts in its visible phase.
//  - It dies with its owner widget or with DestroyCaret, whichever comes first.
// Functions that need a caret return FALSE when the thread has none.
#include <QPoint>
#include <QRect>

#include "platform/wintypes.h"

class QPainter;
class QWidget;

BOOL CreateCaret(QWidget* pOwner, int nWidthPx, int nHeightPx);
BOOL DestroyCaret();
BOOL SetCaretPos(int xPx, int yPx);
BOOL ShowCaret();
BOOL HideCaret();

// Draws the caret inverted over pWidget when pWidget owns it and it is in the
// visible phase of its blink; does nothing otherwise.
void PaintCaret(QPainter& painter, const QWidget* pWidget);

// What tests observe: whether the thread has a caret, its owner, whether it is
// shown (blink phase aside), and its rectangle in the owner's coordinates.
struct CaretState {
  bool bExists = false;
  bool bShown = false;
  const QWidget* pOwner = nullptr;
  QRect rect;
};
CaretState GetCaretState();
