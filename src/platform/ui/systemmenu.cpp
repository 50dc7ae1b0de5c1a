#include "platform/ui/systemmenu.h"

#include <QtGui/QAction>
#include <QtWidgets/QMenu>
#include <utility>

namespace {
constexpr char kPropCommand[] = "morvaneSysCommand";
}

CSystemMenu::CSystemMenu(QWidget* pOwner, CommandHandler onCommand)
    : m_pMenu(std::make_unique<QMenu>(pOwner)), m_onCommand(std::move(onCommand)) {
  AppendMenu(MF_STRING, SC_MINIMIZE, QStringLiteral("Mi&nimize"));
  AppendMenu(MF_SEPARATOR);
  AppendMenu(MF_STRING, SC_CLOSE, QStringLiteral("&Close\tAlt+F4"));
}

CSystemMenu::~CSystemMenu() = default;

BOOL CSystemMenu::AppendMenu(UINT nFlags, UINT nIDNewItem, const QString& strNewItem) {
  if (nFlags & MF_SEPARATOR) {
    m_pMenu->addSeparator();
    return TRUE;
  }
  QAction* pAction = m_pMenu->addAction(strNewItem);
  pAction->setProperty(kPropCommand, nIDNewItem);
  return TRUE;
}

int CSystemMenu::GetMenuItemCount() const {
  return static_cast<int>(m_pMenu->actions().size());
}

UINT CSystemMenu::GetMenuItemID(int nPos) const {
  const QList<QAction*> actions = m_pMenu->actions();
  if (nPos < 0 || nPos >= actions.size()) return static_cast<UINT>(-1);
  if (actions[nPos]->isSeparator()) return 0;
  return actions[nPos]->property(kPropCommand).toUInt();
}

QString CSystemMenu::GetMenuString(int nPos) const {
  const QList<QAction*> actions = m_pMenu->actions();
  if (nPos < 0 || nPos >= actions.size() || actions[nPos]->isSeparator()) return QString();
  return actions[nPos]->text();
}

void CSystemMenu::TrackAt(const QPoint& ptGlobal) {
  // The command is delivered after the popup has closed, so that a handler that
  // opens a modal dialog or closes the owner does so outside the popup's loop.
  QAction* pChosen = m_pMenu->exec(ptGlobal);
  if (pChosen && !pChosen->isSeparator()) Invoke(pChosen->property(kPropCommand).toUInt());
}

void CSystemMenu::Invoke(UINT nID) {
  if (m_onCommand) m_onCommand(nID);
}
