// The platform pieces the hex view stands on: key translation, key state,
// scroll-bar codes, the caret, the clipboard and popup menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleHints>
#include <QPainter>
#include <QWidget>

#include <memory>

#include "platform/ui/caret.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/keys.h"
#include "platform/ui/popupmenu.h"
#include "platform/ui/scrollbar.h"

namespace {

int g_argc = 1;
char g_arg0[] = "test_keys";
char* g_argv[] = {g_arg0, nullptr};

class PlatformUi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QApplication::instance()) s_pApp = new QApplication(g_argc, g_argv);
  }
  static inline QApplication* s_pApp = nullptr;
};

TEST_F(PlatformUi, KeyTranslationTable) {
  struct Case {
    int nQtKey;
    Qt::KeyboardModifiers mods;
    const char* pszText;
    UINT nVirtKey;
    int nChar;
  };
  const Case cases[] = {
      {Qt::Key_Left, Qt::NoModifier, "", VK_LEFT, -1},
      {Qt::Key_Right, Qt::ShiftModifier, "", VK_RIGHT, -1},
      {Qt::Key_Up, Qt::NoModifier, "", VK_UP, -1},
      {Qt::Key_Down, Qt::NoModifier, "", VK_DOWN, -1},
      {Qt::Key_PageUp, Qt::NoModifier, "", VK_PRIOR, -1},
      {Qt::Key_PageDown, Qt::NoModifier, "", VK_NEXT, -1},
      {Qt::Key_Home, Qt::ControlModifier, "", VK_HOME, -1},
      {Qt::Key_End, Qt::NoModifier, "", VK_END, -1},
      {Qt::Key_Insert, Qt::NoModifier, "", VK_INSERT, -1},
      {Qt::Key_Delete, Qt::NoModifier, "\x7f", VK_DELETE, -1},
      {Qt::Key_Tab, Qt::NoModifier, "\t", VK_TAB, 9},
      {Qt::Key_Backtab, Qt::ShiftModifier, "", VK_TAB, 9},
      {Qt::Key_Backspace, Qt::NoModifier, "\b", VK_BACK, 8},
      {Qt::Key_Return, Qt::NoModifier, "\r", VK_RETURN, 13},
      {Qt::Key_Enter, Qt::KeypadModifier, "\r", VK_RETURN, 13},
      {Qt::Key_Escape, Qt::NoModifier, "\x1b", VK_ESCAPE, 27},
      {Qt::Key_A, Qt::NoModifier, "a", 0x41, 'a'},
      {Qt::Key_A, Qt::ShiftModifier, "A", 0x41, 'A'},
      {Qt::Key_4, Qt::NoModifier, "4", 0x34, '4'},
      {Qt::Key_Space, Qt::NoModifier, " ", VK_SPACE, ' '},
      {Qt::Key_C, Qt::ControlModifier, "\x03", 0x43, 3},
      {Qt::Key_V, Qt::ControlModifier, "", 0x56, 22},
      {Qt::Key_X, Qt::ControlModifier, "", 0x58, 24},
      {Qt::Key_Z, Qt::ControlModifier, "", 0x5A, 26},
      {Qt::Key_H, Qt::ControlModifier, "", 0x48, 8},
      {Qt::Key_E, Qt::ControlModifier | Qt::AltModifier, "\xe2\x82\xac", 0x45, -1},  // AltGr euro: not Latin-1
      {Qt::Key_Eacute, Qt::NoModifier, "\xc3\xa9", 0, 0xE9},
      {Qt::Key_F10, Qt::ShiftModifier, "", VK_F10, -1},
      {Qt::Key_Menu, Qt::NoModifier, "", VK_APPS, -1},
      {Qt::Key_Shift, Qt::ShiftModifier, "", VK_SHIFT, -1},
  };
  for (const Case& c : cases) {
    const KeyInput input = TranslateKey(c.nQtKey, c.mods, QString::fromUtf8(c.pszText));
    EXPECT_EQ(input.nVirtKey, c.nVirtKey) << "key " << std::hex << c.nQtKey;
    EXPECT_EQ(input.nChar, c.nChar) << "key " << std::hex << c.nQtKey;
  }
  EXPECT_TRUE(TranslateKey(Qt::Key_Backtab, Qt::NoModifier, QString()).modifiers.testFlag(Qt::ShiftModifier));
}

TEST_F(PlatformUi, KeyStateFollowsTheEventScope) {
  {
    const KeyStateScope outer(Qt::ShiftModifier);
    EXPECT_LT(GetKeyState(VK_SHIFT), 0);
    EXPECT_EQ(GetKeyState(VK_CONTROL), 0);
    {
      const KeyStateScope inner(Qt::ControlModifier);
      EXPECT_EQ(GetKeyState(VK_SHIFT), 0);
      EXPECT_LT(GetKeyState(VK_CONTROL), 0);
    }
    EXPECT_LT(GetKeyState(VK_SHIFT), 0);
  }
  const KeyStateScope none(Qt::NoModifier);
  EXPECT_EQ(GetKeyState(VK_SHIFT), 0);
}

TEST_F(PlatformUi, ScrollInfoNeverReentersTheOwner) {
  QScrollBar bar(Qt::Vertical);
  QSignalSpy valueSpy(&bar, &QAbstractSlider::valueChanged);
  QSignalSpy actionSpy(&bar, &QAbstractSlider::actionTriggered);
  SetScrollInfo(&bar, ScrollInfo{0, 5, 4, 1});
  EXPECT_EQ(bar.minimum(), 0);
  EXPECT_EQ(bar.maximum(), 2);  // rows 0..5, 4 a page: the top row goes to 2
  EXPECT_EQ(bar.pageStep(), 4);
  EXPECT_EQ(bar.value(), 1);
  EXPECT_TRUE(bar.isEnabled());
  SetScrollPos(&bar, 9);
  EXPECT_EQ(bar.value(), 2);  // clamped like the system's bars
  EXPECT_EQ(valueSpy.count(), 0);
  EXPECT_EQ(actionSpy.count(), 0);
  SetScrollInfo(&bar, ScrollInfo{0, -1, 0, 0});  // empty buffer
  EXPECT_FALSE(bar.isEnabled());
  EXPECT_EQ(valueSpy.count(), 0);
}

TEST_F(PlatformUi, CaretIsOnePerThreadHiddenUntilShownAndDiesWithItsOwner) {
  QApplication::styleHints()->setCursorFlashTime(0);  // steady, so a paint is predictable
  auto pFirst = std::make_unique<QWidget>();
  QWidget second;
  EXPECT_FALSE(GetCaretState().bExists);
  EXPECT_FALSE(ShowCaret());
  ASSERT_TRUE(CreateCaret(pFirst.get(), 7, 14));
  CaretState state = GetCaretState();
  EXPECT_TRUE(state.bExists);
  EXPECT_FALSE(state.bShown);
  EXPECT_EQ(state.pOwner, pFirst.get());
  EXPECT_EQ(state.rect, QRect(0, 0, 7, 14));
  EXPECT_TRUE(SetCaretPos(21, 28));
  EXPECT_TRUE(ShowCaret());
  state = GetCaretState();
  EXPECT_TRUE(state.bShown);
  EXPECT_EQ(state.rect, QRect(21, 28, 7, 14));
  EXPECT_TRUE(HideCaret());
  EXPECT_FALSE(GetCaretState().bShown);

  // A new caret replaces the old one, whoever owned it, and starts hidden.
  ASSERT_TRUE(CreateCaret(&second, 56, 14));
  state = GetCaretState();
  EXPECT_EQ(state.pOwner, &second);
  EXPECT_FALSE(state.bShown);
  EXPECT_EQ(state.rect.size(), QSize(56, 14));

  ASSERT_TRUE(CreateCaret(pFirst.get(), 7, 14));
  pFirst.reset();
  EXPECT_FALSE(GetCaretState().bExists);
  EXPECT_FALSE(DestroyCaret());
}

TEST_F(PlatformUi, CaretIsDrawnInvertedOverItsOwner) {
  QApplication::styleHints()->setCursorFlashTime(0);
  class Owner : public QWidget {
   protected:
    void paintEvent(QPaintEvent*) override {
      QPainter painter(this);
      painter.fillRect(rect(), Qt::white);
      painter.fillRect(QRect(0, 0, 4, 4), Qt::black);
      PaintCaret(painter, this);
    }
  } owner;
  owner.resize(40, 40);
  ASSERT_TRUE(CreateCaret(&owner, 8, 8));
  SetCaretPos(0, 0);
  QImage image = owner.grab().toImage();
  EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::black));  // hidden: nothing drawn
  ShowCaret();
  image = owner.grab().toImage();
  EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::white));  // black under the caret turns white
  EXPECT_EQ(image.pixelColor(6, 6), QColor(Qt::black));  // white under the caret turns black
  EXPECT_EQ(image.pixelColor(20, 20), QColor(Qt::white));
  DestroyCaret();
}

TEST_F(PlatformUi, ClipboardHoldsBinaryDataAndTextAndCountsTheTextZero) {
  const BYTE bytes[] = {0x47, 0x00, 0xFF};
  const char text[] = "47 00 FF ";
  ASSERT_TRUE(SetClipboardBlocks(bytes, 3, text, sizeof text));
  const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(pMime, nullptr);
  EXPECT_EQ(pMime->data("BinaryData"), QByteArray("\x47\x00\xFF", 3));
  EXPECT_EQ(pMime->text(), QString("47 00 FF "));
  EXPECT_TRUE(IsClipboardFormatAvailable(ClipFormat::BinaryData));
  EXPECT_TRUE(IsClipboardFormatAvailable(ClipFormat::Text));
  EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray("47 00 FF \0", 10));

  // Text from another program: no BinaryData; the block ends with its zero.
  QGuiApplication::clipboard()->setText("hi");
  EXPECT_FALSE(IsClipboardFormatAvailable(ClipFormat::BinaryData));
  EXPECT_FALSE(GetClipboardBlock(ClipFormat::BinaryData).has_value());
  EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray("hi\0", 3));

  // Empty blocks stay present.
  ASSERT_TRUE(SetClipboardBlocks(bytes, 0, "", 1));
  EXPECT_TRUE(IsClipboardFormatAvailable(ClipFormat::BinaryData));
  EXPECT_EQ(GetClipboardBlock(ClipFormat::BinaryData).value(), QByteArray());
  EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), QByteArray("\0", 1));

  QGuiApplication::clipboard()->clear();
  EXPECT_FALSE(IsClipboardFormatAvailable(ClipFormat::Text));
  EXPECT_FALSE(IsClipboardFormatAvailable(ClipFormat::BinaryData));
}

TEST_F(PlatformUi, PopupMenuStatesAndHook) {
  PopupMenu menu;
  menu.AppendItem(100, "&One");
  menu.AppendSeparator();
  menu.AppendItem(200, "&Two");
  EXPECT_TRUE(menu.EnableMenuItem(200, false));
  EXPECT_FALSE(menu.EnableMenuItem(300, false));
  ASSERT_EQ(menu.Items().size(), 3u);
  EXPECT_TRUE(menu.Items()[0].bEnabled);
  EXPECT_FALSE(menu.Items()[2].bEnabled);

  QPoint ptSeen;
  UINT nChoose = 100;
  SetPopupMenuHook([&](const std::vector<PopupMenuItem>&, QPoint pt) {
    ptSeen = pt;
    return nChoose;
  });
  EXPECT_EQ(menu.TrackPopupMenu(QPoint(30, 40), nullptr), 100u);
  EXPECT_EQ(ptSeen, QPoint(30, 40));
  nChoose = 200;  // disabled: cannot be chosen
  EXPECT_EQ(menu.TrackPopupMenu(QPoint(0, 0), nullptr), 0u);
  nChoose = 999;  // not in the menu
  EXPECT_EQ(menu.TrackPopupMenu(QPoint(0, 0), nullptr), 0u);
  SetPopupMenuHook({});
}

}  // namespace
