// The platform pieces under the hex view: key translation, scroll-bar codes, the
// caret and the clipboard.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>

#include <memory>

#include "hexview_test_util.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/keys.h"
#include "platform/ui/scrollbar.h"

namespace {

TEST(PlatformUi, KeyTranslation) {
  using namespace Qt;
  struct Case { int nQtKey; KeyboardModifiers mods; const char* pszText; UINT nVirtKey; int nChar; };
  for (const Case& c : {Case{Key_PageUp, NoModifier, "", VK_PRIOR, -1},  {Key_Home, ControlModifier, "", VK_HOME, -1},
                        {Key_Delete, NoModifier, "\x7f", VK_DELETE, -1}, {Key_Tab, NoModifier, "\t", VK_TAB, 9},
                        {Key_Backtab, ShiftModifier, "", VK_TAB, 9},     {Key_Backspace, NoModifier, "\b", VK_BACK, 8},
                        {Key_Enter, KeypadModifier, "\r", VK_RETURN, 13}, {Key_Escape, NoModifier, "\x1b", VK_ESCAPE, 27},
                        {Key_A, ShiftModifier, "A", 0x41, 'A'},          {Key_4, NoModifier, "4", 0x34, '4'},
                        {Key_C, ControlModifier, "\x03", 0x43, 3},       {Key_V, ControlModifier, "", 0x56, 22},
                        {Key_H, ControlModifier, "", 0x48, 8},           {Key_Eacute, NoModifier, "\xc3\xa9", 0, 0xE9},
                        {Key_F10, ShiftModifier, "", VK_F10, -1},        // AltGr euro below: not Latin-1
                        {Key_E, ControlModifier | AltModifier, "\xe2\x82\xac", 0x45, -1}}) {
    const KeyInput input = TranslateKey(c.nQtKey, c.mods, QString::fromUtf8(c.pszText));
    EXPECT_EQ(std::pair(input.nVirtKey, input.nChar), std::pair(c.nVirtKey, c.nChar)) << std::hex << c.nQtKey;
  }
  EXPECT_TRUE(TranslateKey(Key_Backtab, NoModifier, QString()).modifiers.testFlag(ShiftModifier));
}

TEST(PlatformUi, ScrollBarsTakeInfoSilentlyAndReportCodes) {
  TestApp();
  QScrollBar bar(Qt::Vertical);
  QSignalSpy valueSpy(&bar, &QAbstractSlider::valueChanged);
  SetScrollInfo(&bar, ScrollInfo{0, 5, 4, 1});  // rows 0..5, 4 a page: the top row goes to 2
  EXPECT_EQ(std::tuple(bar.maximum(), bar.pageStep(), bar.value(), bar.isEnabled()), std::tuple(2, 4, 1, true));
  SetScrollPos(&bar, 9);
  EXPECT_EQ(bar.value(), 2);
  SetScrollInfo(&bar, ScrollInfo{0, -1, 0, 0});  // an empty buffer
  EXPECT_FALSE(bar.isEnabled());
  EXPECT_EQ(valueSpy.count(), 0);
  using A = QAbstractSlider;
  for (auto [nAction, nCode] : {std::pair{A::SliderSingleStepAdd, SB_LINEDOWN}, {A::SliderSingleStepSub, SB_LINEUP},
                                {A::SliderPageStepAdd, SB_PAGEDOWN}, {A::SliderPageStepSub, SB_PAGEUP},
                                {A::SliderToMinimum, SB_TOP}, {A::SliderToMaximum, SB_BOTTOM},
                                {A::SliderMove, SB_THUMBTRACK}, {A::SliderNoAction, SB_ENDSCROLL}}) {
    EXPECT_EQ(ScrollActionToSBCode(nAction), nCode) << nAction;
  }
}

TEST(PlatformUi, OneCaretHiddenUntilShownDrawnInvertedAndDyingWithItsOwner) {
  TestApp();
  class Owner : public QWidget {
    void paintEvent(QPaintEvent*) override {
      QPainter painter(this);
      painter.fillRect(rect(), Qt::white);
      PaintCaret(painter, this);
    }
  };
  auto pOwner = std::make_unique<Owner>();
  pOwner->resize(40, 40);
  ASSERT_TRUE(CreateCaret(pOwner.get(), 7, 14) && SetCaretPos(21, 28));
  EXPECT_EQ(pOwner->grab().toImage().pixelColor(22, 30), QColor(Qt::white));  // hidden until shown
  ASSERT_TRUE(ShowCaret());
  EXPECT_EQ(GetCaretState().rect, QRect(21, 28, 7, 14));
  EXPECT_EQ(pOwner->grab().toImage().pixelColor(22, 30), QColor(Qt::black));
  QWidget other;
  ASSERT_TRUE(CreateCaret(&other, 56, 14));  // replaces the first, and starts hidden
  EXPECT_EQ(GetCaretState().pOwner, &other);
  EXPECT_FALSE(GetCaretState().bShown);
  ASSERT_TRUE(CreateCaret(pOwner.get(), 7, 14));
  pOwner.reset();
  EXPECT_FALSE(GetCaretState().bExists);
}

TEST(PlatformUi, ClipboardHoldsBinaryDataAndTextWithItsZero) {
  TestApp();
  const BYTE bytes[] = {0x47, 0x00, 0xFF};
  ASSERT_TRUE(SetClipboardBlocks(bytes, 3, "47 00 FF ", 10));
  EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->data("BinaryData"), QByteArray("\x47\x00\xFF", 3));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("47 00 FF "));
  EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray("47 00 FF \0", 10));
  QGuiApplication::clipboard()->setText("hi");  // another program's text
  EXPECT_FALSE(IsClipboardFormatAvailable(ClipFormat::BinaryData));
  EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray("hi\0", 3));
  ASSERT_TRUE(SetClipboardBlocks(bytes, 0, "", 1));  // empty blocks stay present
  EXPECT_EQ(GetClipboardBlock(ClipFormat::BinaryData).value(), QByteArray());
  QGuiApplication::clipboard()->clear();
  EXPECT_FALSE(IsClipboardFormatAvailable(ClipFormat::Text));
}

}  // namespace
