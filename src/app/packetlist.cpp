#include "app/packetlist.h"

#include <QtCore/QHash>
#include <QtCore/QStringDecoder>
#include <QtCore/QtMath>
#include <QtGui/QHelpEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QStaticText>
#include <QtGui/QTextLayout>
#include <QtWidgets/QApplication>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyledItemDelegate>
#include <QtWidgets/QToolTip>
#include <algorithm>
#include <cstring>

namespace {

constexpr QChar kControlMark(0x00B7);  // MIDDLE DOT
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

QString DisplayableText(const QString& strText) {
  QString strOut = strText;
  for (QChar& ch : strOut) {
    const QChar::Category cat = ch.category();
    if (cat == QChar::Other_Control || cat == QChar::Separator_Line ||
        cat == QChar::Separator_Paragraph) {
      ch = kControlMark;
    }
  }
  return strOut;
}

QString PayloadText(const char* pText, qsizetype nLength, qsizetype nMaxChars) {
  QByteArrayView bytes(pText, nLength);
  // Every byte gives at most one unit, and no character takes more than four
  // bytes (a surrogate pair too); which reading applies still depends on all
  // of the bytes.
  const bool bCut = nMaxChars >= 0 && nMaxChars < nLength;
  if (bCut) {
    if (!bytes.isValidUtf8()) return QString::fromLatin1(pText, nMaxChars);
    bytes.truncate(std::min(nLength, 4 * nMaxChars));
  }
  QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
  QString strText = decoder.decode(bytes);
  if (!bCut) return decoder.hasError() ? QString::fromLatin1(pText, nLength) : strText;
  strText.truncate(nMaxChars);  // a sequence the cut split is past this point
  return strText;
}

QString PacketCellText(const PacketRecord& rec, int nSubItem, qsizetype nMaxChars) {
  switch (nSubItem) {
    case 0: return DisplayableText(QString::fromLocal8Bit(rec.strProt));
    case 1: return QString::number(rec.wSize);
    case 2: return DisplayableText(QString::fromLocal8Bit(rec.strSrcAddr));
    case 3: return QString::number(rec.nSrcPort);
    case 4: return DisplayableText(QString::fromLocal8Bit(rec.strDesAddr));
    case 5: return QString::number(rec.nDesPort);
    case 6: {
      if (!rec.pData) return QString();
      // The block is zero-terminated text, but never read past its 1500 bytes.
      const char* psz = reinterpret_cast<const char*>(rec.pData);
      const std::size_t nLen = strnlen(psz, PACKET_BUFFER_SIZE);
      return DisplayableText(PayloadText(psz, static_cast<qsizetype>(nLen), nMaxChars));
    }
    default: return QString();
  }
}

// ---------------------------------------------------------------------------

CPacketListModel::CPacketListModel(QObject* pParent) : QAbstractTableModel(pParent) {}

CPacketListModel::~CPacketListModel() {
  for (PacketRecord* pRecord : m_rows) DeletePacketRecord(pRecord);
}

int CPacketListModel::InsertColumn(int nCol, const QString& strHeading) {
  const int nAt = std::clamp(nCol, 0, static_cast<int>(m_headings.size()));
  beginInsertColumns(QModelIndex(), nAt, nAt);
  m_headings.insert(m_headings.begin() + nAt, strHeading);
  endInsertColumns();
  return nAt;
}

void CPacketListModel::InsertRecordAtTop(PacketRecord* pRecord) {
  beginInsertRows(QModelIndex(), 0, 0);
  m_rows.push_front(pRecord);
  endInsertRows();
}

void CPacketListModel::InsertRecordsAtTop(std::span<PacketRecord* const> records) {
  if (records.empty()) return;
  // Qt's last row is inclusive.
  beginInsertRows(QModelIndex(), 0, static_cast<int>(records.size()) - 1);
  for (PacketRecord* pRecord : records) m_rows.push_front(pRecord);
  endInsertRows();
}

void CPacketListModel::DeleteAllRecords() {
  if (m_rows.empty()) return;
  // Rows removed, not a model reset: a reset makes the view and its header
  // start over (the header measures its texts again), and under a flood the
  // list is emptied on most turns of the event loop.
  beginRemoveRows(QModelIndex(), 0, GetCount() - 1);
  for (PacketRecord* pRecord : m_rows) DeletePacketRecord(pRecord);
  m_rows.clear();
  endRemoveRows();
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

// ---------------------------------------------------------------------------

namespace {

// Keeps no more of a cell's text than the cell can show: eliding shapes the
// whole text, and a payload may be 1499 characters long. Every character shown
// is at least a pixel wide (control characters are shown as U+00B7), so a text
// cut to one character more than the cell's width in pixels still overflows
// the cell and is elided at the same place.
qsizetype CellTextKeep(const QString& strText, int cxCellPx) {
  qsizetype nKeep = static_cast<qsizetype>(cxCellPx) + 1;
  if (cxCellPx <= 0 || strText.size() <= nKeep) return strText.size();
  if (strText.at(nKeep - 1).isHighSurrogate()) --nKeep;
  return nKeep;
}

// Paints a plain text cell as Qt's item painting does (the style's panel, the
// text elided at the right and laid out as the style lays it out), without
// measuring and laying out the text twice more for an icon and a check box
// that a packet row never has, and from only as much of the payload as the
// cell can show. Any other cell goes Qt's own way.
class CCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const auto* pRecord =
        reinterpret_cast<const PacketRecord*>(index.data(CPacketListModel::RecordRole).value<quintptr>());
    constexpr QStyle::State kOdd = QStyle::State_HasFocus | QStyle::State_Editing;
    if (pRecord == nullptr || !option.showDecorationSelected || (option.state & kOdd) ||
        option.direction != Qt::LeftToRight || option.textElideMode != Qt::ElideRight) {
      QStyledItemDelegate::paint(pPainter, option, index);
      return;
    }
    QStyleOptionViewItem opt = option;
    opt.index = index;
    opt.features |= QStyleOptionViewItem::HasDisplay;
    // One unit more than the cut keeps, so that the cut sees a pair split at its end.
    opt.text = PacketCellText(*pRecord, index.column(), static_cast<qsizetype>(opt.rect.width()) + 2);
    opt.text.truncate(CellTextKeep(opt.text, opt.rect.width()));
    const QWidget* pWidget = opt.widget;
    const QStyle* pStyle = pWidget ? pWidget->style() : QApplication::style();
    pPainter->save();
    pPainter->setClipRect(opt.rect);
    pStyle->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, pPainter, pWidget);
    if (!opt.text.isEmpty()) {
      QPalette::ColorGroup cg = (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
      if (cg == QPalette::Normal && !(opt.state & QStyle::State_Active)) cg = QPalette::Inactive;
      pPainter->setPen(
          opt.palette.color(cg, (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text));
      const int nMarginPx = pStyle->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, pWidget) + 1;
      const QRect rcText = opt.rect.adjusted(nMarginPx, 0, -nMarginPx, 0);
      if (index.column() < kPayloadColumn)
        DrawShortText(pPainter, opt, rcText);
      else
        DrawText(pPainter, opt, rcText);
    }
    pPainter->restore();
  }

 protected:
  void initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(pOption, index);
    pOption->text.truncate(CellTextKeep(pOption->text, pOption->rect.width()));
  }

 private:
  static constexpr int kPayloadColumn = 6;
  // Protocols, sizes, addresses and ports repeat from row to row: their texts
  // are laid out once and kept, up to kShortTexts of them, and drawn from the
  // glyphs kept. Payloads mostly differ and are laid out every time.
  static constexpr qsizetype kShortTexts = 1024;
  struct ShortText {
    QStaticText text;
    int yOffsetPx;  // from the top of the text's rectangle
  };
  void DrawShortText(QPainter* pPainter, const QStyleOptionViewItem& opt, const QRect& rcText) const {
    if (opt.font != m_shortTextFont || m_shortTexts.size() >= kShortTexts) {
      m_shortTexts.clear();
      m_shortTextFont = opt.font;
    }
    const auto key = std::make_pair(opt.text, rcText.size());
    auto it = m_shortTexts.find(key);
    if (it == m_shortTexts.end()) {
      QTextLayout layout;
      const int cyLinePx = LayOutShownText(opt, rcText.width(), &layout);
      QStaticText text(layout.text());
      text.setTextFormat(Qt::PlainText);
      text.setTextOption(CellTextOption(opt));
      it = m_shortTexts.insert(key, ShortText{text, ShownTextOrigin(opt, rcText, cyLinePx).y() - rcText.y()});
    }
    pPainter->setFont(opt.font);
    pPainter->drawStaticText(rcText.x(), rcText.y() + it->yOffsetPx, it->text);
  }
  mutable QFont m_shortTextFont;
  mutable QHash<std::pair<QString, QSize>, ShortText> m_shortTexts;

  // Lays out the text as the cell shows it, elided at the right as Qt's item
  // painting elides it, and returns the height by which Qt places it: Qt lays
  // the whole text out, and the line's height depends on the fonts it needs.
  static int LayOutShownText(const QStyleOptionViewItem& opt, int cxTextPx, QTextLayout* pLayout) {
    const QFontMetrics& fm = opt.fontMetrics;
    pLayout->setFont(opt.font);
    pLayout->setTextOption(CellTextOption(opt));
    const bool bOwnFont = std::all_of(opt.text.cbegin(), opt.text.cend(), [&fm](QChar ch) {
      return (ch.unicode() >= 0x20 && ch.unicode() < 0x7f) || (ch == kControlMark && fm.inFont(ch));
    });
    const qsizetype nFits = static_cast<qsizetype>(cxTextPx) / std::max(1, fm.averageCharWidth());
    const qsizetype nProbe = 2 * nFits + 2;
    int cyLinePx = 0;
    QString strShown;
    if (bOwnFont && opt.text.size() > nFits) {
      // Most likely too long for the cell. Text in the list's own font is
      // placed by that font's height, and a prefix twice as long as the cell
      // holds of average characters, once it overflows, elides to what the
      // whole text would.
      const qsizetype nFirst = std::min(nProbe, opt.text.size());
      strShown = fm.elidedText(opt.text.first(nFirst), Qt::ElideRight, cxTextPx);
      if (nFirst < opt.text.size() && strShown.size() == nFirst)  // the prefix fits: the whole decides
        strShown = fm.elidedText(opt.text, Qt::ElideRight, cxTextPx);
      const QFontMetricsF fmLine(opt.font);
      cyLinePx = qCeil(fmLine.ascent() + fmLine.descent());
    } else {
      pLayout->setText(opt.text);
      const QTextLine line = LayOutOneLine(*pLayout, cxTextPx);
      cyLinePx = qCeil(line.height());
      if (line.naturalTextWidth() <= cxTextPx) return cyLinePx;  // shown whole, as laid out
      strShown = fm.elidedText(opt.text, Qt::ElideRight, cxTextPx);
    }
    pLayout->setText(strShown);
    LayOutOneLine(*pLayout, cxTextPx);
    return cyLinePx;
  }

  static QPoint ShownTextOrigin(const QStyleOptionViewItem& opt, const QRect& rcText, int cyLinePx) {
    const QRect rcLines = QStyle::alignedRect(opt.direction, opt.displayAlignment & Qt::AlignVertical_Mask,
                                              QSize(rcText.width(), cyLinePx), rcText);
    return QPoint(rcText.x(), rcLines.y());
  }

  static void DrawText(QPainter* pPainter, const QStyleOptionViewItem& opt, const QRect& rcText) {
    QTextLayout layout;
    const int cyLinePx = LayOutShownText(opt, rcText.width(), &layout);
    layout.draw(pPainter, ShownTextOrigin(opt, rcText, cyLinePx));
  }

  static QTextOption CellTextOption(const QStyleOptionViewItem& opt) {
    QTextOption textOption;
    textOption.setWrapMode(QTextOption::ManualWrap);
    textOption.setTextDirection(opt.direction);
    textOption.setAlignment(QStyle::visualAlignment(opt.direction, opt.displayAlignment));
    return textOption;
  }

  static QTextLine LayOutOneLine(QTextLayout& layout, int cxLinePx) {
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(cxLinePx);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
    return line;
  }
};

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
  m_hoverTimer.setInterval(400);
  connect(&m_hoverTimer, &QTimer::timeout, this, [this] { TrackSelectAt(m_ptHover); });
}

CPacketList::~CPacketList() = default;

void CPacketList::SetWindowStyle(DWORD dwStyle) {
  constexpr DWORD kLvsTypeMask = 0x0003;
  constexpr DWORD kLvsReport = 0x0001;
  constexpr DWORD kLvsSingleSel = 0x0004;
  setSelectionMode((dwStyle & kLvsSingleSel) ? QAbstractItemView::SingleSelection
                                             : QAbstractItemView::ExtendedSelection);
  header()->setVisible((dwStyle & kLvsTypeMask) == kLvsReport);
}

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

int CPacketList::GetColumnWidth(int nCol) const {
  return header()->sectionSize(nCol);
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
  // The item delegate leaves a margin of PM_FocusFrameHMargin + 1 on either side.
  const int nMarginPx = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
  const int cxAvailablePx = visualRect(index).width() - 2 * nMarginPx;
  if (fontMetrics().horizontalAdvance(strText) <= cxAvailablePx) return QString();
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

void CPacketList::SetHoverTime(int nMs) {
  m_hoverTimer.setInterval(nMs);
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
