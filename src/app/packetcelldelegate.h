#pragma once
// The packet list's cell painting, and the one place that knows where in a
// cell its text goes.
#include <QtCore/QHash>
#include <QtCore/QSize>
#include <QtGui/QFont>
#include <QtGui/QStaticText>
#include <QtWidgets/QStyledItemDelegate>
#include <utility>

// Paints a plain text cell as Qt's item painting does (the style's panel, the
// text elided at the right and laid out as the style lays it out), without
// measuring and laying out the text twice more for an icon and a check box
// that a packet row never has, and from only as much of the payload as the
// cell can show. Any other cell goes Qt's own way.
class CCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  // Whether strText, in the widget's font, is shown whole in the cell rcCell
  // (a viewport rectangle of the widget), not elided: whether it fits between
  // the margins the cell leaves on either side. In a cell narrower than its two
  // margins nothing fits, not even an empty text.
  static bool TextFits(const QString& strText, const QRect& rcCell, const QWidget& widget);

 protected:
  void initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const override;

 private:
  // Protocols, sizes, addresses and ports repeat from row to row: their texts
  // are laid out once and kept, up to kShortTexts of them, and drawn from the
  // glyphs kept. Payloads mostly differ and are laid out every time.
  static constexpr qsizetype kShortTexts = 1024;
  struct ShortText {
    QStaticText text;
    int yOffsetPx;  // from the top of the text's rectangle
  };
  void DrawShortText(QPainter* pPainter, const QStyleOptionViewItem& opt, const QRect& rcText) const;
  mutable QFont m_shortTextFont;
  mutable QHash<std::pair<QString, QSize>, ShortText> m_shortTexts;
};
