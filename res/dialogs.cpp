// Dialog templates 102 (main dialog) and 100 (About box). Positions and sizes are
// dialog units; styles are the Windows bit values the builder decodes
// (platform/ui/templates.h names them). Controls are listed in template
// order, which is also the tab order.
#include <array>
#include <string_view>

#include "res/resinit.h"
#include "res/resource.h"
#include "res/restypes.h"
#include "res/version.h"

namespace {

// IDD_MONITOR_DIALOG (102): an extended template, language 2052.
constexpr std::array<ControlTemplate, 14> kMonitorControls{{
    // WS_CHILD | WS_VISIBLE | BS_GROUPBOX
    {IDC_CONTROL_GROUP, "BUTTON", "control", 1, 3, 116, 149, 0x50000007, 0},
    // WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_SORT
    {IDC_BIND_IP, "COMBOBOX", "", 42, 20, 71, 52, 0x50210103, 0},
    // WS_CHILD | WS_VISIBLE | WS_GROUP | SS_RIGHT
    {IDC_STATIC, "STATIC", "bind ip", 8, 21, 31, 8, 0x50020002, 0},
    // WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON
    {IDC_LIST_IP, "BUTTON", "list", 82, 34, 31, 16, 0x50010000, 0},
    {IDC_STATIC, "BUTTON", "Protocol", 9, 51, 102, 67, 0x50000007, 0},
    {IDC_START, "BUTTON", "&start", 11, 126, 27, 17, 0x50010000, 0},
    {IDC_STOP, "BUTTON", "s&top", 40, 126, 27, 17, 0x50010000, 0},
    // WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL; WS_EX_STATICEDGE
    {IDC_PACKET_LIST, "SysListView32", "List1", 123, 8, 309, 144, 0x50010005, 0x00020000},
    {IDC_CLEAR, "BUTTON", "&cls", 75, 126, 27, 17, 0x50010000, 0},
    // WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOHSCROLL
    // | ES_READONLY; WS_EX_STATICEDGE
    {IDC_HEX_VIEW, "EDIT", "", 1, 156, 431, 127, 0x50210884, 0x00020000},
    // as 1011 without WS_VISIBLE
    {IDC_HIDDEN_EDIT, "EDIT", "", 155, 251, 11, 12, 0x40210884, 0x00020000},
    // WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX
    {IDC_TCP, "BUTTON", "TCP", 27, 68, 74, 10, 0x50010003, 0},
    {IDC_UDP, "BUTTON", "UDP", 27, 84, 74, 10, 0x50010003, 0},
    {IDC_ICMP, "BUTTON", "ICMP", 27, 101, 74, 10, 0x50010003, 0},
}};

// IDD_ABOUT_DIALOG (100): a standard template, language 2052.
constexpr std::array<ControlTemplate, 6> kAboutControls{{
    // WS_CHILD | WS_VISIBLE | SS_ICON
    {IDC_STATIC, "STATIC", "#128", 4, 4, 20, 20, 0x50000003, 0},
    // WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX
    {IDC_STATIC, "STATIC", "Tessaly 2.0", 40, 10, 119, 8, 0x50020080, 0},
    // WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON
    {IDOK, "BUTTON", "OK", 178, 74, 50, 14, 0x50030001, 0},
    // WS_CHILD | WS_VISIBLE | SS_BLACKFRAME | SS_SUNKEN: a horizontal separator line
    {IDC_STATIC, "STATIC", "", 4, 65, 224, 1, 0x50001007, 0},
    // WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT
    {IDC_STATIC, "STATIC", "Author:", 40, 35, 30, 8, 0x50020000, 0},
    // WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, no border
    {IDC_AUTHOR_EDIT, "EDIT", "", 75, 35, 147, 12, 0x50010880, 0},
}};

// The caption names the product's web address, which the About box shows too.
constexpr char kMonitorCaption[] = "Tessaly on http://tessaly.example.org/";
static_assert(std::string_view(kMonitorCaption).substr(11) == kProductWebAddress);

constexpr std::array<DialogTemplate, 2> kDialogs{{
    // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT;
    // WS_EX_APPWINDOW
    {IDD_MONITOR_DIALOG, kMonitorCaption, 0, 0, 434, 285, 0x90CA0040, 0x00040000, 9,
     "宋体", kMonitorControls},
    // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
    {IDD_ABOUT_DIALOG, "关于 Morvane", 0, 0, 235, 93, 0x80C800C0, 0, 9, "宋体",
     kAboutControls},
}};

// Every user of a dialog template also needs the icons behind it, so pulling this
// file in from a static library pulls in the Qt resources as well.
const bool g_bResourcesReady = (InitResources(), true);

}  // namespace

const DialogTemplate* FindDialogTemplate(UINT nID) {
  for (const DialogTemplate& tmpl : kDialogs) {
    if (tmpl.nID == nID) return &tmpl;
  }
  return nullptr;
}
