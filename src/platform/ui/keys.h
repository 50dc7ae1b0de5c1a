#pragma once
// Keyboard and mouse input in the shape the system's handlers take it: virtual-key
// codes for key-down handlers, 8-bit characters for character handlers, MK_ flags
// for mouse handlers, and GetKeyState for the modifiers of the event in hand.
//
// Behaviour callers rely on:
//  - A key press yields a virtual-key code (0 when the key has none), and at most
//    one character, as the key-down/character message pair would: Backspace 8,
//    Tab and Backtab 9, Enter 13, Escape 27, Ctrl+A..Ctrl+Z 1..26 (Alt not held),
//    otherwise the typed text when it is one character of Latin-1 (0x20 and up);
//    characters outside Latin-1 yield none.
//  - Modifiers come from the event, never from a global poll: while a
//    KeyStateScope is alive on a thread, GetKeyState on that thread reports its
//    modifiers; outside any scope it reports Qt's last known modifiers.
#include <Qt>

#include "platform/wintypes.h"

class QKeyEvent;
class QMouseEvent;

constexpr UINT VK_BACK = 0x08;
constexpr UINT VK_TAB = 0x09;
constexpr UINT VK_RETURN = 0x0D;
constexpr UINT VK_SHIFT = 0x10;
constexpr UINT VK_CONTROL = 0x11;
constexpr UINT VK_MENU = 0x12;
constexpr UINT VK_ESCAPE = 0x1B;
constexpr UINT VK_SPACE = 0x20;
constexpr UINT VK_PRIOR = 0x21;
constexpr UINT VK_NEXT = 0x22;
constexpr UINT VK_END = 0x23;
constexpr UINT VK_HOME = 0x24;
constexpr UINT VK_LEFT = 0x25;
constexpr UINT VK_UP = 0x26;
constexpr UINT VK_RIGHT = 0x27;
constexpr UINT VK_DOWN = 0x28;
constexpr UINT VK_INSERT = 0x2D;
constexpr UINT VK_DELETE = 0x2E;
constexpr UINT VK_APPS = 0x5D;
constexpr UINT VK_F1 = 0x70;
constexpr UINT VK_F10 = 0x79;

// Mouse message flags.
constexpr UINT MK_LBUTTON = 0x0001;
constexpr UINT MK_RBUTTON = 0x0002;
constexpr UINT MK_SHIFT = 0x0004;
constexpr UINT MK_CONTROL = 0x0008;
constexpr UINT MK_MBUTTON = 0x0010;

// Answer of a control that wants every key, Tab, Enter and Escape included.
constexpr UINT DLGC_WANTALLKEYS = 0x0004;

struct KeyInput {
  UINT nVirtKey = 0;  // 0: the key has no virtual-key code
  int nChar = -1;     // -1: the press types no character
  Qt::KeyboardModifiers modifiers;
};

// Pure translation of a Qt key code, its modifiers and its text.
KeyInput TranslateKey(int nQtKey, Qt::KeyboardModifiers modifiers, const QString& text);
KeyInput TranslateKeyEvent(const QKeyEvent& event);

// MK_ flags of a mouse event: buttons held after the event plus Shift and Ctrl.
UINT MouseFlags(const QMouseEvent& event);

// High bit set (negative) while the key is held: VK_SHIFT, VK_CONTROL, VK_MENU.
short GetKeyState(int nVirtKey);

// Makes GetKeyState report `modifiers` on this thread for the scope's lifetime.
class KeyStateScope {
 public:
  explicit KeyStateScope(Qt::KeyboardModifiers modifiers);
  ~KeyStateScope();
  KeyStateScope(const KeyStateScope&) = delete;
  KeyStateScope& operator=(const KeyStateScope&) = delete;

 private:
  bool m_bHadOuter;
  Qt::KeyboardModifiers m_outer;
};
