#pragma once
// The packet list: a report-style list of PacketRecords, newest first. The list
// owns each record from its insertion until it is cleared (DeleteAllItems frees
// every record with its block). Rows are drawn from the records on demand, so an
// insert costs one model row, whatever the rate at which records arrive.
#include <QtCore/QAbstractTableModel>
#include <QtCore/QSize>
#include <QtCore/QTimer>
#include <QtWidgets/QTreeView>
#include <deque>
#include <span>
#include <vector>

#include "capture/packetrecord.h"
#include "platform/wintypes.h"

// List view extended styles (Windows values).
constexpr DWORD LVS_EX_TRACKSELECT = 0x0008;     // a row under a resting pointer is selected
constexpr DWORD LVS_EX_HEADERDRAGDROP = 0x0010;  // columns can be dragged into another order
constexpr DWORD LVS_EX_FULLROWSELECT = 0x0020;   // the whole row is highlighted
constexpr DWORD LVS_EX_ONECLICKACTIVATE = 0x0040;
constexpr DWORD LVS_EX_FLATSB = 0x0100;
constexpr DWORD LVS_EX_INFOTIP = 0x0400;         // a cut-off cell shows its text as a tooltip
constexpr int LVCFMT_LEFT = 0;
constexpr int LVNI_SELECTED = 0x0002;

// The text of sub-item nSubItem of a record's row: 0 protocol, 1 size, 2 source
// address, 3 source port, 4 destination address, 5 destination port, 6 the
// payload block read as text up to its first zero byte (at most the block's
// 1500 bytes). Texts are decoded with the locale's 8-bit codec (PayloadText for
// the payload); control characters are shown as U+00B7 so that a row never
// breaks onto several lines. Out-of-range sub-items and a null block give empty
// text. With nMaxChars >= 0 the payload's text stops after that many UTF-16
// units (the start of the whole text: painting a cell needs no more than it
// can show).
QString PacketCellText(const PacketRecord& rec, int nSubItem, qsizetype nMaxChars = -1);
// The payload as text: the locale's (UTF-8) reading when every byte of it is
// valid there, else each byte as its Latin-1 character, so that a text in an
// 8-bit code page shows its letters instead of replacement characters. With
// nMaxChars >= 0, only the first nMaxChars UTF-16 units of that text.
QString PayloadText(const char* pText, qsizetype nLength, qsizetype nMaxChars = -1);
// Replaces every control character (C0, DEL, C1) and line or paragraph separator
// with U+00B7; other characters are kept.
QString DisplayableText(const QString& strText);

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
  // Frees every record, first row to last, and removes all rows.
  void DeleteAllRecords();
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
  QSize m_rowSizeHint;
  std::vector<QString> m_headings;
  std::deque<PacketRecord*> m_rows;
};

class CPacketList : public QTreeView {
  Q_OBJECT

 public:
  explicit CPacketList(QWidget* pParent = nullptr);
  ~CPacketList() override;

  // The template control's style: LVS_SINGLESEL, LVS_REPORT, WS_TABSTOP.
  void SetWindowStyle(DWORD dwStyle);
  // Replaces all extended styles; returns the previous ones.
  DWORD SetExtendedStyle(DWORD dwExStyle);
  DWORD GetExtendedStyle() const { return m_dwExStyle; }

  // Inserts a report column of nWidthPx pixels before column nCol; returns its index.
  int InsertColumn(int nCol, const QString& strHeading, int nFormat, int nWidthPx);
  int GetColumnWidth(int nCol) const;

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
  // How long the pointer must rest before TrackSelectAt runs (Windows' default
  // mouse hover time is 400 ms).
  void SetHoverTime(int nMs);

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
