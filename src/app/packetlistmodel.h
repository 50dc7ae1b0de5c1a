#pragma once
// The packet list's rows: one PacketRecord a row, newest first, owned from its
// insertion until it is removed. A row's texts are read from its record when
// asked for (PacketCellText), so an insert costs one model row, whatever the
// rate at which records arrive.
//
// Records that arrive between two paints of the list are gathered first: the
// model owns them from GatherRecord on, and they become rows together, with
// the clear the list's size rule gathered before them, in ApplyGathered. Every
// record is owned either as a row or as a gathered record, never both, and is
// freed exactly once: when its row is removed, when a gathered clear makes it
// one that would never be seen, or with the model.
#include <QtCore/QAbstractTableModel>
#include <QtCore/QSize>
#include <deque>
#include <span>
#include <vector>

#include "capture/packetrecord.h"

class CPacketListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int RecordRole = Qt::UserRole;  // the row's PacketRecord* as quintptr

  explicit CPacketListModel(QObject* pParent = nullptr);
  ~CPacketListModel() override;  // frees the records still listed

  // Inserts a column with its heading before column nCol (clamped to the end).
  // Returns the new column's index.
  int InsertColumn(int nCol, const QString& strHeading);
  // Takes ownership of pRecord as the new row 0.
  void InsertRecordAtTop(PacketRecord* pRecord);
  // Takes ownership of the records, given oldest first, as new rows 0..n-1
  // (the last one on top): one model change however many there are.
  void InsertRecordsAtTop(std::span<PacketRecord* const> records);
  // Frees every record, first row to last, and removes all rows; gathered
  // records are freed too, and a gathered clear is dropped.
  void DeleteAllRecords();

  // Takes ownership of pRecord; it becomes the new row 0 at ApplyGathered,
  // above the records gathered before it.
  void GatherRecord(PacketRecord* pRecord);
  // The list is to be emptied before the records gathered from now on become
  // rows. Those gathered so far would never be seen: they are freed now.
  void GatherClear();
  bool HasGathered() const { return m_bGatheredClear || !m_gathered.empty(); }
  bool GatheredClear() const { return m_bGatheredClear; }
  // The row count once the gathered change is applied.
  int GetListedCount() const;
  // The gathered change as one removal and one insert: the rows the clear
  // frees (first to last), then the gathered records as new top rows. Returns
  // how many rows went in.
  int ApplyGathered();
  // The record of row nRow; null when there is no such row.
  PacketRecord* GetRecord(int nRow) const;
  int GetCount() const { return static_cast<int>(m_rows.size()); }
  // The size every row reports as its Qt::SizeHintRole; an invalid size lets
  // the view measure each cell's text.
  void SetRowSizeHint(const QSize& size) { m_rowSizeHint = size; }
  QSize RowSizeHint() const { return m_rowSizeHint; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int nSection, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  void RemoveAllRows();  // frees each row's record, first to last

  QSize m_rowSizeHint;
  std::vector<QString> m_headings;
  std::deque<PacketRecord*> m_rows;
  bool m_bGatheredClear = false;
  std::vector<PacketRecord*> m_gathered;  // oldest first; owned
};
