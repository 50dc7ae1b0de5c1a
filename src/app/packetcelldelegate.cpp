#include "app/packetcelldelegate.h"

#include <QtCore/QtMath>
#include <QtGui/QPainter>
#include <QtGui/QTextLayout>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyle>
#include <algorithm>

#include "app/packetcells.h"
#include "app/packetlistmodel.h"

namespace {

constexpr int kPayloadColumn = 6;

// The part of a cell its text is laid out in: Qt's item painting leaves a
// margin of PM_FocusFrameHMargin + 1 on either side.
QRect CellTextRect(const QRect& rcCell, const QStyle* pStyle, const QWidget* pWidget) {
  const int nMarginPx = pStyle->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, pWidget) + 1;
  return rcCell.adjusted(nMarginPx, 0, -nMarginPx, 0);
}

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

QTextOption CellTextOption(const QStyleOptionViewItem& opt) {
  QTextOption textOption;
  textOption.setWrapMode(QTextOption::ManualWrap);
  textOption.setTextDirection(opt.direction);
  textOption.setAlignment(QStyle::visualAlignment(opt.direction, opt.displayAlignment));
  return textOption;
}

QTextLine LayOutOneLine(QTextLayout& layout, int cxLinePx) {
  layout.beginLayout();
  QTextLine line = layout.createLine();
  line.setLineWidth(cxLinePx);
  line.setPosition(QPointF(0, 0));
  layout.endLayout();
  return line;
}

// Lays out the text as the cell shows it, elided at the right as Qt's item
// painting elides it, and returns the height by which Qt places it: Qt lays
// the whole text out, and the line's height depends on the fonts it needs.
int LayOutShownText(const QStyleOptionViewItem& opt, int cxTextPx, QTextLayout* pLayout) {
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

QPoint ShownTextOrigin(const QStyleOptionViewItem& opt, const QRect& rcText, int cyLinePx) {
  const QRect rcLines = QStyle::alignedRect(opt.direction, opt.displayAlignment & Qt::AlignVertical_Mask,
                                            QSize(rcText.width(), cyLinePx), rcText);
  return QPoint(rcText.x(), rcLines.y());
}

void DrawText(QPainter* pPainter, const QStyleOptionViewItem& opt, const QRect& rcText) {
  QTextLayout layout;
  const int cyLinePx = LayOutShownText(opt, rcText.width(), &layout);
  layout.draw(pPainter, ShownTextOrigin(opt, rcText, cyLinePx));
}

}  // namespace

void CCellDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
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
    const QRect rcText = CellTextRect(opt.rect, pStyle, pWidget);
    if (index.column() < kPayloadColumn)
      DrawShortText(pPainter, opt, rcText);
    else
      DrawText(pPainter, opt, rcText);
  }
  pPainter->restore();
}

bool CCellDelegate::TextFits(const QString& strText, const QRect& rcCell, const QWidget& widget) {
  return widget.fontMetrics().horizontalAdvance(strText) <= CellTextRect(rcCell, widget.style(), &widget).width();
}

void CCellDelegate::initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(pOption, index);
  pOption->text.truncate(CellTextKeep(pOption->text, pOption->rect.width()));
}

void CCellDelegate::DrawShortText(QPainter* pPainter, const QStyleOptionViewItem& opt, const QRect& rcText) const {
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
