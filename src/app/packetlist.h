#pragma once
// The packet list: a report-style list of PacketRecords, newest first. The list
// owns each record from its insertion until it is cleared (DeleteAllItems frees
// every record with its block). Its rows live in a CPacketListModel, and a
// CCellDelegate paints their cells.
//
// Arriving records are gathered and shown together at a reader's pace: at most
// once every kPaintPaceMs while they keep coming, at once after a quiet spell
// that long. Each showing is one model change, so the view lays its rows out
// once per paint. Input (clicks, keys, hover, scrolling, resizing) is painted
// as usual; it never waits for the pace.
#include <QtCore/QTimer>
#include <QtWidgets/QTreeView>
#include <functional>
#include <optional>

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

  // The rows shown (gathered records not yet shown are not counted).
  int GetItemCount() const;
  // The list takes ownership of pRecord as its new row 0, shown at once.
  void InsertRecord(PacketRecord* pRecord);
  // The list takes ownership of pRecord; it is shown as the new row 0 (above
  // those gathered before it) when ShowGathered next shows what was gathered.
  void GatherRecord(PacketRecord* pRecord);
  // The list is to be emptied before the records gathered from now on are
  // shown; records gathered before are freed now, never shown. The rows shown
  // stay until then.
  void GatherClear();
  // The row count once everything gathered is shown.
  int GetListedCount() const { return m_pModel->GetListedCount(); }
  // Shows what was gathered now if nothing was shown for kPaintPaceMs, else
  // when that time is up.
  void ShowGathered();
  // The clock the pace reads, in ms; a steady clock unless a test sets one.
  void SetPaceClockForTesting(std::function<qint64()> clock);
  static constexpr int kPaintPaceMs = 100;

  PacketRecord* GetItemData(int nItem) const;
  // With LVNI_SELECTED: the first selected row after nItem (-1 searches from the
  // top); -1 when there is none.
  int GetNextItem(int nItem, int nFlags) const;
  // Frees every record, gathered ones too, and empties the list at once.
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
  // Applies the gathered change to the model. Scrolled away from the newest
  // rows, the rows in view (a selected one among them) stay where they are.
  void ApplyGathered(qint64 nNowMs);
  // After emptying the list: the rows that come next show from the top.
  void ScrollToTopNow();
  // Every row is one line of text in the list's font, so its height is known
  // without laying out its texts, which the view would otherwise redo for the
  // top row on every change (and the payload may be 1499 characters long).
  void UpdateRowSizeHint();

  CPacketListModel* m_pModel;  // a child of the view
  DWORD m_dwExStyle = 0;
  QTimer m_hoverTimer;
  QPoint m_ptHover;
  QTimer m_paintPace;                   // runs while gathered records wait for their time
  std::function<qint64()> m_paceClock;
  std::optional<qint64> m_nLastShownMs;  // when gathered records were last shown
};
