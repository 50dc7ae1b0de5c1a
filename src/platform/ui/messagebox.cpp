#include "platform/ui/messagebox.h"

#include <QtCore/QCoreApplication>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <utility>

#include "platform/ui/templates.h"

namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

}  // namespace

QString AfxGetAppTitle() {
  return QCoreApplication::applicationName();
}

QWidget* AfxGetMessageBoxOwner() {
  if (QWidget* pModal = QApplication::activeModalWidget()) return pModal;
  return QApplication::activeWindow();
}

void SetMessageBoxHookForTesting(MessageBoxHook hook) {
  Hook() = std::move(hook);
}

int AfxMessageBox(const QString& strText, UINT nType) {
  MessageBoxCall call;
  call.pOwner = AfxGetMessageBoxOwner();
  call.strCaption = AfxGetAppTitle();
  call.strText = strText;
  // The framework adds the exclamation icon when the caller asks for none.
  constexpr UINT kIconMask = 0x000000F0;
  call.nType = (nType & kIconMask) ? nType : (nType | MB_ICONEXCLAMATION);
  if (Hook()) return Hook()(call);

  QMessageBox box(QMessageBox::Warning, call.strCaption, call.strText, QMessageBox::Ok,
                  call.pOwner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
  return IDOK;
}
