#include "app/packetlistmodel.h"

#include <algorithm>
#include <utility>

#include "app/packetcells.h"

CPacketListModel::CPacketListModel(QObject* pParent) : QAbstractTableModel(pParent) {}

CPacketListModel::~CPacketListModel() {
  for (PacketRecord* pRecord : m_rows) DeletePacketRecord(pRecord);
  for (PacketRecord* pRecord : m_gathered) DeletePacketRecord(pRecord);
}

int CPacketListModel::InsertColumn(int nCol, const QString& strHeading) {
  const int nAt = std::clamp(nCol, 0, static_cast<int>(m_headings.size()));
  beginInsertColumns(QModelIndex(), nAt, nAt);
  m_headings.insert(m_headings.begin() + nAt, strHeading);
  endInsertColumns();
  return nAt;
}

void CPacketListModel::InsertRecordAtTop(PacketRecord* pRecord) {
  InsertRecordsAtTop(std::span<PacketRecord* const>(&pRecord, 1));
}

void CPacketListModel::InsertRecordsAtTop(std::span<PacketRecord* const> records) {
  if (records.empty()) return;
  // Qt's last row is inclusive.
  beginInsertRows(QModelIndex(), 0, static_cast<int>(records.size()) - 1);
  for (PacketRecord* pRecord : records) m_rows.push_front(pRecord);
  endInsertRows();
}

void CPacketListModel::DeleteAllRecords() {
  for (PacketRecord* pRecord : m_gathered) DeletePacketRecord(pRecord);
  m_gathered.clear();
  m_bGatheredClear = false;
  RemoveAllRows();
}

void CPacketListModel::RemoveAllRows() {
  if (m_rows.empty()) return;
  // Rows removed, not a model reset: a reset makes the view and its header
  // start over (the header measures its texts again), and under a flood the
  // list is emptied at most of its paints.
  beginRemoveRows(QModelIndex(), 0, GetCount() - 1);
  for (PacketRecord* pRecord : m_rows) DeletePacketRecord(pRecord);
  m_rows.clear();
  endRemoveRows();
}

void CPacketListModel::GatherRecord(PacketRecord* pRecord) {
  m_gathered.push_back(pRecord);
}

void CPacketListModel::GatherClear() {
  for (PacketRecord* pRecord : m_gathered) DeletePacketRecord(pRecord);
  m_gathered.clear();
  m_bGatheredClear = true;
}

int CPacketListModel::GetListedCount() const {
  return (m_bGatheredClear ? 0 : GetCount()) + static_cast<int>(m_gathered.size());
}

int CPacketListModel::ApplyGathered() {
  if (std::exchange(m_bGatheredClear, false)) RemoveAllRows();
  const int nInserted = static_cast<int>(m_gathered.size());
  InsertRecordsAtTop(m_gathered);
  m_gathered.clear();
  return nInserted;
}

PacketRecord* CPacketListModel::GetRecord(int nRow) const {
  if (nRow < 0 || nRow >= GetCount()) return nullptr;
  return m_rows[static_cast<std::size_t>(nRow)];
}

int CPacketListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : GetCount();
}

int CPacketListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_headings.size());
}

QVariant CPacketListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return QVariant();
  }
  const PacketRecord* pRecord = m_rows[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) return pRecord ? PacketCellText(*pRecord, index.column()) : QString();
  if (role == RecordRole) return QVariant::fromValue(reinterpret_cast<quintptr>(pRecord));
  if (role == Qt::SizeHintRole && m_rowSizeHint.isValid()) return m_rowSizeHint;
  return QVariant();
}

QVariant CPacketListModel::headerData(int nSection, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return QVariant();
  if (nSection < 0 || nSection >= static_cast<int>(m_headings.size())) return QVariant();
  return m_headings[static_cast<std::size_t>(nSection)];
}
