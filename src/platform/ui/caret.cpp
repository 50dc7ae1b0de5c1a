#include "platform/ui/caret.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QStyleHints>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace {

class Caret : public QObject {
 public:
  Caret(QWidget* pOwner, QSize size) : m_pOwner(pOwner), m_rect(QPoint(0, 0), size) {
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
      m_bPhaseOn = !m_bPhaseOn;
      Invalidate();
    });
  }
  ~Caret() override {
    // The block may still be on screen; the owner repaints that spot without it.
    // (A dying owner has already cleared m_pOwner, so it is never touched then.)
    m_bShown = false;
    Invalidate();
  }

  void Show() {
    if (m_bShown) return;
    m_bShown = true;
    RestartBlink();
  }
  void Hide() {
    if (!m_bShown) return;
    m_bShown = false;
    m_timer.stop();
    Invalidate();
  }
  void Move(QPoint pt) {
    Invalidate();
    m_rect.moveTopLeft(pt);
    if (m_bShown) RestartBlink();
  }
  bool IsShown() const { return m_bShown; }
  bool IsVisiblePhase() const { return m_bShown && m_bPhaseOn; }
  QRect Rect() const { return m_rect; }
  QWidget* Owner() const { return m_pOwner; }

 private:
  void RestartBlink() {
    m_bPhaseOn = true;
    // Qt's cursor flash time is a whole on-off period.
    const int nFlashMs = QGuiApplication::styleHints()->cursorFlashTime();
    if (nFlashMs > 0) {
      m_timer.start(nFlashMs / 2);
    } else {
      m_timer.stop();
    }
    Invalidate();
  }
  void Invalidate() {
    if (m_pOwner) m_pOwner->update(m_rect);
  }

  QPointer<QWidget> m_pOwner;
  QRect m_rect;
  QTimer m_timer;
  bool m_bShown = false;
  bool m_bPhaseOn = true;
};

// One caret per thread. It is not a child of its owner: a caret deleted from
// inside the owner's destructor would repaint a half-destroyed widget. Instead the
// owner's destroyed() signal, sent once the owner can no longer be repainted,
// deletes the caret.
thread_local std::unique_ptr<Caret> t_pCaret;

}  // namespace

BOOL CreateCaret(QWidget* pOwner, int nWidthPx, int nHeightPx) {
  DestroyCaret();
  if (!pOwner) return FALSE;
  t_pCaret = std::make_unique<Caret>(pOwner, QSize(qMax(nWidthPx, 0), qMax(nHeightPx, 0)));
  QObject::connect(pOwner, &QObject::destroyed, t_pCaret.get(), [] { t_pCaret.reset(); });
  return TRUE;
}

BOOL DestroyCaret() {
  if (!t_pCaret) return FALSE;
  t_pCaret.reset();
  return TRUE;
}

BOOL SetCaretPos(int xPx, int yPx) {
  if (!t_pCaret) return FALSE;
  t_pCaret->Move(QPoint(xPx, yPx));
  return TRUE;
}

BOOL ShowCaret() {
  if (!t_pCaret) return FALSE;
  t_pCaret->Show();
  return TRUE;
}

BOOL HideCaret() {
  if (!t_pCaret) return FALSE;
  t_pCaret->Hide();
  return TRUE;
}

void PaintCaret(QPainter& painter, const QWidget* pWidget) {
  if (!t_pCaret || t_pCaret->Owner() != pWidget || !t_pCaret->IsVisiblePhase()) return;
  painter.save();
  // White in difference mode inverts every pixel under the block, as the system
  // caret does on other platforms.
  painter.setCompositionMode(QPainter::CompositionMode_Difference);
  painter.fillRect(t_pCaret->Rect(), Qt::white);
  painter.restore();
}

CaretState GetCaretState() {
  CaretState state;
  if (!t_pCaret) return state;
  state.bExists = true;
  state.bShown = t_pCaret->IsShown();
  state.pOwner = t_pCaret->Owner();
  state.rect = t_pCaret->Rect();
  return state;
}
