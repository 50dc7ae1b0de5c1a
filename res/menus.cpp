// Menu resources.
#include <array>

#include "res/resource.h"
#include "res/restypes.h"

namespace {

// Menu 129: the hex view's context menu. The commands are the standard edit ids;
// the text behind a tab is the item's key, shown in the menu's shortcut column.
constexpr std::array<MenuItemTemplate, 2> kHexViewPopupItems{{
    {ID_EDIT_COPY, "&Copy\tCtrl+C"},
    {ID_EDIT_SELECT_ALL, "Select &All\tCtrl+A"},
}};

constexpr std::array<MenuTemplate, 1> kMenus{{
    {IDR_HEXVIEW_POPUP, "_POPUP_", kHexViewPopupItems},
}};

}  // namespace

const MenuTemplate* FindMenuTemplate(UINT nID) {
  for (const MenuTemplate& menu : kMenus) {
    if (menu.nID == nID) return &menu;
  }
  return nullptr;
}
