#pragma once
// A dialog made from a template of res/, with the Windows dialog manager's
// behaviour that the system relies on:
//  - DoModal builds the controls, runs OnInitDialog (which exchanges data in the
//    load direction) and runs the dialog modally; Create does the same without
//    the modal loop and shows the dialog. A template at (0, 0) opens centred:
//    over its owner, or on the screen when it has none.
//  - OnInitDialog returning TRUE puts the focus on the first control that has
//    WS_TABSTOP, is visible and enabled.
//  - Buttons and check boxes report BN_CLICKED through OnCommand(id); IDOK goes
//    to OnOK and IDCANCEL to OnCancel.
//  - Enter presses the focused push button; elsewhere it presses the template's
//    default push button, or sends IDOK when there is none. Escape, the close
//    button, Alt+F4 and the system menu's Close all send IDCANCEL. A control
//    that wants those keys (the hex view) keeps them by accepting the event.
//  - The dialog's own system menu (CSystemMenu) opens with Alt+Space and with a
//    right click on the background; its commands reach OnSysCommand.
//  - A left double-click that reaches the background (or a control that lets
//    mouse input through: group boxes, static texts, disabled controls) reaches
//    OnLButtonDblClk.
#include <QtWidgets/QDialog>
#include <concepts>
#include <functional>
#include <memory>

#include "platform/ui/dialogtemplate.h"
#include "platform/ui/systemmenu.h"
#include "platform/wintypes.h"

class QLineEdit;
class CDialog;

using INT_PTR = std::intptr_t;

// The application's main window, the owner of dialogs opened without a parent
// (CWinApp::m_pMainWnd).
QWidget* AfxGetMainWnd();
void AfxSetMainWnd(QWidget* pWnd);

class CDataExchange {
 public:
  CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate)
      : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

class CDialog : public QDialog {
  Q_OBJECT

 public:
  // pTemplate comes from FindDialogTemplate; null makes DoModal fail with -1.
  explicit CDialog(const DialogTemplate* pTemplate, QWidget* pParent = nullptr);
  ~CDialog() override;

  // IDOK, IDCANCEL or the EndDialog value; -1 when the template is missing.
  INT_PTR DoModal();
  // Builds, initialises and shows the dialog without a modal loop. FALSE when the
  // template is missing or the dialog was built before.
  BOOL Create();
  void EndDialog(int nResult);

  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
  QWidget* GetDlgItem(int nID) const;
  // Null when the template has no WS_SYSMENU. bRevert TRUE restores the
  // standard items (and returns null, as Windows does).
  CSystemMenu* GetSystemMenu(BOOL bRevert);

  virtual BOOL OnInitDialog();
  virtual void DoDataExchange(CDataExchange* pDX);
  virtual void OnOK();
  virtual void OnCancel();
  // BN_CLICKED of a template button; TRUE when handled.
  virtual BOOL OnCommand(UINT nID);
  virtual void OnSysCommand(UINT nID, LPARAM lParam);
  virtual void OnLButtonDblClk(UINT nFlags, POINT point);

  // Default processing of a system command: minimise, restore, close.
  void DefSysCommand(UINT nID);
  // Whether a client point is the dialog's background for mouse input: no
  // control there, or only controls that let mouse input through.
  BOOL IsBackgroundPoint(const QPoint& ptClient) const;
  // Opens the system menu at a global point.
  void TrackSystemMenu(const QPoint& ptGlobal);
  // Centres the window, frame included, over its owner, or on the available
  // area of its screen when it has none. Until the window system reports the
  // frame, it is taken to be that of another shown window (one window manager
  // draws them all), or none; a dialog that opens centred is centred again
  // when its first exposure shows a different frame.
  void CenterWindow();
  const DialogTemplate* GetTemplate() const { return m_pTemplate; }
  BOOL IsBuilt() const { return m_bBuilt; }

  // While set, DoModal builds and initialises the dialog, then calls the hook
  // instead of running the modal loop, and returns what it returns. Empty
  // restores modal dialogs.
  static void SetModalHookForTesting(std::function<INT_PTR(CDialog&)> hook);

 protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
  void contextMenuEvent(QContextMenuEvent* pEvent) override;
  void showEvent(QShowEvent* pEvent) override;
  // Sees the window's mouse input before Qt drops what a disabled control gets.
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 public:
  // QDialog's own accept and reject (the close button and Alt+F4 reject) land on
  // the dialog's OK and Cancel handlers.
  void accept() override;
  void reject() override;

 private:
  BOOL BuildAndInit();
  void SetInitialFocus();

  const DialogTemplate* m_pTemplate;
  std::unique_ptr<CSystemMenu> m_pSysMenu;
  BOOL m_bBuilt = FALSE;
  BOOL m_bCenterPending = FALSE;  // opened centred; not yet shown with its real frame
  QMargins m_frameAssumed;        // the frame the last centring reckoned with
};

// Data exchange helpers (the load direction sets the control from the member,
// the save direction reads it back).
// Check box state 0, 1 or 2; a value outside that range loads as 0.
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
void DDX_Text(CDataExchange* pDX, int nIDC, QString& value);

// Binds rControl to template control nIDC the first time: rControl takes the
// control's place (ReplaceDlgItem) and, if it has SetWindowStyle(DWORD), the
// template's style. Later exchanges do nothing.
template <class T>
void DDX_Control(CDataExchange* pDX, int nIDC, T& rControl) {
  QWidget* pDlg = pDX->m_pDlgWnd;
  if (GetDlgItem(pDlg, nIDC) == &rControl) return;
  const ControlTemplate* pCtl = GetControlTemplate(GetDlgItem(pDlg, nIDC));
  if (!pCtl) return;
  const DWORD dwStyle = pCtl->dwStyle;
  if (!ReplaceDlgItem(pDlg, nIDC, &rControl)) return;
  if constexpr (requires { rControl.SetWindowStyle(dwStyle); }) {
    rControl.SetWindowStyle(dwStyle);
  }
}
