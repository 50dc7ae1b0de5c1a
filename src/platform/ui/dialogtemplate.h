#pragma once
// Builds Qt widgets from a dialog template (templates.h), as the Windows dialog
// manager creates a dialog's controls:
//  - positions and sizes are dialog units, converted with the dialog font's base
//    units: x * cxChar / 4 and y * cyChar / 8, rounded as MulDiv rounds, where
//    cxChar is the average width of the 52 Latin letters and cyChar the font's
//    height (the rule GetDialogBaseUnits/MapDialogRect apply to a DS_SETFONT font);
//  - controls are created in template order, which is also the tab order;
//  - '&' in a button, check box or group box text is its mnemonic (Alt+letter);
//    a static text with '&' and without SS_NOPREFIX gives its mnemonic to the next
//    control in template order;
//  - every control remembers its id and template entry (GetDlgCtrlID,
//    GetControlTemplate); ids need not be unique (-1 for statics).
// ReplaceDlgItem puts a widget the caller owns in place of a template control,
// which is how a control class takes over a template control here (DDX_Control).
#include <QtCore/QRect>
#include <QtGui/QFont>
#include <QtGui/QIcon>
#include <functional>

#include "platform/ui/templates.h"
#include "platform/wintypes.h"

class QTreeView;
class QWidget;

// Rounds a * b / c to the nearest integer, halves away from zero, as Windows'
// MulDiv does; c == 0 gives -1 (MulDiv's overflow answer).
int MulDiv(int a, int b, int c);

// A dialog font's base units in pixels.
struct DialogBaseUnits {
  int cxChar = 0;  // average character width
  int cyChar = 0;  // character height
  friend bool operator==(const DialogBaseUnits&, const DialogBaseUnits&) = default;
};

// Average width from the advance of "A".."Z" + "a".."z": (total / 26 + 1) / 2;
// height is the font's line height (ascent + descent, the GDI tmHeight).
DialogBaseUnits GetDialogBaseUnits(const QFont& font);
DialogBaseUnits DialogBaseUnitsFromMetrics(int nLettersAdvancePx, int nHeightPx);

// Dialog-unit rectangle (x, y, cx, cy) to pixels. Negative values convert the
// same way (MulDiv rounds away from zero).
QRect MapDialogRect(const QRect& rcDlu, DialogBaseUnits units);

// The template's font: its face first, then faces that carry the same CJK
// coverage on Linux ("宋体" is not installed there), at the template's points.
QFont DialogTemplateFont(const DialogTemplate& tmpl);

// What a template control becomes.
enum class ControlKind {
  PushButton,
  DefPushButton,
  CheckBox,
  RadioButton,
  GroupBox,
  Label,
  Icon,
  Frame,
  LineEdit,
  MultiLineEdit,
  ComboBox,
  ListView,
  Unknown,
};
ControlKind ClassifyControl(const ControlTemplate& ctl);

// Controls that let mouse input through to the dialog (group boxes, static
// texts, icons and frames), as Windows' WM_NCHITTEST answers HTTRANSPARENT.
bool PassesMouseToDialog(ControlKind kind);

// Loads every image of icon resource nID from the Qt resources (one file per
// size under res/resinit.h's root); an unknown id gives a null icon.
QIcon LoadIconResource(UINT nID);

// A list view's template style on a QTreeView: one selected row at a time with
// LVS_SINGLESEL, a header only in report view (LVS_REPORT).
void ApplyListViewStyle(QTreeView* pList, DWORD dwStyle);

// Creates the template's controls as children of pDlg in template order, sizes
// pDlg's client area from the template and sets its font and caption. onCommand
// receives the id of a clicked button or check box (BN_CLICKED). Window flags
// (caption, system menu, minimise box, modal frame) are set from the style bits.
// Returns the base units used.
DialogBaseUnits BuildDialogFromTemplate(QWidget* pDlg, const DialogTemplate& tmpl,
                                        std::function<void(int nID)> onCommand);

// The control of pDlg with id nID that comes first in template order, or null.
QWidget* GetDlgItem(const QWidget* pDlg, int nID);
// The id of a control made from a template (or put in place of one); 0 otherwise.
int GetDlgCtrlID(const QWidget* pCtl);
// The template entry behind a control, or null.
const ControlTemplate* GetControlTemplate(const QWidget* pCtl);
// Whether pCtl is the widget the builder made (not one put in its place).
bool IsBuiltFromTemplate(const QWidget* pCtl);
// pDlg's template controls in template order.
QList<QWidget*> GetDlgItems(const QWidget* pDlg);

// Puts pNew (owned by the caller, not yet a child of pDlg) in place of the
// template control nID: same geometry, visibility, enabled state, id and place in
// the tab order; the template's widget is deleted. Returns FALSE (and changes
// nothing) when pDlg has no such control.
BOOL ReplaceDlgItem(QWidget* pDlg, int nID, QWidget* pNew);

// Chains the focus order of pDlg's controls in template order.
void ApplyTemplateTabOrder(QWidget* pDlg);
