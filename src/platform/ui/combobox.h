#pragma once
// A drop-down list with the Windows combo box's operations. With CBS_SORT in its
// style, AddString inserts each entry in text order (case-insensitive, as the
// combo box compares its items): "192.168.1.10" sorts before "192.168.1.2".
// Adding entries never selects one; only SetCurSel does.
#include <QtWidgets/QComboBox>

#include "platform/wintypes.h"

constexpr int CB_ERR = -1;

// The index at which a sorted list inserts strNew: after every entry that sorts
// before or equal to it. Pure, for tests.
int SortedInsertIndex(const QStringList& entries, const QString& strNew);

class CComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit CComboBox(QWidget* pParent = nullptr);

  // Takes CBS_SORT from a template control's style.
  void SetWindowStyle(DWORD dwStyle);
  BOOL IsSorted() const { return m_bSort; }

  // Index of the new entry.
  int AddString(const QString& strText);
  // Entries left, or CB_ERR when nIndex names no entry.
  int DeleteString(int nIndex);
  void ResetContent();
  int GetCount() const;
  // CB_ERR when nothing is selected.
  int GetCurSel() const;
  // nIndex, or CB_ERR (and no selection) when nIndex names no entry.
  int SetCurSel(int nIndex);
  // CB_ERR when nIndex names no entry; else the text's length.
  int GetLBText(int nIndex, QString& strText) const;

  // Where the closed box draws its current text, and the font it draws it in:
  // its own, narrowed just enough that the whole text fits beside the arrow (a
  // clipped address reads as another address).
  QRect LabelRect() const;
  QFont LabelFont() const;

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  BOOL m_bSort = FALSE;
};
