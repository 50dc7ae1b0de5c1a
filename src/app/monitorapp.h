#pragma once
// The application object: starts the socket library, runs the main dialog
// modally and lets the process end when it closes.
#include "platform/wintypes.h"

class QWidget;

class CMonitorApp {
 public:
  CMonitorApp();
  ~CMonitorApp();
  CMonitorApp(const CMonitorApp&) = delete;
  CMonitorApp& operator=(const CMonitorApp&) = delete;

  // Socket start-up check (message 103 and FALSE on failure), then the main
  // dialog run modally. Always FALSE: there is no message loop of our own.
  BOOL InitInstance();

  // The main window while the dialog runs (the framework's m_pMainWnd).
  QWidget* m_pMainWnd = nullptr;
};

extern CMonitorApp theApp;

// AfxSocketInit: the socket library is usable at version 1.1.
BOOL AfxSocketInit();
