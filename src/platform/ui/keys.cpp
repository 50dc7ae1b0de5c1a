#include "platform/ui/keys.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>

namespace {

thread_local bool t_bScoped = false;
thread_local Qt::KeyboardModifiers t_modifiers;

UINT VirtKeyOf(int nQtKey) {
  switch (nQtKey) {
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Alt: return VK_MENU;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Menu: return VK_APPS;
    default: break;
  }
  if (nQtKey >= Qt::Key_0 && nQtKey <= Qt::Key_9) return 0x30 + (nQtKey - Qt::Key_0);
  // Virtual-key codes of letters are the capitals, whatever the case typed.
  if (nQtKey >= Qt::Key_A && nQtKey <= Qt::Key_Z) return 0x41 + (nQtKey - Qt::Key_A);
  if (nQtKey >= Qt::Key_F1 && nQtKey <= Qt::Key_F24) return VK_F1 + (nQtKey - Qt::Key_F1);
  return 0;
}

int CharOf(int nQtKey, Qt::KeyboardModifiers modifiers, const QString& text) {
  switch (nQtKey) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Delete: return -1;
    default: break;
  }
  const bool bCtrl = modifiers.testFlag(Qt::ControlModifier);
  const bool bAlt = modifiers.testFlag(Qt::AltModifier);
  // Ctrl with a letter types the control character of that letter (Ctrl+C is 3);
  // Ctrl+Alt is AltGr on many layouts and types the text instead.
  if (bCtrl && !bAlt) {
    if (nQtKey >= Qt::Key_A && nQtKey <= Qt::Key_Z) return 1 + (nQtKey - Qt::Key_A);
    return -1;
  }
  if (text.size() != 1) return -1;
  const char16_t ch = text.at(0).unicode();
  // Control codes (Delete's text is 0x7F) type nothing beyond those above.
  if (ch < 0x20 || ch == 0x7F || ch > 0xFF) return -1;
  return ch;
}

}  // namespace

KeyInput TranslateKey(int nQtKey, Qt::KeyboardModifiers modifiers, const QString& text) {
  KeyInput input;
  input.nVirtKey = VirtKeyOf(nQtKey);
  input.nChar = CharOf(nQtKey, modifiers, text);
  input.modifiers = modifiers;
  // Shift+Tab arrives as Backtab; keep Shift visible to the key-down handler.
  if (nQtKey == Qt::Key_Backtab) input.modifiers |= Qt::ShiftModifier;
  return input;
}

KeyInput TranslateKeyEvent(const QKeyEvent& event) {
  return TranslateKey(event.key(), event.modifiers(), event.text());
}

UINT MouseFlags(const QMouseEvent& event) {
  UINT nFlags = 0;
  const Qt::MouseButtons buttons = event.buttons();
  if (buttons.testFlag(Qt::LeftButton)) nFlags |= MK_LBUTTON;
  if (buttons.testFlag(Qt::RightButton)) nFlags |= MK_RBUTTON;
  if (buttons.testFlag(Qt::MiddleButton)) nFlags |= MK_MBUTTON;
  if (event.modifiers().testFlag(Qt::ShiftModifier)) nFlags |= MK_SHIFT;
  if (event.modifiers().testFlag(Qt::ControlModifier)) nFlags |= MK_CONTROL;
  return nFlags;
}

short GetKeyState(int nVirtKey) {
  const Qt::KeyboardModifiers modifiers = t_bScoped ? t_modifiers : QGuiApplication::keyboardModifiers();
  bool bHeld = false;
  switch (nVirtKey) {
    case VK_SHIFT: bHeld = modifiers.testFlag(Qt::ShiftModifier); break;
    case VK_CONTROL: bHeld = modifiers.testFlag(Qt::ControlModifier); break;
    case VK_MENU: bHeld = modifiers.testFlag(Qt::AltModifier); break;
    default: break;
  }
  return bHeld ? static_cast<short>(0x8000) : 0;
}

KeyStateScope::KeyStateScope(Qt::KeyboardModifiers modifiers) : m_bHadOuter(t_bScoped), m_outer(t_modifiers) {
  t_bScoped = true;
  t_modifiers = modifiers;
}

KeyStateScope::~KeyStateScope() {
  t_bScoped = m_bHadOuter;
  t_modifiers = m_outer;
}
