#pragma once
// This program's resource and command identifiers. The standard ones (IDOK,
// IDCANCEL, IDC_STATIC, the edit commands) are the platform's: platform/ui/templates.h.
#include "platform/wintypes.h"

constexpr UINT IDD_ABOUT_DIALOG = 100;
constexpr UINT IDS_ABOUT_MENU_ITEM = 101;
constexpr UINT IDD_MONITOR_DIALOG = 102;
constexpr UINT IDS_SOCKET_INIT_FAILED = 103;
constexpr UINT IDR_MAIN_ICON = 128;
constexpr UINT IDR_HEXVIEW_POPUP = 129;

// Main dialog controls.
constexpr int IDC_BIND_IP = 1000;
constexpr int IDC_LIST_IP = 1001;
constexpr int IDC_START = 1005;
constexpr int IDC_STOP = 1006;
constexpr int IDC_PACKET_LIST = 1007;
constexpr int IDC_CLEAR = 1008;
constexpr int IDC_CONTROL_GROUP = 1009;
constexpr int IDC_HEX_VIEW = 1011;
constexpr int IDC_HIDDEN_EDIT = 1012;
constexpr int IDC_TCP = 1013;
constexpr int IDC_UDP = 1014;
constexpr int IDC_ICMP = 1015;
// About box controls.
constexpr int IDC_AUTHOR_EDIT = 1014;

// System menu command of the About item.
constexpr UINT IDM_ABOUT_BOX = 0x0010;
