#pragma once
// Lookups of the resource tables in res/: menus, dialog templates and strings.
// The shapes they return are the platform's (platform/ui/templates.h), which
// builds menus and dialogs from them. Texts are UTF-8.
#include "platform/ui/templates.h"
#include "platform/wintypes.h"

// Each returns null when the table has no such resource.
const MenuTemplate* FindMenuTemplate(UINT nID);
const DialogTemplate* FindDialogTemplate(UINT nID);
const char* FindStringResource(UINT nID);
