#include "app/aboutdlg.h"

#include "res/resource.h"
#include "res/restypes.h"
#include "res/version.h"

CAboutDlg::CAboutDlg() : CDialog(FindDialogTemplate(IDD_ABOUT_DIALOG), nullptr) {
  m_strAuthor = QString::fromUtf8(kProductWebAddress);
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Text(pDX, IDC_AUTHOR_EDIT, m_strAuthor);
}
