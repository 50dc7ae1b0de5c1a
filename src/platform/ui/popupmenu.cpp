#include "platform/ui/popupmenu.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

namespace {
thread_local PopupMenuHook t_hook;
}

void PopupMenu::AppendItem(UINT nID, const QString& strText) { m_items.push_back({nID, strText, true}); }

void PopupMenu::AppendSeparator() { m_items.push_back({0, QString(), true}); }

BOOL PopupMenu::EnableMenuItem(UINT nID, bool bEnable) {
  BOOL bFound = FALSE;
  for (PopupMenuItem& item : m_items) {
    if (item.nID != 0 && item.nID == nID) {
      item.bEnabled = bEnable;
      bFound = TRUE;
    }
  }
  return bFound;
}

UINT PopupMenu::TrackPopupMenu(QPoint ptScreen, QWidget* pOwner) const {
  if (t_hook) {
    const UINT nChosen = t_hook(m_items, ptScreen);
    for (const PopupMenuItem& item : m_items) {
      if (item.nID != 0 && item.nID == nChosen) return item.bEnabled ? nChosen : 0;
    }
    return 0;
  }
  // No parent: a parent destroyed while the menu runs its own event loop would
  // delete the menu under this frame.
  QMenu menu;
  for (const PopupMenuItem& item : m_items) {
    if (item.nID == 0 && item.strText.isEmpty()) {
      menu.addSeparator();
      continue;
    }
    QAction* pAction = menu.addAction(item.strText);
    pAction->setData(item.nID);
    pAction->setEnabled(item.bEnabled);
  }
  // The menu runs its own event loop; the owner may be destroyed meanwhile.
  QPointer<QWidget> pGuard(pOwner);
  const QAction* pChosen = menu.exec(ptScreen);
  if (!pChosen || (pOwner && !pGuard)) return 0;
  return pChosen->data().toUInt();
}

PopupMenu BuildPopupMenuFromTemplate(const MenuTemplate& tmpl) {
  PopupMenu menu;
  for (const MenuItemTemplate& item : tmpl.items) {
    if (item.nID == 0 && !item.pszText) {
      menu.AppendSeparator();
    } else {
      menu.AppendItem(item.nID, QString::fromUtf8(item.pszText ? item.pszText : ""));
    }
  }
  return menu;
}

void SetPopupMenuHook(PopupMenuHook hook) { t_hook = std::move(hook); }
