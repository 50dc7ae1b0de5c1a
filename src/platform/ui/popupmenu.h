#pragma once
// Context (popup) menus: a list of command items with enabled states, tracked at
// a screen point; the chosen item comes back as its command id.
//
// Behaviour callers rely on:
//  - EnableMenuItem on an id the menu does not hold changes nothing.
//  - TrackPopupMenu returns the chosen command id, or 0 when the menu was
//    dismissed; disabled items cannot be chosen.
//  - While a tracking hook is installed (tests), TrackPopupMenu does not open a
//    menu: it hands the hook the items as they would be shown and the screen
//    point, and returns what the hook returns (0 or a disabled item's id count
//    as dismissal).
#include <QPoint>
#include <QString>

#include <functional>
#include <vector>

#include "platform/ui/templates.h"
#include "platform/wintypes.h"

class QWidget;

struct PopupMenuItem {
  UINT nID = 0;       // 0 with an empty text: a separator
  QString strText;    // "&" marks the mnemonic
  bool bEnabled = true;
};

class PopupMenu {
 public:
  void AppendItem(UINT nID, const QString& strText);
  void AppendSeparator();
  // TRUE when the menu holds an item with this id.
  BOOL EnableMenuItem(UINT nID, bool bEnable);
  const std::vector<PopupMenuItem>& Items() const { return m_items; }

  // Shows the menu at ptScreen (its top-left corner) over pOwner; returns the
  // chosen command id or 0.
  UINT TrackPopupMenu(QPoint ptScreen, QWidget* pOwner) const;

 private:
  std::vector<PopupMenuItem> m_items;
};

// The popup of a menu template: its items in template order, all enabled. An
// item with id 0 and a null text is a separator; a null text elsewhere is empty.
PopupMenu BuildPopupMenuFromTemplate(const MenuTemplate& tmpl);

using PopupMenuHook = std::function<UINT(const std::vector<PopupMenuItem>& items, QPoint ptScreen)>;

// Installs a hook for the calling thread; pass an empty function to remove it.
void SetPopupMenuHook(PopupMenuHook hook);
