#pragma once
// Shapes of the resource tables in res/: menus, dialog templates and strings.
// Texts are UTF-8.
#include <span>

#include "platform/wintypes.h"

// One menu item; nID 0 with a null text is a separator.
struct MenuItemTemplate {
  UINT nID;
  const char* pszText;
};

// A menu resource holding one popup.
struct MenuTemplate {
  UINT nID;
  const char* pszPopupName;
  std::span<const MenuItemTemplate> items;
};

// One control of a dialog template; positions and sizes in dialog units.
struct ControlTemplate {
  int nID;
  const char* pszClass;  // "BUTTON", "EDIT", "STATIC", "COMBOBOX", "SysListView32"
  const char* pszText;   // for an SS_ICON static: the icon resource name, e.g. "#128"
  int x, y, cx, cy;
  DWORD dwStyle;
  DWORD dwExStyle;
};

struct DialogTemplate {
  UINT nID;
  const char* pszCaption;
  int x, y, cx, cy;
  DWORD dwStyle;
  DWORD dwExStyle;
  int nFontPoints;
  const char* pszFontFace;
  std::span<const ControlTemplate> controls;
};

// Each returns null when the table has no such resource.
const MenuTemplate* FindMenuTemplate(UINT nID);
const DialogTemplate* FindDialogTemplate(UINT nID);
const char* FindStringResource(UINT nID);
