#include "app/packetlist.h"

#include <QtGui/QHelpEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolTip>

#include "app/packetcelldelegate.h"
#include "platform/ui/dialogtemplate.h"

namespace {

// A tooltip for a long payload is wrapped into lines of this many characters.
constexpr int kToolTipLineChars = 80;

QString WrapForToolTip(const QString& strText) {
  if (strText.size() <= kToolTipLineChars) return strText;
  QString strWrapped;
  for (qsizetype i = 0; i < strText.size(); i += kToolTipLineChars) {
    if (i) strWrapped += u'\n';
    strWrapped += strText.mid(i, kToolTipLineChars);
  }
  return strWrapped;
}

}  // namespace

CPacketList::CPacketList(QWidget* pParent)
    : QTreeView(pParent), m_pModel(new CPacketListModel(this)) {
  setModel(m_pModel);
  setItemDelegate(new CCellDelegate(this));
  UpdateRowSizeHint();
  m_paintPace.setSingleShot(true);
  m_paintPace.setInterval(kPaintPaceMs);
  connect(&m_paintPace, &QTimer::timeout, this, [this] {
    if (updatesEnabled()) return;  // nothing held back: the pace ends
    setUpdatesEnabled(true);        // paints what was held back, and holds the next frame's changes
    m_paintPace.start();
  });
  // A flat report list: no tree decoration, every row one line high (which also
  // keeps layout cheap while rows arrive fast), columns only as wide as set.
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setIndentation(0);
  setWordWrap(false);
  setTextElideMode(Qt::ElideRight);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(QHeaderView::Interactive);
  header()->setMinimumSectionSize(8);
  header()->setSectionsMovable(false);
  // Qt also reports rows inserted above a selected row as a selection change
  // with nothing selected or deselected; the selected record is then still the
  // same, and reloading it would reset the hex view under the user's hands.
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this](const QItemSelection& selected, const QItemSelection& deselected) {
            if (!selected.isEmpty() || !deselected.isEmpty()) emit itemChangedList();
          });
  m_hoverTimer.setSingleShot(true);
  m_hoverTimer.setInterval(400);  // Windows' default mouse hover time
  connect(&m_hoverTimer, &QTimer::timeout, this, [this] { TrackSelectAt(m_ptHover); });
}

CPacketList::~CPacketList() = default;

void CPacketList::SetWindowStyle(DWORD dwStyle) { ApplyListViewStyle(this, dwStyle); }

DWORD CPacketList::SetExtendedStyle(DWORD dwExStyle) {
  const DWORD dwOld = m_dwExStyle;
  m_dwExStyle = dwExStyle;
  const bool bFullRow = dwExStyle & LVS_EX_FULLROWSELECT;
  setSelectionBehavior(bFullRow ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
  setAllColumnsShowFocus(bFullRow);
  header()->setSectionsMovable(dwExStyle & LVS_EX_HEADERDRAGDROP);
  const bool bTrack = dwExStyle & LVS_EX_TRACKSELECT;
  setMouseTracking(bTrack);
  if (!bTrack) m_hoverTimer.stop();
  return dwOld;
}

int CPacketList::InsertColumn(int nCol, const QString& strHeading, int /*nFormat: left only*/,
                              int nWidthPx) {
  const int nAt = m_pModel->InsertColumn(nCol, strHeading);
  header()->resizeSection(nAt, nWidthPx);
  return nAt;
}

int CPacketList::GetItemCount() const {
  return m_pModel->GetCount();
}

void CPacketList::InsertRecord(PacketRecord* pRecord) {
  PaceRepaint();
  m_pModel->InsertRecordAtTop(pRecord);
}

void CPacketList::InsertRecords(std::span<PacketRecord* const> records) {
  PaceRepaint();
  m_pModel->InsertRecordsAtTop(records);
}

void CPacketList::PaceRepaint() {
  // A change after a quiet spell is painted at once; under a flood the list
  // changes on every turn of the event loop, and is painted once a frame
  // instead of once a turn.
  if (m_paintPace.isActive())
    setUpdatesEnabled(false);
  else
    m_paintPace.start();
}

PacketRecord* CPacketList::GetItemData(int nItem) const {
  return m_pModel->GetRecord(nItem);
}

int CPacketList::GetNextItem(int nItem, int nFlags) const {
  if (!(nFlags & LVNI_SELECTED)) return -1;
  const QModelIndexList rows = selectionModel()->selectedRows();
  int nBest = -1;
  for (const QModelIndex& index : rows) {
    if (index.row() > nItem && (nBest < 0 || index.row() < nBest)) nBest = index.row();
  }
  if (nBest >= 0) return nBest;
  // Without full-row selection a selected row shows up as selected cells.
  for (const QModelIndex& index : selectionModel()->selectedIndexes()) {
    if (index.row() > nItem && (nBest < 0 || index.row() < nBest)) nBest = index.row();
  }
  return nBest;
}

void CPacketList::DeleteAllItems() {
  PaceRepaint();
  m_pModel->DeleteAllRecords();
}

QString CPacketList::CellToolTip(const QPoint& ptViewport) const {
  const QModelIndex index = indexAt(ptViewport);
  if (!index.isValid()) return QString();
  const QString strText = index.data(Qt::DisplayRole).toString();
  if (CCellDelegate::TextFits(strText, visualRect(index), *this)) return QString();
  return strText;
}

void CPacketList::TrackSelectAt(const QPoint& ptViewport) {
  if (!(m_dwExStyle & LVS_EX_TRACKSELECT)) return;
  const QModelIndex index = indexAt(ptViewport);
  if (!index.isValid()) return;
  if (selectionModel()->isRowSelected(index.row(), QModelIndex())) return;
  // The row is under the pointer already; scrolling to the hovered cell would
  // slide the list sideways (or the row away) under a pointer that only rested.
  const bool bAutoScroll = hasAutoScroll();
  setAutoScroll(false);
  selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  setAutoScroll(bAutoScroll);
}

void CPacketList::UpdateRowSizeHint() {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.features |= QStyleOptionViewItem::HasDisplay;
  option.text = QStringLiteral("0");
  const QSize size = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
  m_pModel->SetRowSizeHint(QSize(0, size.height()));
}

void CPacketList::changeEvent(QEvent* pEvent) {
  QTreeView::changeEvent(pEvent);
  if (pEvent->type() == QEvent::FontChange || pEvent->type() == QEvent::StyleChange) UpdateRowSizeHint();
}

int CPacketList::sizeHintForColumn(int nCol) const {
  const QSize rowSize = m_pModel->RowSizeHint();
  m_pModel->SetRowSizeHint(QSize());
  const int cxPx = QTreeView::sizeHintForColumn(nCol);
  m_pModel->SetRowSizeHint(rowSize);
  return cxPx;
}

bool CPacketList::viewportEvent(QEvent* pEvent) {
  switch (pEvent->type()) {
    case QEvent::ToolTip: {
      auto* pHelp = static_cast<QHelpEvent*>(pEvent);
      const QString strTip = (m_dwExStyle & LVS_EX_INFOTIP) ? CellToolTip(pHelp->pos()) : QString();
      if (strTip.isEmpty()) {
        QToolTip::hideText();
      } else {
        QToolTip::showText(pHelp->globalPos(), WrapForToolTip(strTip), viewport(),
                           visualRect(indexAt(pHelp->pos())));
      }
      return true;
    }
    case QEvent::Leave:
      m_hoverTimer.stop();
      break;
    default:
      break;
  }
  return QTreeView::viewportEvent(pEvent);
}

void CPacketList::mouseMoveEvent(QMouseEvent* pEvent) {
  QTreeView::mouseMoveEvent(pEvent);
  if ((m_dwExStyle & LVS_EX_TRACKSELECT) && pEvent->buttons() == Qt::NoButton) {
    m_ptHover = pEvent->position().toPoint();
    m_hoverTimer.start();
  }
}

void CPacketList::mouseReleaseEvent(QMouseEvent* pEvent) {
  QTreeView::mouseReleaseEvent(pEvent);
  if (pEvent->button() == Qt::LeftButton) emit clickedList();
}

void CPacketList::keyPressEvent(QKeyEvent* pEvent) {
  // Tabbing in marks row 0 current without selecting it, and Down would then
  // select row 1: with nothing selected, Down takes the newest row first.
  const bool bPlainDown =
      pEvent->key() == Qt::Key_Down && (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  if (bPlainDown && !selectionModel()->hasSelection() && m_pModel->GetCount() > 0) {
    const QModelIndex newest = m_pModel->index(0, 0);
    setCurrentIndex(newest);
    scrollTo(newest);
    pEvent->accept();
    return;
  }
  QTreeView::keyPressEvent(pEvent);
}
