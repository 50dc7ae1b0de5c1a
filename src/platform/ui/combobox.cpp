#include "platform/ui/combobox.h"

#include <QtGui/QFontMetrics>
#include <QtWidgets/QStyleOptionComboBox>
#include <QtWidgets/QStylePainter>
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

QRect CComboBox::LabelRect() const {
  QStyleOptionComboBox opt;
  initStyleOption(&opt);
  // The styles draw the label one pixel inside the edit field on each side.
  return style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this).adjusted(1, 0, -1, 0);
}

QFont CComboBox::LabelFont() const {
  QFont font = this->font();
  const QString strText = currentText();
  const int cxRoomPx = LabelRect().width();
  int cxTextPx = QFontMetrics(font).horizontalAdvance(strText);
  if (cxTextPx <= cxRoomPx || cxTextPx == 0) return font;
  // Narrower letters of the same height; the font engine rounds a stretch, so
  // step on down until the text fits, but never below half width.
  constexpr int kMinStretch = 50;
  for (int nStretch = std::max(kMinStretch, 100 * cxRoomPx / cxTextPx); cxTextPx > cxRoomPx && nStretch >= kMinStretch;
       --nStretch) {
    font.setStretch(nStretch);
    cxTextPx = QFontMetrics(font).horizontalAdvance(strText);
  }
  return font;
}

void CComboBox::paintEvent(QPaintEvent*) {
  // As QComboBox paints a closed list, with the label in LabelFont.
  QStylePainter painter(this);
  painter.setPen(palette().color(QPalette::Text));
  QStyleOptionComboBox opt;
  initStyleOption(&opt);
  painter.drawComplexControl(QStyle::CC_ComboBox, opt);
  painter.setFont(LabelFont());
  painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
}
