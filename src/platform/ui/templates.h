#pragma once
// What resource tables are written in: the shapes of menu and dialog templates,
// the Windows style bits their entries carry and the standard ids. The platform
// builds menus and dialogs from these shapes; the tables themselves, and the
// lookups that find them, are the application's (res/). Texts are UTF-8.
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

// Window, dialog and control style bits (Windows values), read from dialog
// templates and by the controls built from them.
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
constexpr DWORD WS_EX_STATICEDGE = 0x00020000;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;
constexpr DWORD DS_ABSALIGN = 0x0001;
constexpr DWORD DS_SETFONT = 0x0040;
constexpr DWORD DS_MODALFRAME = 0x0080;
constexpr DWORD DS_CENTER = 0x0800;
constexpr DWORD DS_CENTERMOUSE = 0x1000;
constexpr DWORD BS_TYPEMASK = 0x000F;
constexpr DWORD BS_PUSHBUTTON = 0x0000;
constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
constexpr DWORD BS_CHECKBOX = 0x0002;
constexpr DWORD BS_AUTOCHECKBOX = 0x0003;
constexpr DWORD BS_RADIOBUTTON = 0x0004;
constexpr DWORD BS_3STATE = 0x0005;
constexpr DWORD BS_AUTO3STATE = 0x0006;
constexpr DWORD BS_GROUPBOX = 0x0007;
constexpr DWORD BS_AUTORADIOBUTTON = 0x0009;
constexpr DWORD SS_TYPEMASK = 0x001F;
constexpr DWORD SS_LEFT = 0x0000;
constexpr DWORD SS_CENTER = 0x0001;
constexpr DWORD SS_RIGHT = 0x0002;
constexpr DWORD SS_ICON = 0x0003;
constexpr DWORD SS_BLACKRECT = 0x0004;
constexpr DWORD SS_GRAYRECT = 0x0005;
constexpr DWORD SS_WHITERECT = 0x0006;
constexpr DWORD SS_BLACKFRAME = 0x0007;
constexpr DWORD SS_GRAYFRAME = 0x0008;
constexpr DWORD SS_WHITEFRAME = 0x0009;
constexpr DWORD SS_ETCHEDHORZ = 0x0010;
constexpr DWORD SS_NOPREFIX = 0x0080;
constexpr DWORD SS_SUNKEN = 0x1000;
constexpr DWORD ES_MULTILINE = 0x0004;
constexpr DWORD ES_AUTOHSCROLL = 0x0080;
constexpr DWORD ES_READONLY = 0x0800;
constexpr DWORD CBS_TYPEMASK = 0x0003;
constexpr DWORD CBS_SIMPLE = 0x0001;
constexpr DWORD CBS_DROPDOWN = 0x0002;
constexpr DWORD CBS_DROPDOWNLIST = 0x0003;
constexpr DWORD CBS_SORT = 0x0100;
constexpr DWORD LVS_TYPEMASK = 0x0003;
constexpr DWORD LVS_REPORT = 0x0001;
constexpr DWORD LVS_SINGLESEL = 0x0004;
// List view extended styles, and what its column and item calls take.
constexpr DWORD LVS_EX_TRACKSELECT = 0x0008;     // a row under a resting pointer is selected
constexpr DWORD LVS_EX_HEADERDRAGDROP = 0x0010;  // columns can be dragged into another order
constexpr DWORD LVS_EX_FULLROWSELECT = 0x0020;   // the whole row is highlighted
constexpr DWORD LVS_EX_ONECLICKACTIVATE = 0x0040;
constexpr DWORD LVS_EX_FLATSB = 0x0100;
constexpr DWORD LVS_EX_INFOTIP = 0x0400;  // a cut-off cell shows its text as a tooltip
constexpr int LVCFMT_LEFT = 0;
constexpr int LVNI_SELECTED = 0x0002;

// Standard ids: the edit commands of menus, the dialog buttons, and the id
// every static text may share.
constexpr UINT ID_EDIT_CLEAR = 0xE120;
constexpr UINT ID_EDIT_COPY = 0xE122;
constexpr UINT ID_EDIT_CUT = 0xE123;
constexpr UINT ID_EDIT_PASTE = 0xE125;
constexpr UINT ID_EDIT_SELECT_ALL = 0xE12A;
constexpr UINT ID_EDIT_UNDO = 0xE12B;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDC_STATIC = -1;
