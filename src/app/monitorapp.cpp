#include "app/monitorapp.h"

#include "app/monitordlg.h"
#include "platform/sockstartup.h"
#include "platform/ui/dialog.h"
#include "platform/ui/messagebox.h"
#include "res/resource.h"
#include "res/restypes.h"

CMonitorApp theApp;

CMonitorApp::CMonitorApp() = default;
CMonitorApp::~CMonitorApp() = default;

BOOL AfxSocketInit() {
  return WSAStartup(0x0101) == 0 ? TRUE : FALSE;
}

BOOL CMonitorApp::InitInstance() {
  if (!AfxSocketInit()) {
    const char* pszText = FindStringResource(IDS_SOCKET_INIT_FAILED);
    AfxMessageBox(QString::fromUtf8(pszText ? pszText : ""), MB_OK);
    return FALSE;
  }
  // The framework's control-container and 3-D control start-up have nothing to
  // do here: no template hosts an OLE control, and Qt draws every control itself.
  CMonitorDlg dlg;
  m_pMainWnd = &dlg;
  AfxSetMainWnd(&dlg);
  dlg.DoModal();
  AfxSetMainWnd(nullptr);
  m_pMainWnd = nullptr;
  return FALSE;
}
