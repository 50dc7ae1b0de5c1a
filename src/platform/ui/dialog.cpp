#include "platform/ui/dialog.h"

#include <QtCore/QPointer>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QShortcut>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <algorithm>
#include <utility>

#include "platform/ui/keys.h"
#include "platform/ui/templates.h"

namespace {

QPointer<QWidget>& MainWnd() {
  static QPointer<QWidget> pMainWnd;
  return pMainWnd;
}

std::function<INT_PTR(CDialog&)>& ModalHook() {
  static std::function<INT_PTR(CDialog&)> hook;
  return hook;
}

}  // namespace

QWidget* AfxGetMainWnd() {
  return MainWnd().data();
}

void AfxSetMainWnd(QWidget* pWnd) {
  MainWnd() = pWnd;
}

void CDialog::SetModalHookForTesting(std::function<INT_PTR(CDialog&)> hook) {
  ModalHook() = std::move(hook);
}

CDialog::CDialog(const DialogTemplate* pTemplate, QWidget* pParent)
    : QDialog(pParent), m_pTemplate(pTemplate) {
  auto* pShortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
  connect(pShortcut, &QShortcut::activated, this, [this] {
    // Windows drops the system menu from the window's top-left corner.
    TrackSystemMenu(mapToGlobal(QPoint(0, 0)));
  });
}

CDialog::~CDialog() = default;

BOOL CDialog::BuildAndInit() {
  if (m_bBuilt || !m_pTemplate) return FALSE;
  // A dialog opened without a parent is owned by the main window (or the active
  // window), over which it then opens centred. An application window
  // (WS_EX_APPWINDOW, the main dialog) stands on its own.
  if (!parentWidget() && !(m_pTemplate->dwExStyle & WS_EX_APPWINDOW)) {
    QWidget* pOwner = AfxGetMainWnd();
    if (!pOwner) pOwner = QApplication::activeWindow();
    if (pOwner && pOwner != this) setParent(pOwner, windowFlags());
  }
  BuildDialogFromTemplate(this, *m_pTemplate, [this](int nID) { OnCommand(static_cast<UINT>(nID)); });
  if (m_pTemplate->dwStyle & WS_SYSMENU) {
    m_pSysMenu = std::make_unique<CSystemMenu>(this, [this](UINT nID) { OnSysCommand(nID, 0); });
  }
  m_bBuilt = TRUE;
  if (OnInitDialog()) SetInitialFocus();
  // Qt's own placement guesses a 40-pixel title bar and opens the window that
  // much above the centre.
  if (m_pTemplate->x == 0 && m_pTemplate->y == 0) {
    m_bCenterPending = TRUE;
    CenterWindow();
  }
  return TRUE;
}

void CDialog::SetInitialFocus() {
  for (QWidget* pCtl : GetDlgItems(this)) {
    const bool bHidden = pCtl->isHidden() && pCtl->testAttribute(Qt::WA_WState_ExplicitShowHide);
    if ((pCtl->focusPolicy() & Qt::TabFocus) && !bHidden && pCtl->isEnabled()) {
      pCtl->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

INT_PTR CDialog::DoModal() {
  if (!BuildAndInit()) return -1;
  if (ModalHook()) {
    const INT_PTR nResult = ModalHook()(*this);
    hide();
    return nResult;
  }
  return exec();
}

BOOL CDialog::Create() {
  if (!BuildAndInit()) return FALSE;
  show();
  return TRUE;
}

void CDialog::EndDialog(int nResult) {
  QDialog::done(nResult);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange dx(this, bSaveAndValidate);
  DoDataExchange(&dx);
  return TRUE;
}

QWidget* CDialog::GetDlgItem(int nID) const {
  return ::GetDlgItem(this, nID);
}

CSystemMenu* CDialog::GetSystemMenu(BOOL bRevert) {
  if (!m_pTemplate || !(m_pTemplate->dwStyle & WS_SYSMENU)) return nullptr;
  if (bRevert) {
    m_pSysMenu = std::make_unique<CSystemMenu>(this, [this](UINT nID) { OnSysCommand(nID, 0); });
    return nullptr;
  }
  return m_pSysMenu.get();
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

BOOL CDialog::OnCommand(UINT nID) {
  if (nID == IDOK) {
    OnOK();
    return TRUE;
  }
  if (nID == IDCANCEL) {
    OnCancel();
    return TRUE;
  }
  return FALSE;
}

void CDialog::OnSysCommand(UINT nID, LPARAM) {
  DefSysCommand(nID);
}

void CDialog::OnLButtonDblClk(UINT, POINT) {}

void CDialog::DefSysCommand(UINT nID) {
  // The low four bits of a system command are the system's own.
  switch (nID & 0xFFF0) {
    case SC_CLOSE:
      close();  // closeEvent -> reject -> OnCancel
      break;
    case SC_MINIMIZE:
      showMinimized();
      break;
    case SC_MAXIMIZE:
      if (m_pTemplate && (m_pTemplate->dwStyle & WS_MAXIMIZEBOX)) showMaximized();
      break;
    case SC_RESTORE:
      showNormal();
      break;
    default:
      break;
  }
}

BOOL CDialog::IsBackgroundPoint(const QPoint& ptClient) const {
  if (!rect().contains(ptClient)) return FALSE;
  QWidget* pHit = childAt(ptClient);
  if (!pHit) return TRUE;
  // The template control that holds the hit widget.
  QWidget* pCtl = pHit;
  while (pCtl->parentWidget() && pCtl->parentWidget() != this) pCtl = pCtl->parentWidget();
  if (pCtl->parentWidget() != this) return FALSE;
  // A disabled control gets no mouse input; the dialog does.
  if (!pCtl->isEnabled()) return TRUE;
  const ControlTemplate* pTmpl = GetControlTemplate(pCtl);
  if (!pTmpl) return FALSE;
  // A widget that took a template control's place is what it is, whatever the
  // template said: only the builder's own transparent kinds let input through.
  if (!IsBuiltFromTemplate(pCtl)) return FALSE;
  return PassesMouseToDialog(ClassifyControl(*pTmpl)) ? TRUE : FALSE;
}

void CDialog::CenterWindow() {
  QMargins frame;
  if (windowHandle() && windowHandle()->handle()) frame = windowHandle()->frameMargins();
  if (frame.isNull()) {
    for (QWindow* pOther : QGuiApplication::topLevelWindows()) {
      if (pOther->isVisible() && pOther != windowHandle() && !pOther->frameMargins().isNull()) {
        frame = pOther->frameMargins();
        break;
      }
    }
  }
  m_frameAssumed = frame;
  QWidget* pOwner = parentWidget() ? parentWidget()->window() : nullptr;
  QScreen* pScreen = pOwner ? pOwner->screen() : screen();
  if (!pScreen) pScreen = QGuiApplication::primaryScreen();
  if (!pScreen) return;
  const QRect rcArea = pOwner ? pOwner->frameGeometry() : pScreen->availableGeometry();
  const QSize sizeFrame = size().grownBy(frame);
  QPoint ptFrame = rcArea.center() - QPoint(sizeFrame.width() / 2, sizeFrame.height() / 2) + QPoint(1, 1);
  // Over an owner near the edge, stay on the screen.
  const QRect rcScreen = pScreen->availableGeometry();
  ptFrame.setX(std::clamp(ptFrame.x(), rcScreen.left(), std::max(rcScreen.left(), rcScreen.right() + 1 - sizeFrame.width())));
  ptFrame.setY(std::clamp(ptFrame.y(), rcScreen.top(), std::max(rcScreen.top(), rcScreen.bottom() + 1 - sizeFrame.height())));
  move(ptFrame);  // a window's position is that of its frame
}

void CDialog::TrackSystemMenu(const QPoint& ptGlobal) {
  if (m_pSysMenu) m_pSysMenu->TrackAt(ptGlobal);
}

void CDialog::keyPressEvent(QKeyEvent* pEvent) {
  const Qt::KeyboardModifiers mods = pEvent->modifiers() & ~Qt::KeypadModifier;
  if (mods == Qt::NoModifier &&
      (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter)) {
    pEvent->accept();
    if (auto* pButton = qobject_cast<QPushButton*>(focusWidget());
        pButton && isAncestorOf(pButton)) {
      if (pButton->isEnabled()) pButton->click();
      return;
    }
    for (QWidget* pCtl : GetDlgItems(this)) {
      auto* pButton = qobject_cast<QPushButton*>(pCtl);
      if (pButton && pButton->isDefault() && !pButton->isHidden()) {
        if (pButton->isEnabled()) pButton->click();
        return;
      }
    }
    OnCommand(IDOK);
    return;
  }
  if (mods == Qt::NoModifier && pEvent->key() == Qt::Key_Escape) {
    pEvent->accept();
    OnCommand(IDCANCEL);
    return;
  }
  QDialog::keyPressEvent(pEvent);
}

void CDialog::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  const QPoint pt = pEvent->position().toPoint();
  if (pEvent->button() == Qt::LeftButton && IsBackgroundPoint(pt)) {
    pEvent->accept();
    OnLButtonDblClk(MouseFlags(*pEvent), POINT{pt.x(), pt.y()});
    return;
  }
  QDialog::mouseDoubleClickEvent(pEvent);
}

void CDialog::contextMenuEvent(QContextMenuEvent* pEvent) {
  if (m_pSysMenu && pEvent->reason() == QContextMenuEvent::Mouse && IsBackgroundPoint(pEvent->pos())) {
    pEvent->accept();
    TrackSystemMenu(pEvent->globalPos());
    return;
  }
  QDialog::contextMenuEvent(pEvent);
}

void CDialog::showEvent(QShowEvent* pEvent) {
  // The native window exists once the dialog is shown; installing again is harmless.
  if (QWindow* pWindow = windowHandle()) pWindow->installEventFilter(this);
  QDialog::showEvent(pEvent);
  if (m_bCenterPending && windowHandle() && windowHandle()->frameMargins() != m_frameAssumed) CenterWindow();
}

bool CDialog::eventFilter(QObject* pWatched, QEvent* pEvent) {
  // The first exposure comes after the window manager has framed the window.
  if (pWatched == windowHandle() && pEvent->type() == QEvent::Expose && m_bCenterPending && isVisible()) {
    m_bCenterPending = FALSE;
    if (windowHandle()->frameMargins() != m_frameAssumed) CenterWindow();
  }
  // On Windows a disabled control gets no mouse input and its dialog gets the
  // double-click instead; Qt delivers it to the disabled widget, which drops it.
  if (pWatched == windowHandle() && pEvent->type() == QEvent::MouseButtonDblClick) {
    auto* pMouse = static_cast<QMouseEvent*>(pEvent);
    const QPoint pt = pMouse->position().toPoint();
    QWidget* pHit = childAt(pt);
    if (pMouse->button() == Qt::LeftButton && pHit && !pHit->isEnabled() && IsBackgroundPoint(pt)) {
      OnLButtonDblClk(MouseFlags(*pMouse), POINT{pt.x(), pt.y()});
      return true;
    }
  }
  return QDialog::eventFilter(pWatched, pEvent);
}

void CDialog::accept() {
  OnOK();
}

void CDialog::reject() {
  OnCancel();
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
  auto* pButton = qobject_cast<QAbstractButton*>(pDX->m_pDlgWnd->GetDlgItem(nIDC));
  if (!pButton) return;
  auto* pCheck = qobject_cast<QCheckBox*>(pButton);
  if (pDX->m_bSaveAndValidate) {
    // BST_CHECKED is 1 and BST_INDETERMINATE 2 (Qt numbers them the other way).
    if (!pCheck) value = pButton->isChecked() ? 1 : 0;
    else if (pCheck->checkState() == Qt::Checked) value = 1;
    else value = pCheck->checkState() == Qt::PartiallyChecked ? 2 : 0;
    return;
  }
  if (value < 0 || value > 2) value = 0;
  if (pCheck) {
    pCheck->setCheckState(value == 1 ? Qt::Checked : (value == 2 ? Qt::PartiallyChecked : Qt::Unchecked));
  } else {
    pButton->setChecked(value == 1);
  }
}

void DDX_Text(CDataExchange* pDX, int nIDC, QString& value) {
  QWidget* pCtl = pDX->m_pDlgWnd->GetDlgItem(nIDC);
  if (auto* pEdit = qobject_cast<QLineEdit*>(pCtl)) {
    if (pDX->m_bSaveAndValidate) value = pEdit->text();
    else pEdit->setText(value);
  } else if (auto* pText = qobject_cast<QPlainTextEdit*>(pCtl)) {
    if (pDX->m_bSaveAndValidate) value = pText->toPlainText();
    else pText->setPlainText(value);
  }
}
