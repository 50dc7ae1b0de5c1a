#include "platform/ui/combobox.h"

#include <algorithm>

#include "platform/ui/templates.h"

int SortedInsertIndex(const QStringList& entries, const QString& strNew) {
  const auto it = std::upper_bound(entries.begin(), entries.end(), strNew,
                                   [](const QString& a, const QString& b) {
                                     return QString::compare(a, b, Qt::CaseInsensitive) < 0;
                                   });
  return static_cast<int>(it - entries.begin());
}

CComboBox::CComboBox(QWidget* pParent) : QComboBox(pParent) {}

void CComboBox::SetWindowStyle(DWORD dwStyle) {
  m_bSort = (dwStyle & CBS_SORT) ? TRUE : FALSE;
}

int CComboBox::AddString(const QString& strText) {
  int nIndex = count();
  if (m_bSort) {
    QStringList entries;
    entries.reserve(count());
    for (int i = 0; i < count(); ++i) entries << itemText(i);
    nIndex = SortedInsertIndex(entries, strText);
  }
  const int nSel = currentIndex();
  insertItem(nIndex, strText);
  // QComboBox selects the first entry put into an empty box; a Windows combo
  // box keeps "no selection" until told otherwise.
  if (nSel < 0) setCurrentIndex(-1);
  return nIndex;
}

int CComboBox::DeleteString(int nIndex) {
  if (nIndex < 0 || nIndex >= count()) return CB_ERR;
  removeItem(nIndex);
  return count();
}

void CComboBox::ResetContent() {
  clear();
}

int CComboBox::GetCount() const {
  return count();
}

int CComboBox::GetCurSel() const {
  const int nSel = currentIndex();
  return nSel < 0 ? CB_ERR : nSel;
}

int CComboBox::SetCurSel(int nIndex) {
  if (nIndex < 0 || nIndex >= count()) {
    setCurrentIndex(-1);
    return CB_ERR;
  }
  setCurrentIndex(nIndex);
  return nIndex;
}

int CComboBox::GetLBText(int nIndex, QString& strText) const {
  if (nIndex < 0 || nIndex >= count()) return CB_ERR;
  strText = itemText(nIndex);
  return static_cast<int>(strText.size());
}
