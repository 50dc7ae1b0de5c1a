#pragma once
// The packet list: a report-style list of PacketRecords, newest first. The list
// owns each record from its insertion until it is cleared (DeleteAllItems frees
// every record with its block). Its rows live in a CPacketListModel, and a
// CCellDelegate paints their cells.
#include <QtCore/QTimer>
#include <QtWidgets/QTreeView>
#include <span>

#include "app/packetlistmodel.h"
#include "capture/packetrecord.h"
#include "platform/ui/templates.h"
#include "platform/wintypes.h"

class CPacketList : public QTreeView {
  Q_OBJECT

 public:
  explicit CPacketList(QWidget* pParent = nullptr);
  ~CPacketList() override;

  // The template control's style: LVS_SINGLESEL, LVS_REPORT, WS_TABSTOP.
  void SetWindowStyle(DWORD dwStyle);
  // Replaces all extended styles; returns the previous ones.
  DWORD SetExtendedStyle(DWORD dwExStyle);

  // Inserts a report column of nWidthPx pixels before column nCol; returns its index.
  int InsertColumn(int nCol, const QString& strHeading, int nFormat, int nWidthPx);

  int GetItemCount() const;
  // The list takes ownership of pRecord as its new row 0.
  void InsertRecord(PacketRecord* pRecord);
  // The list takes ownership of the records, given oldest first, as new top
  // rows, the last one on top, in one model change.
  void InsertRecords(std::span<PacketRecord* const> records);
  PacketRecord* GetItemData(int nItem) const;
  // With LVNI_SELECTED: the first selected row after nItem (-1 searches from the
  // top); -1 when there is none.
  int GetNextItem(int nItem, int nFlags) const;
  // Frees every record and empties the list.
  void DeleteAllItems();

  CPacketListModel* Model() const { return m_pModel; }

  // The full text of the cell at a viewport point when it does not fit its
  // column (the tooltip LVS_EX_INFOTIP shows); empty when it fits or no cell is there.
  QString CellToolTip(const QPoint& ptViewport) const;
  // LVS_EX_TRACKSELECT: selects the row at a viewport point (the pointer came
  // to rest there), without scrolling the list. Nothing happens off the rows or
  // without the style.
  void TrackSelectAt(const QPoint& ptViewport);

 signals:
  // NM_CLICK: a left click anywhere in the list's rows area.
  void clickedList();
  // LVN_ITEMCHANGED: the selection changed.
  void itemChangedList();

 protected:
  bool viewportEvent(QEvent* pEvent) override;
  void changeEvent(QEvent* pEvent) override;
  // Fitting a column to its contents measures the texts after all.
  int sizeHintForColumn(int nCol) const override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  // With no row selected, Down selects the newest row.
  void keyPressEvent(QKeyEvent* pEvent) override;

 private:
  // Holds back the rows' repaints, if the list changed less than
  // kPaintPaceMs ago, until that time is up.
  void PaceRepaint();
  // Every row is one line of text in the list's font, so its height is known
  // without laying out its texts, which the view would otherwise redo for the
  // top row on every change (and the payload may be 1499 characters long).
  void UpdateRowSizeHint();
  static constexpr int kPaintPaceMs = 16;  // about a display frame

  CPacketListModel* m_pModel;  // a child of the view
  DWORD m_dwExStyle = 0;
  QTimer m_hoverTimer;
  QPoint m_ptHover;
  QTimer m_paintPace;
};
