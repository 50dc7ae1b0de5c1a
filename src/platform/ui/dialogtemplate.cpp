#include "platform/ui/dialogtemplate.h"

#include <QtCore/QDir>
#include <QtCore/QVariant>
#include <QtGui/QFontMetrics>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QTreeView>
#include <QtWidgets/QWidget>
#include <algorithm>
#include <cstdint>
#include <strings.h>

#include <vector>

#include "platform/ui/combobox.h"

namespace {

// Dynamic properties a template control carries.
constexpr char kPropId[] = "morvaneCtlId";
constexpr char kPropIndex[] = "morvaneCtlIndex";
constexpr char kPropTemplate[] = "morvaneCtlTemplate";
constexpr char kPropBuilt[] = "morvaneCtlBuilt";

// Icon images live under ":/icons/<id>/" (res/morvane.qrc).
constexpr char kIconRoot[] = ":/icons/";

// SM_CXICON / SM_CYICON: the size an SS_ICON static takes, whatever the template says.
constexpr int kIconPx = 32;

bool HasMnemonic(const QString& strText) {
  for (qsizetype i = 0; i + 1 < strText.size(); ++i) {
    if (strText[i] != u'&') continue;
    if (strText[i + 1] != u'&') return true;
    ++i;  // "&&" is a literal ampersand
  }
  return false;
}

void SetFramed(QFrame* pFrame, DWORD dwStyle, DWORD dwExStyle) {
  const bool bEdge = (dwStyle & WS_BORDER) || (dwExStyle & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
  pFrame->setFrameStyle(bEdge ? (QFrame::StyledPanel | QFrame::Sunken) : QFrame::NoFrame);
}

QWidget* CreateControl(const ControlTemplate& ctl, QWidget* pDlg, const QRect& rcPx,
                       const std::function<void(int)>& onCommand) {
  const QString strText = QString::fromUtf8(ctl.pszText ? ctl.pszText : "");
  const int nID = ctl.nID;
  QWidget* pWidget = nullptr;
  switch (ClassifyControl(ctl)) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
      auto* pButton = new QPushButton(strText, pDlg);
      // The dialog presses the focused button on Enter itself (CDialog), as the
      // Windows dialog manager does; Qt's own "auto default" would press a
      // button that merely had the focus once.
      pButton->setAutoDefault(false);
      pButton->setDefault(ClassifyControl(ctl) == ControlKind::DefPushButton);
      QObject::connect(pButton, &QPushButton::clicked, pDlg, [onCommand, nID] {
        if (onCommand) onCommand(nID);
      });
      pWidget = pButton;
      break;
    }
    case ControlKind::CheckBox: {
      auto* pCheck = new QCheckBox(strText, pDlg);
      const DWORD dwType = ctl.dwStyle & BS_TYPEMASK;
      pCheck->setTristate(dwType == BS_3STATE || dwType == BS_AUTO3STATE);
      QObject::connect(pCheck, &QCheckBox::clicked, pDlg, [onCommand, nID] {
        if (onCommand) onCommand(nID);
      });
      pWidget = pCheck;
      break;
    }
    case ControlKind::RadioButton: {
      auto* pRadio = new QRadioButton(strText, pDlg);
      QObject::connect(pRadio, &QRadioButton::clicked, pDlg, [onCommand, nID] {
        if (onCommand) onCommand(nID);
      });
      pWidget = pRadio;
      break;
    }
    case ControlKind::GroupBox:
      pWidget = new QGroupBox(strText, pDlg);
      break;
    case ControlKind::Label: {
      auto* pLabel = new QLabel(strText, pDlg);
      pLabel->setTextFormat(Qt::PlainText);
      // Windows statics break their text at word boundaries.
      pLabel->setWordWrap(true);
      Qt::Alignment align = Qt::AlignLeft;
      if ((ctl.dwStyle & SS_TYPEMASK) == SS_CENTER) align = Qt::AlignHCenter;
      if ((ctl.dwStyle & SS_TYPEMASK) == SS_RIGHT) align = Qt::AlignRight;
      pLabel->setAlignment(align | Qt::AlignTop);
      pWidget = pLabel;
      break;
    }
    case ControlKind::Icon: {
      auto* pLabel = new QLabel(pDlg);
      // The text names the icon resource: "#128".
      const QString strName = strText.startsWith(u'#') ? strText.mid(1) : strText;
      const QIcon icon = LoadIconResource(strName.toUInt());
      pLabel->setPixmap(icon.pixmap(kIconPx, kIconPx));
      pWidget = pLabel;
      break;
    }
    case ControlKind::Frame: {
      auto* pFrame = new QFrame(pDlg);
      const QFrame::Shadow shadow = (ctl.dwStyle & SS_SUNKEN) || (ctl.dwStyle & SS_TYPEMASK) == SS_ETCHEDHORZ
                                        ? QFrame::Sunken
                                        : QFrame::Plain;
      // A frame one or two pixels thin is drawn as the line it is meant to be.
      QFrame::Shape shape = QFrame::Box;
      if (rcPx.height() <= 3) shape = QFrame::HLine;
      else if (rcPx.width() <= 3) shape = QFrame::VLine;
      pFrame->setFrameStyle(shape | shadow);
      pWidget = pFrame;
      break;
    }
    case ControlKind::LineEdit: {
      auto* pEdit = new QLineEdit(strText, pDlg);
      pEdit->setReadOnly(ctl.dwStyle & ES_READONLY);
      pEdit->setFrame((ctl.dwStyle & WS_BORDER) ||
                      (ctl.dwExStyle & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE)));
      if (ctl.dwStyle & ES_READONLY) {
        // A read-only edit shows the dialog's face colour behind its text.
        QPalette pal = pEdit->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::Window));
        pEdit->setPalette(pal);
      }
      pWidget = pEdit;
      break;
    }
    case ControlKind::MultiLineEdit: {
      auto* pEdit = new QPlainTextEdit(strText, pDlg);
      pEdit->setReadOnly(ctl.dwStyle & ES_READONLY);
      pEdit->setVerticalScrollBarPolicy((ctl.dwStyle & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                    : Qt::ScrollBarAlwaysOff);
      pEdit->setHorizontalScrollBarPolicy((ctl.dwStyle & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                      : Qt::ScrollBarAlwaysOff);
      pEdit->setLineWrapMode((ctl.dwStyle & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                            : QPlainTextEdit::WidgetWidth);
      SetFramed(pEdit, ctl.dwStyle, ctl.dwExStyle);
      pWidget = pEdit;
      break;
    }
    case ControlKind::ComboBox: {
      auto* pCombo = new CComboBox(pDlg);
      pCombo->SetWindowStyle(ctl.dwStyle);
      pWidget = pCombo;
      break;
    }
    case ControlKind::ListView: {
      auto* pList = new QTreeView(pDlg);
      pList->setRootIsDecorated(false);
      pList->setUniformRowHeights(true);
      ApplyListViewStyle(pList, ctl.dwStyle);
      SetFramed(pList, ctl.dwStyle, ctl.dwExStyle);
      pWidget = pList;
      break;
    }
    case ControlKind::Unknown:
      pWidget = new QWidget(pDlg);
      break;
  }
  return pWidget;
}

bool IsFocusable(ControlKind kind) {
  switch (kind) {
    case ControlKind::GroupBox:
    case ControlKind::Label:
    case ControlKind::Icon:
    case ControlKind::Frame:
    case ControlKind::Unknown:
      return false;
    default:
      return true;
  }
}

void ApplyCommonStyle(QWidget* pWidget, const ControlTemplate& ctl, const QRect& rcPx) {
  const ControlKind kind = ClassifyControl(ctl);
  QRect rc = rcPx;
  if (kind == ControlKind::Icon) rc.setSize({kIconPx, kIconPx});
  if (kind == ControlKind::ComboBox) {
    // A drop-down list's template height is that of the list when dropped; the
    // closed box takes the height its font needs.
    const int cyClosedPx = pWidget->sizeHint().height();
    const int cyItemPx = std::max(1, pWidget->fontMetrics().height());
    static_cast<QComboBox*>(pWidget)->setMaxVisibleItems(
        std::max(1, (rc.height() - cyClosedPx) / cyItemPx));
    rc.setHeight(cyClosedPx);
  }
  pWidget->setGeometry(rc);
  if (!IsFocusable(kind)) {
    pWidget->setFocusPolicy(Qt::NoFocus);
  } else {
    pWidget->setFocusPolicy((ctl.dwStyle & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
  }
  if (ctl.dwStyle & WS_DISABLED) pWidget->setEnabled(false);
  // Children show with their dialog unless the template leaves them hidden.
  if (!(ctl.dwStyle & WS_VISIBLE)) pWidget->setVisible(false);
}

}  // namespace

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const std::int64_t nProduct = static_cast<std::int64_t>(a) * b;
  const std::int64_t nAbsC = c < 0 ? -static_cast<std::int64_t>(c) : c;
  const std::int64_t nAbsP = nProduct < 0 ? -nProduct : nProduct;
  std::int64_t nResult = (nAbsP + nAbsC / 2) / nAbsC;
  if ((nProduct < 0) != (c < 0)) nResult = -nResult;
  return static_cast<int>(nResult);
}

DialogBaseUnits DialogBaseUnitsFromMetrics(int nLettersAdvancePx, int nHeightPx) {
  return {(nLettersAdvancePx / 26 + 1) / 2, nHeightPx};
}

DialogBaseUnits GetDialogBaseUnits(const QFont& font) {
  const QFontMetrics fm(font);
  return DialogBaseUnitsFromMetrics(
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
      fm.height());
}

QRect MapDialogRect(const QRect& rcDlu, DialogBaseUnits units) {
  return QRect(MulDiv(rcDlu.x(), units.cxChar, 4), MulDiv(rcDlu.y(), units.cyChar, 8),
               MulDiv(rcDlu.width(), units.cxChar, 4), MulDiv(rcDlu.height(), units.cyChar, 8));
}

QFont DialogTemplateFont(const DialogTemplate& tmpl) {
  QFont font;
  QStringList families;
  if (tmpl.pszFontFace && *tmpl.pszFontFace) families << QString::fromUtf8(tmpl.pszFontFace);
  // "宋体" (SimSun) is a Windows font. Its Latin letters and digits are half-width
  // and fixed-pitch (6 pixels at 9 points), which is what the templates' sizes
  // and the list's pixel column widths were made for; the mono faces of the
  // Linux CJK fonts (fonts-wqy-zenhei, fonts-noto-cjk) have the same shape.
  families << QStringLiteral("SimSun") << QStringLiteral("WenQuanYi Zen Hei Mono")
           << QStringLiteral("Noto Sans Mono CJK SC") << QStringLiteral("WenQuanYi Zen Hei")
           << QStringLiteral("Noto Sans CJK SC");
  font.setFamilies(families);
  if (tmpl.nFontPoints > 0) font.setPointSize(tmpl.nFontPoints);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  return font;
}

ControlKind ClassifyControl(const ControlTemplate& ctl) {
  const char* pszClass = ctl.pszClass ? ctl.pszClass : "";
  auto is = [pszClass](const char* psz) { return strcasecmp(pszClass, psz) == 0; };
  if (is("BUTTON")) {
    switch (ctl.dwStyle & BS_TYPEMASK) {
      case BS_PUSHBUTTON: return ControlKind::PushButton;
      case BS_DEFPUSHBUTTON: return ControlKind::DefPushButton;
      case BS_CHECKBOX:
      case BS_AUTOCHECKBOX:
      case BS_3STATE:
      case BS_AUTO3STATE: return ControlKind::CheckBox;
      case BS_RADIOBUTTON:
      case BS_AUTORADIOBUTTON: return ControlKind::RadioButton;
      case BS_GROUPBOX: return ControlKind::GroupBox;
      default: return ControlKind::PushButton;
    }
  }
  if (is("STATIC")) {
    switch (ctl.dwStyle & SS_TYPEMASK) {
      case SS_LEFT:
      case SS_CENTER:
      case SS_RIGHT: return ControlKind::Label;
      case SS_ICON: return ControlKind::Icon;
      case SS_BLACKRECT:
      case SS_GRAYRECT:
      case SS_WHITERECT:
      case SS_BLACKFRAME:
      case SS_GRAYFRAME:
      case SS_WHITEFRAME:
      case SS_ETCHEDHORZ: return ControlKind::Frame;
      default: return ControlKind::Label;
    }
  }
  if (is("EDIT")) return (ctl.dwStyle & ES_MULTILINE) ? ControlKind::MultiLineEdit : ControlKind::LineEdit;
  if (is("COMBOBOX")) return ControlKind::ComboBox;
  if (is("SysListView32")) return ControlKind::ListView;
  return ControlKind::Unknown;
}

bool PassesMouseToDialog(ControlKind kind) {
  return kind == ControlKind::GroupBox || kind == ControlKind::Label || kind == ControlKind::Icon ||
         kind == ControlKind::Frame;
}

QIcon LoadIconResource(UINT nID) {
  QIcon icon;
  const QDir dir(QString::fromLatin1(kIconRoot) + QString::number(nID));
  for (const QString& strFile : dir.entryList(QDir::Files, QDir::Name)) {
    icon.addFile(dir.filePath(strFile));
  }
  return icon;
}

void ApplyListViewStyle(QTreeView* pList, DWORD dwStyle) {
  pList->setSelectionMode((dwStyle & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                    : QAbstractItemView::ExtendedSelection);
  pList->header()->setVisible((dwStyle & LVS_TYPEMASK) == LVS_REPORT);
}

DialogBaseUnits BuildDialogFromTemplate(QWidget* pDlg, const DialogTemplate& tmpl,
                                        std::function<void(int nID)> onCommand) {
  const QFont font = DialogTemplateFont(tmpl);
  pDlg->setFont(font);
  const DialogBaseUnits units = GetDialogBaseUnits(font);

  Qt::WindowFlags flags = (tmpl.dwExStyle & WS_EX_APPWINDOW) ? Qt::Window : Qt::Dialog;
  flags |= Qt::CustomizeWindowHint;
  if ((tmpl.dwStyle & WS_CAPTION) == WS_CAPTION) flags |= Qt::WindowTitleHint;
  if (tmpl.dwStyle & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (tmpl.dwStyle & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
  if (tmpl.dwStyle & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
  pDlg->setWindowFlags(flags);
  pDlg->setWindowTitle(QString::fromUtf8(tmpl.pszCaption ? tmpl.pszCaption : ""));
  // Dialog templates have no sizing border: the client area is fixed.
  pDlg->setFixedSize(MapDialogRect(QRect(0, 0, tmpl.cx, tmpl.cy), units).size());

  int nIndex = 0;
  std::vector<QLabel*> mnemonicLabels;
  for (const ControlTemplate& ctl : tmpl.controls) {
    const QRect rcPx = MapDialogRect(QRect(ctl.x, ctl.y, ctl.cx, ctl.cy), units);
    QWidget* pWidget = CreateControl(ctl, pDlg, rcPx, onCommand);
    pWidget->setProperty(kPropId, ctl.nID);
    pWidget->setProperty(kPropIndex, nIndex++);
    pWidget->setProperty(kPropTemplate, QVariant::fromValue(reinterpret_cast<quintptr>(&ctl)));
    pWidget->setProperty(kPropBuilt, true);
    ApplyCommonStyle(pWidget, ctl, rcPx);
    if (ClassifyControl(ctl) == ControlKind::Label && !(ctl.dwStyle & SS_NOPREFIX) &&
        HasMnemonic(QString::fromUtf8(ctl.pszText ? ctl.pszText : ""))) {
      mnemonicLabels.push_back(static_cast<QLabel*>(pWidget));
    }
  }
  // A static's mnemonic moves the focus to the next control that can take it.
  const QList<QWidget*> controls = GetDlgItems(pDlg);
  for (QLabel* pLabel : mnemonicLabels) {
    const qsizetype nAt = controls.indexOf(pLabel);
    for (qsizetype i = nAt + 1; i < controls.size(); ++i) {
      if (controls[i]->focusPolicy() & Qt::TabFocus) {
        pLabel->setBuddy(controls[i]);
        break;
      }
    }
  }
  ApplyTemplateTabOrder(pDlg);
  return units;
}

QList<QWidget*> GetDlgItems(const QWidget* pDlg) {
  QList<QWidget*> controls;
  if (!pDlg) return controls;
  for (QObject* pChild : pDlg->children()) {
    auto* pWidget = qobject_cast<QWidget*>(pChild);
    if (pWidget && pWidget->property(kPropIndex).isValid()) controls.push_back(pWidget);
  }
  std::stable_sort(controls.begin(), controls.end(), [](const QWidget* a, const QWidget* b) {
    return a->property(kPropIndex).toInt() < b->property(kPropIndex).toInt();
  });
  return controls;
}

QWidget* GetDlgItem(const QWidget* pDlg, int nID) {
  for (QWidget* pWidget : GetDlgItems(pDlg)) {
    if (pWidget->property(kPropId).toInt() == nID) return pWidget;
  }
  return nullptr;
}

bool IsBuiltFromTemplate(const QWidget* pCtl) {
  return pCtl && pCtl->property(kPropBuilt).toBool();
}

int GetDlgCtrlID(const QWidget* pCtl) {
  return pCtl ? pCtl->property(kPropId).toInt() : 0;
}

const ControlTemplate* GetControlTemplate(const QWidget* pCtl) {
  if (!pCtl) return nullptr;
  const QVariant v = pCtl->property(kPropTemplate);
  return v.isValid() ? reinterpret_cast<const ControlTemplate*>(v.value<quintptr>()) : nullptr;
}

BOOL ReplaceDlgItem(QWidget* pDlg, int nID, QWidget* pNew) {
  QWidget* pOld = GetDlgItem(pDlg, nID);
  if (!pOld || !pNew) return FALSE;
  if (pOld == pNew) return TRUE;
  const bool bHidden = pOld->isHidden() && pOld->testAttribute(Qt::WA_WState_ExplicitShowHide);
  const bool bHadFocus = pOld->hasFocus() || pDlg->focusWidget() == pOld;
  const ControlTemplate* pCtl = GetControlTemplate(pOld);

  pNew->setParent(pDlg);
  pNew->setGeometry(pOld->geometry());
  pNew->setEnabled(pOld->isEnabledTo(pDlg));
  pNew->setProperty(kPropId, pOld->property(kPropId));
  pNew->setProperty(kPropIndex, pOld->property(kPropIndex));
  pNew->setProperty(kPropTemplate, pOld->property(kPropTemplate));
  if (pCtl) {
    if (pCtl->dwStyle & WS_TABSTOP) {
      if (!(pNew->focusPolicy() & Qt::TabFocus)) pNew->setFocusPolicy(Qt::StrongFocus);
    } else {
      pNew->setFocusPolicy(Qt::FocusPolicy(pNew->focusPolicy() & ~Qt::TabFocus));
    }
  }
  pNew->stackUnder(pOld);
  for (QLabel* pLabel : pDlg->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
    if (pLabel->buddy() == pOld) pLabel->setBuddy(pNew);
  }
  // Shown with the dialog (or at once if it is already shown) unless hidden.
  pNew->setVisible(!bHidden);
  delete pOld;
  ApplyTemplateTabOrder(pDlg);
  if (bHadFocus) pNew->setFocus();
  return TRUE;
}

void ApplyTemplateTabOrder(QWidget* pDlg) {
  QWidget* pPrev = nullptr;
  for (QWidget* pWidget : GetDlgItems(pDlg)) {
    if (!(pWidget->focusPolicy() & Qt::TabFocus)) continue;
    if (pPrev) QWidget::setTabOrder(pPrev, pWidget);
    pPrev = pWidget;
  }
}
