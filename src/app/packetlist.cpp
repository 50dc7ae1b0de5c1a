#include "app/packetlist.h"

#include <QtGui/QHelpEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolTip>
#include <chrono>
#include <utility>

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
  m_paintPace.setTimerType(Qt::PreciseTimer);  // a coarse timer may fire early, and cost a second wake-up
  connect(&m_paintPace, &QTimer::timeout, this, &CPacketList::ShowGathered);
  SetPaceClockForTesting(nullptr);
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
  m_pModel->InsertRecordAtTop(pRecord);
}

void CPacketList::GatherRecord(PacketRecord* pRecord) {
  m_pModel->GatherRecord(pRecord);
}

void CPacketList::GatherClear() {
  m_pModel->GatherClear();
}

void CPacketList::ShowGathered() {
  if (!m_pModel->HasGathered()) return;
  // Rows arriving more often than a reader can follow are shown together, ten
  // times a second, instead of a paint of the rows every frame: a paint costs
  // a few milliseconds whatever the rate. After a quiet spell they show at once.
  const qint64 nNowMs = m_paceClock();
  const qint64 nSinceMs = m_nLastShownMs ? nNowMs - *m_nLastShownMs : kPaintPaceMs;
  if (nSinceMs >= kPaintPaceMs) {
    ApplyGathered(nNowMs);
  } else if (!m_paintPace.isActive()) {
    m_paintPace.start(static_cast<int>(kPaintPaceMs - nSinceMs));
  }
}

void CPacketList::ApplyGathered(qint64 nNowMs) {
  m_nLastShownMs = nNowMs;
  m_paintPace.stop();
  QScrollBar* pBar = verticalScrollBar();
  const int nTop = pBar->value();
  const bool bClears = m_pModel->GatheredClear();
  const int nInserted = m_pModel->ApplyGathered();
  // Scrolled away from the newest rows, the reader is reading: the rows in
  // view move down by what came in above them, and the view with them. At the
  // top the newest rows come into view. A clear starts at the top.
  if (bClears) {
    ScrollToTopNow();
  } else if (nTop > 0 && nInserted > 0) {
    executeDelayedItemsLayout();  // the scroll range must hold the new rows first
    const int nStep = verticalScrollMode() == ScrollPerItem ? 1 : rowHeight(m_pModel->index(0, 0));
    pBar->setValue(nTop + nInserted * nStep);
  }
}

void CPacketList::SetPaceClockForTesting(std::function<qint64()> clock) {
  m_paceClock = clock ? std::move(clock) : [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
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
  m_pModel->DeleteAllRecords();
  ScrollToTopNow();
}

void CPacketList::ScrollToTopNow() {
  // The view corrects its scroll position only at its next layout: rows that
  // arrive before it would otherwise show from the old position down.
  verticalScrollBar()->setValue(0);
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
