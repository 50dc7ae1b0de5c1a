#pragma once
// The About box (template 100): icon, product name, and the product's web
// address in a read-only field that can be selected and copied.
#include <QtCore/QString>

#include "platform/ui/dialog.h"

class CAboutDlg : public CDialog {
  Q_OBJECT

 public:
  CAboutDlg();
  ~CAboutDlg() override;

  void DoDataExchange(CDataExchange* pDX) override;

  QString m_strAuthor;
};
