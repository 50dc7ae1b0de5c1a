// The view as a widget, for what the tables and the random test cannot show:
// painting, the clipboard, focus keys in a dialog, the scroll bar, the caret, a new size.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDialog>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>

#include <climits>
#include <string>

#include "hexview_test_util.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/popupmenu.h"
#include "platform/ui/templates.h"

namespace {

class HexView : public ::testing::Test {
 protected:
  void SetUp() override {
    ShowAndFocus(view, 4);
    SetBytes(view, Sequence(100));
  }
  void TearDown() override {
    SetPopupMenuHook({});
    SetPrimarySelectionHookForTesting({});
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&view, key, mods); }
  int W() const { return view.GetGeometry().nCharWidthPx; }
  int H() const { return view.GetGeometry().nLineHeightPx; }
  QPoint Cell(int nCol, int nRow) const { return QPoint(nCol * W() + W() / 2, nRow * H() + H() / 2); }
  QImage Render(int nCol, int nRow, int nCells = 1) {  // cells as painted, without the caret
    DestroyCaret();
    const QRect cells(nCol * W(), nRow * H(), nCells * W(), H());
    return view.viewport()->grab(cells).toImage().convertToFormat(QImage::Format_RGB32);
  }
  // Reads cells back: each is the printable character whose glyph, drawn alone,
  // differs least from the cell's pixels.
  std::string Read(int nCol, int nRow, int nCount) {
    std::string text;
    for (int nCell = nCol; nCell < nCol + nCount; ++nCell) {
      const QImage cell = Render(nCell, nRow);
      std::pair<long long, char> best{LLONG_MAX, '?'};
      for (char ch = 0x20; ch < 0x7F; ++ch) {
        QImage glyph = Blank();
        QPainter painter(&glyph);
        painter.setFont(view.GetFont());
        painter.drawText(0, QFontMetrics(view.GetFont()).ascent(), QString(QChar(ch)));
        painter.end();
        const QRgb* pCell = reinterpret_cast<const QRgb*>(cell.constBits());
        const QRgb* pGlyph = reinterpret_cast<const QRgb*>(glyph.constBits());
        long long nDiff = 0;
        for (int i = 0; i < W() * H(); ++i) nDiff += std::abs(qGray(pCell[i]) - qGray(pGlyph[i]));
        best = std::min(best, std::pair(nDiff, ch));
      }
      text += best.second;
    }
    return text;
  }
  QImage Blank() const {
    QImage image(W(), H(), QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
  }
  // A highlighted cell is filled with the highlight colour around its glyph.
  bool Lit(int nCol, int nRow) {
    return Render(nCol, nRow).pixelColor(0, 0) == view.palette().color(QPalette::Active, QPalette::Highlight);
  }

  QApplication& app = TestApp();
  CHexView view;
};

TEST_F(HexView, PaintsTheColumnsAndTheSelectionInTheCaretsColumnOnly) {
  SetBytes(view, {0x41, 0x00, 0x7E, 0xFF, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30,
                  0x4A, 0x30, 0x30, 0x5A});
  EXPECT_EQ(Read(0, 1, 8), "00000010");
  EXPECT_EQ(Read(9, 0, 12), "41 00 7E FF ");
  EXPECT_EQ(Read(57, 0, 5), "A.~.0");
  EXPECT_EQ(Read(9, 1, 12), "4A 30 30 5A ");
  for (auto [nCol, nRow] : {std::pair{8, 1}, {21, 1}, {56, 1}, {61, 1}, {79, 1}, {0, 2}}) {  // blanks, past the data
    EXPECT_EQ(Render(nCol, nRow), Blank()) << nCol << "," << nRow;
  }
  // Bytes 1 to 17 (ends 18 and 1), highlighted in the hex or the character column.
  for (int nArea : {AREA_HEX_LOW, AREA_CHAR}) {
    view.SetCaret(0, nArea);
    view.SetSelection(18, 1);
    for (int nByte : {0, 1, 15, 17, 18}) {
      const bool bSelected = nByte >= 1 && nByte < 18;
      EXPECT_EQ(Lit(9 + 3 * (nByte % 16), nByte / 16), bSelected && nArea != AREA_CHAR) << nByte;
      EXPECT_EQ(Lit(57 + nByte % 16, nByte / 16), bSelected && nArea == AREA_CHAR) << nByte;
    }
  }
  // Only whole rows are drawn: the half row at the bottom stays white.
  SetBytes(view, Sequence(100));
  const QImage bottom = Render(0, 4, 73);
  for (int xPx = 0; xPx < 73 * W(); ++xPx) ASSERT_EQ(bottom.pixelColor(xPx, 1), QColor(Qt::white)) << xPx;
}

TEST_F(HexView, PaintsInThePalettesColours) {
  QPalette dark = view.palette();
  for (auto [role, rgb] : {std::pair{QPalette::Base, 0x232629}, {QPalette::Text, 0xeff0f1},
                           {QPalette::Highlight, 0x3daee9}, {QPalette::HighlightedText, 0xfcfcfc}}) {
    dark.setColor(role, QColor(QRgb(rgb)));
  }
  view.setPalette(dark);
  view.SetCaret(0, AREA_HEX_HIGH);
  view.SetSelection(18, 40);
  // Before, in and after the selection, the address column and the empty area:
  // the palette's base or highlight behind, its text or highlighted text on it.
  for (auto [nCol, nRow, bLit, bText] : {std::tuple{0, 0, false, true}, {12, 0, false, true}, {15, 1, true, true},
                                         {36, 2, false, true}, {60, 0, false, true}, {75, 0, false, false}}) {
    const QImage cell = Render(nCol, nRow);
    int nLightest = 0;
    for (int y = 0; y < H(); ++y) {
      for (int x = 0; x < W(); ++x) nLightest = std::max(nLightest, qGray(cell.pixel(x, y)));
    }
    const QColor back = dark.color(bLit ? QPalette::Highlight : QPalette::Base);
    const int nFore = qGray(dark.color(bLit ? QPalette::HighlightedText : QPalette::Text).rgb());
    EXPECT_EQ(cell.pixelColor(0, 0), back) << nCol << "," << nRow;
    EXPECT_EQ(nLightest > (qGray(back.rgb()) + nFore) / 2, bText) << nCol << "," << nRow;
  }
}

TEST_F(HexView, TheScrollBarDrivesTheViewAndFollowsIt) {
  QScrollBar* pBar = view.verticalScrollBar();
  EXPECT_EQ(std::pair(pBar->maximum(), pBar->pageStep()), std::pair(2, 4));  // 100 bytes, 4 rows a page
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, Cell(9, 1));  // byte 16
  pBar->setSliderPosition(2);  // a thumb drag
  // The caret keeps its byte, off the page and hidden; a Shift+click selects from it.
  EXPECT_EQ(std::tuple(view.GetTopIndex(), view.GetCaretAddr(), GetCaretState().bShown), std::tuple(32, 16, false));
  QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, Cell(9, 3));  // byte 80
  EXPECT_EQ(std::pair(view.GetSelStart(), view.GetSelEnd()), std::pair(16, 81));
  pBar->triggerAction(QAbstractSlider::SliderSingleStepSub);
  EXPECT_EQ(std::pair(view.GetTopIndex(), pBar->value()), std::pair(16, 1));
  pBar->triggerAction(QAbstractSlider::SliderToMinimum);  // Top and Bottom, from the bar's context menu
  EXPECT_EQ(view.GetTopIndex(), 0);
  pBar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(std::pair(view.GetTopIndex(), pBar->value()), std::pair(48, 2));
  SetBytes(view, {});
  EXPECT_FALSE(pBar->isEnabled());
}

TEST_F(HexView, PageKeysCarryTheCaretAndArrowsLeaveTheAddressColumn) {
  view.SetCaret(5, AREA_HEX_HIGH);
  Key(Qt::Key_PageDown);  // the view stops at 36; the caret goes a page, on the page
  EXPECT_EQ(std::tuple(view.GetTopIndex(), view.GetCaretAddr(), GetCaretState().bShown), std::tuple(36, 69, true));
  Key(Qt::Key_PageDown, Qt::ShiftModifier);  // a page past 69 is past the end: the last byte
  EXPECT_EQ(std::tuple(view.GetSelStart(), view.GetSelEnd(), view.GetTopIndex()), std::tuple(69, 99, 36));
  Key(Qt::Key_PageUp, Qt::ShiftModifier);
  EXPECT_EQ(std::tuple(view.GetSelEnd(), view.GetTopIndex(), GetCaretState().bShown), std::tuple(35, 0, true));
  // Right and Left take the caret from the address column into the hex column, shown.
  for (Qt::Key key : {Qt::Key_Right, Qt::Key_Left, Qt::Key_Down}) {
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, Cell(2, 1));
    Key(key);
    const int nArea = key == Qt::Key_Down ? AREA_ADDRESS : AREA_HEX_HIGH;
    EXPECT_EQ(std::tuple(view.GetCaretAddr(), view.GetCaretArea(), GetCaretState().bShown), std::tuple(16, nArea, true));
  }
  view.OnVScroll(SB_BOTTOM, 0);  // two rows below the caret: a key brings the view back to it
  Key(Qt::Key_Up);
  EXPECT_EQ(std::pair(view.GetTopIndex(), GetCaretState().bShown), std::pair(16, true));
}

TEST_F(HexView, ANewSizeTakesEffectBeforeAnyPaintAndClicksPlaceTheCaret) {
  view.resize(view.width(), view.height() + 3 * H());
  EXPECT_EQ(view.GetGeometry().nRowsPerPage, 7);
  // The caret takes the shape of the column clicked: the whole address, or a cell.
  for (auto [nCell, nAddr, nCaretCell, nCells] : {std::tuple{3, 96, 0, 8}, {19, 99, 19, 1}, {60, 100, 61, 1}}) {
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, Cell(nCell, 6));  // on a new row
    EXPECT_EQ(view.GetCaretAddr(), nAddr) << nCell;
    const QRect rect(nCaretCell * W(), 6 * H(), nCells * W(), H());
    EXPECT_TRUE(GetCaretState().bShown) << nCell;
    EXPECT_EQ(GetCaretState().rect, rect) << nCell;
    const QImage withCaret = view.viewport()->grab(rect).toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_NE(withCaret, Render(nCaretCell, 6, nCells)) << nCell;  // the caret is drawn over the cells
  }
}

TEST_F(HexView, ClipboardRoundTrip) {
  SetBytes(view, {0x10, 0x47, 0x00, 0xFF, 0x20});
  // Ctrl+C and Ctrl+Insert copy with typing off, as in the system.
  for (auto [nArea, pszText, key] : {std::tuple{AREA_HEX_HIGH, "47 00 FF ", Qt::Key_C}, {AREA_CHAR, "G..", Qt::Key_Insert}}) {
    view.SetCaret(0, nArea);
    view.SetSelection(4, 1);
    QGuiApplication::clipboard()->clear();
    Key(key, Qt::ControlModifier);
    EXPECT_EQ(GetClipboardBlock(ClipFormat::BinaryData), QByteArray("\x47\x00\xFF", 3));
    EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray(pszText).append('\0'));
  }
  Key(Qt::Key_Delete, Qt::ShiftModifier);  // neither it nor Ctrl+Insert changes a byte
  view.SetAllowTyping(TRUE);
  Key(Qt::Key_A, Qt::ControlModifier);  // selects all, and types nothing
  EXPECT_EQ(std::tuple(Bytes(view).size(), view.GetSelStart(), view.GetSelEnd()), std::tuple(5u, 0, 5));
  view.SetSelection(-1, -1);  // back in at the end: the bytes, not the text
  view.SetCaret(5, AREA_CHAR);
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0x10, 0x47, 0x00, 0xFF, 0x20, 0x47, 0x00, 0xFF}));
  QGuiApplication::clipboard()->setText("Hi");  // another program's text, with its terminating zero
  view.SetCaret(0, AREA_HEX_LOW);
  view.OnEditPaste();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0x10, 'H', 'i', 0, 0x47, 0x00, 0xFF, 0x20, 0x47, 0x00, 0xFF}));
}

TEST_F(HexView, ASelectionIsOfferedAsThePrimarySelectionInTheCopysTextForm) {
  QList<QByteArray> offered;
  SetPrimarySelectionHookForTesting([&](const QByteArray& text) { offered << text; });
  Mouse(view, QEvent::MouseButtonPress, Cell(12, 0));  // a drag over bytes 1 and 2
  Mouse(view, QEvent::MouseMove, Cell(15, 0));
  Mouse(view, QEvent::MouseButtonRelease, Cell(15, 0));
  Key(Qt::Key_Tab);  // the character form
  Key(Qt::Key_Right, Qt::ShiftModifier);  // to byte 3, not taking it in
  Key(Qt::Key_Right, Qt::ShiftModifier);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, Cell(20, 1));  // a click selects nothing: nothing offered
  Key(Qt::Key_A, Qt::ControlModifier);
  ASSERT_EQ(offered.size(), 5);
  EXPECT_EQ(offered.mid(0, 4), (QList<QByteArray>{"01 02 ", "..", "..", "..."}));
  EXPECT_EQ(std::pair(offered[4].left(6), offered[4].size()), std::pair(QByteArray("00 01 "), qsizetype{300}));
}

TEST_F(HexView, InADialogTabSwitchesColumnsAndCtrlTabMovesTheFocus) {
  QDialog dialog;
  auto* pOk = new QPushButton("OK", &dialog);  // the tab order: OK, the view, After
  auto* pView = new CHexView(&dialog);
  auto* pAfter = new QPushButton("After", &dialog);
  pOk->setDefault(true);
  QObject::connect(pOk, &QPushButton::clicked, &dialog, &QDialog::accept);
  pView->SetWindowStyle(0x50210884);  // the dialog template's control
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  pView->SetData(Sequence(40).data(), 40);
  pView->setFocus();
  QTest::keyClick(pView, Qt::Key_Tab);
  EXPECT_EQ(pView->GetCaretArea(), AREA_CHAR);
  QTest::keyClick(pView, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(pView->GetCaretArea(), AREA_HEX_HIGH);
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(pView, key);
  EXPECT_TRUE(dialog.isVisible() && pView->hasFocus() && GetCaretState().bShown);

  QTest::keyClick(pView, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_TRUE(pAfter->hasFocus());
  EXPECT_FALSE(GetCaretState().bExists);  // the caret leaves with the focus
  pView->setFocus();
  EXPECT_TRUE(GetCaretState().bShown);
  QTest::keyClick(pView, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(pOk->hasFocus());
  EXPECT_EQ(pView->GetCaretArea(), AREA_HEX_HIGH);  // no column switch on the way out
  pView->OnEditSelectAll();
  pView->setFocus();
  EXPECT_FALSE(GetCaretState().bShown);  // with a selection the caret stays away
}

TEST_F(HexView, TheContextMenuOffersCopyWithASelectionAndOpensAtTheKeyboardPoint) {
  std::vector<PopupMenuItem> items;
  QPoint ptSeen;
  SetPopupMenuHook([&](const std::vector<PopupMenuItem>& shown, QPoint pt) {
    std::tie(items, ptSeen) = std::pair(shown, pt);
    return ID_EDIT_SELECT_ALL;
  });
  QContextMenuEvent ev(QContextMenuEvent::Mouse, Cell(20, 1), view.viewport()->mapToGlobal(Cell(20, 1)));
  QApplication::sendEvent(view.viewport(), &ev);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::tuple(items[0].nID, items[0].bEnabled, ptSeen), std::tuple(ID_EDIT_COPY, false, ev.globalPos()));
  EXPECT_EQ(std::pair(view.GetSelStart(), view.GetSelEnd()), std::pair(0, 100));  // Select All, chosen
  Key(Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(std::tuple(items[0].bEnabled, ptSeen), std::tuple(true, view.viewport()->mapToGlobal(QPoint(5, 5))));
  EXPECT_EQ(std::pair(items[0].strText, items[1].strText), std::pair(QString("&Copy\tCtrl+C"), QString("Select &All\tCtrl+A")));
  // Equal ends select no byte: Copy is greyed, and copying leaves the clipboard as it was.
  view.SetSelection(7, 7);
  EXPECT_FALSE(view.BuildContextMenu().Items()[0].bEnabled);
  QGuiApplication::clipboard()->setText("keep");
  view.OnEditCopy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  QGuiApplication::clipboard()->clear();  // an owner's Paste is greyed with nothing to paste
  PopupMenu menu;
  menu.AppendItem(ID_EDIT_PASTE, "&Paste");
  view.ApplyEditCommandStates(menu);
  EXPECT_FALSE(menu.Items()[0].bEnabled);
}

TEST_F(HexView, NothingHappensWithoutDataAndAFailedEditChangesNothing) {
  CHexView fresh;
  ShowAndFocus(fresh, 4);
  fresh.SetAllowTyping(TRUE);
  for (auto k : {Qt::Key_End, Qt::Key_Insert, Qt::Key_Delete, Qt::Key_Backspace, Qt::Key_A}) QTest::keyClick(&fresh, k);
  fresh.OnVScroll(SB_PAGEDOWN, 0);
  QTest::mouseClick(fresh.viewport(), Qt::LeftButton, {}, QPoint(90, 5));
  EXPECT_EQ(std::tuple(fresh.GetData(), fresh.GetCaretAddr(), fresh.GetSelStart()), std::tuple(nullptr, 0, -1));

  view.SetCaret(4, AREA_CHAR);
  view.SetSelection(2, 6);
  QGuiApplication::clipboard()->setText("keep");
  SetBlockAllocatorForTesting([](std::size_t, bool) -> void* { return nullptr; });  // out of memory
  view.SetData(Sequence(3).data(), 3);
  view.OnEditCut();
  EXPECT_FALSE(view.InsertBytes(4, 3));
  SetBlockAllocatorForTesting(nullptr);
  view.SetBytesPerRow(0);  // every row division needs at least one byte a row
  EXPECT_EQ(view.GetGeometry().nBytesPerRow, 1);
  EXPECT_FALSE(view.DeleteBytes(-1, 2) || view.DeleteBytes(5, 4) || view.DeleteBytes(0, 101));  // outside the data
  EXPECT_FALSE(view.InsertBytes(101, 1) || view.InsertBytes(0, 0) || view.InsertBytes(-1, 1));
  EXPECT_EQ(Bytes(view), Sequence(100));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  EXPECT_EQ(std::tuple(view.GetCaretAddr(), view.GetSelStart(), view.GetSelEnd()), std::tuple(4, 2, 6));
}

}  // namespace
