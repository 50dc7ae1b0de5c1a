#pragma once
// The application message box: the warning (exclamation) icon, an OK button, the
// application title as caption, owned by the active dialog (none before the
// first dialog exists). Modal; returns the button pressed (IDOK).
//
// Tests see the boxes without a modal loop through SetMessageBoxHookForTesting:
// while a hook is set, every box is handed to it instead of being shown, and its
// return value is the box's result.
#include <QtCore/QString>
#include <functional>

#include "platform/wintypes.h"

class QWidget;

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;

// The application title: the executable's name without its extension, which is
// what QCoreApplication::applicationName() holds unless a program changes it.
QString AfxGetAppTitle();

// The owner a box gets: the active modal dialog, else the active window, else
// none.
QWidget* AfxGetMessageBoxOwner();

struct MessageBoxCall {
  QWidget* pOwner = nullptr;
  QString strCaption;
  QString strText;
  UINT nType = MB_OK;
};
using MessageBoxHook = std::function<int(const MessageBoxCall&)>;

// An empty hook shows real boxes again.
void SetMessageBoxHookForTesting(MessageBoxHook hook);

int AfxMessageBox(const QString& strText, UINT nType = MB_OK);
