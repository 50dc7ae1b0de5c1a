#pragma once
// A dialog's own system menu. Linux window managers do not let a program extend
// their window menu, so the dialog keeps this popup: the standard Minimize and
// Close commands plus what the dialog appends. The dialog opens it with Alt+Space
// and with a right click on its background (CDialog); a chosen item reaches the
// command handler with its id, as WM_SYSCOMMAND does.
#include <QtCore/QPoint>
#include <QtCore/QString>
#include <functional>
#include <memory>

#include "platform/wintypes.h"

class QMenu;
class QWidget;

// System command ids (Windows values). Commands of the system itself are
// SC_SIZE and above; a program's own items lie below 0xF000.
constexpr UINT SC_SIZE = 0xF000;
constexpr UINT SC_MOVE = 0xF010;
constexpr UINT SC_MINIMIZE = 0xF020;
constexpr UINT SC_MAXIMIZE = 0xF030;
constexpr UINT SC_CLOSE = 0xF060;
constexpr UINT SC_KEYMENU = 0xF100;
constexpr UINT SC_RESTORE = 0xF120;

// AppendMenu flags.
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_SEPARATOR = 0x0800;

class CSystemMenu {
 public:
  using CommandHandler = std::function<void(UINT nID)>;

  // pOwner parents the popup, which this object deletes; it must not outlive
  // pOwner. onCommand receives the id of the chosen item.
  CSystemMenu(QWidget* pOwner, CommandHandler onCommand);
  ~CSystemMenu();
  CSystemMenu(const CSystemMenu&) = delete;
  CSystemMenu& operator=(const CSystemMenu&) = delete;

  // MF_SEPARATOR appends a separator (nID and text ignored); MF_STRING an item.
  BOOL AppendMenu(UINT nFlags, UINT nIDNewItem = 0, const QString& strNewItem = QString());

  int GetMenuItemCount() const;
  // 0 for a separator; UINT(-1) when nPos names no item.
  UINT GetMenuItemID(int nPos) const;
  // The item's text as appended ("&" included); empty for a separator.
  QString GetMenuString(int nPos) const;

  // Opens the popup at ptGlobal, waits until it closes and then delivers the
  // chosen item, if any. Tests reach the open popup through menu().
  void TrackAt(const QPoint& ptGlobal);
  QMenu* menu() const { return m_pMenu.get(); }

  // Delivers nID as though its item had been chosen.
  void Invoke(UINT nID);

 private:
  std::unique_ptr<QMenu> m_pMenu;
  CommandHandler m_onCommand;
};
