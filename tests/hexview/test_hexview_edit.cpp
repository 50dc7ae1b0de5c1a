// Clipboard, the edit commands and the context menu.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>

#include "hexview_test_util.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/keys.h"
#include "platform/ui/popupmenu.h"
#include "res/resource.h"

namespace {

QByteArray ClipFormatData(const char* pszFormat) {
  const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
  return pMime ? pMime->data(pszFormat) : QByteArray();
}

class HexViewEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    ShowAndFocus(view, 4);
    SetBytes(view, Sequence(10));
    QGuiApplication::clipboard()->clear();
  }
  void TearDown() override { SetPopupMenuHook({}); }
  QApplication& app = TestApp();
  CHexView view;
};

TEST_F(HexViewEdit, AfterTheViewGrowsTheNewRowsTakeClicksAndCopy) {
  SetBytes(view, Sequence(200));
  const int nLineHeightPx = view.GetGeometry().nLineHeightPx;
  view.resize(view.width(), view.height() + 4 * nLineHeightPx);  // 8 whole rows now
  Click(view, CellPoint(view, 9 + 3 * 3, 6));                        // byte 99
  Click(view, CellPoint(view, 9 + 3 * 7, 6), Qt::ShiftModifier);     // to byte 103
  EXPECT_EQ(view.GetSelStart(), 99);
  EXPECT_EQ(view.GetSelEnd(), 104);
  view.OnEditCopy();
  EXPECT_EQ(ClipFormatData("BinaryData"), QByteArray("\x63\x64\x65\x66\x67"));
}

TEST_F(HexViewEdit, CopyPutsBinaryDataAndTheTextOfTheCaretsColumn) {
  const std::vector<BYTE> bytes{0x10, 0x47, 0x00, 0xFF, 0x20};
  SetBytes(view, bytes);
  struct Case {
    int nArea;
    int nStart, nEnd;
    QByteArray binary;
    QByteArray text;  // without the terminating zero
  };
  const Case cases[] = {
      {AREA_HEX_HIGH, 1, 4, QByteArray("\x47\x00\xFF", 3), "47 00 FF "},
      {AREA_HEX_LOW, 4, 1, QByteArray("\x47\x00\xFF", 3), "47 00 FF "},  // reversed ends
      {AREA_ADDRESS, 1, 4, QByteArray("\x47\x00\xFF", 3), "47 00 FF "},
      {AREA_CHAR, 1, 4, QByteArray("\x47\x00\xFF", 3), "G.."},
      {AREA_CHAR, 4, 1, QByteArray("\x47\x00\xFF", 3), "G.."},
      {AREA_HEX_HIGH, 2, 2, QByteArray(), ""},  // equal ends: both empty
      {AREA_CHAR, 3, 3, QByteArray(), ""},
  };
  for (const Case& c : cases) {
    QGuiApplication::clipboard()->setText("old");
    view.SetCaret(view.GetCaretAddr(), c.nArea);
    view.SetSelection(c.nStart, c.nEnd);
    view.OnEditCopy();
    EXPECT_EQ(ClipFormatData("BinaryData"), c.binary) << c.nStart << "," << c.nEnd;
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasFormat("BinaryData"));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toLatin1(), c.text) << c.nStart << "," << c.nEnd;
    QByteArray textBlock = c.text;
    textBlock.append('\0');
    EXPECT_EQ(GetClipboardBlock(ClipFormat::Text).value(), textBlock);
  }
  // Copy changes neither bytes, selection nor caret.
  EXPECT_EQ(Bytes(view), bytes);
  EXPECT_EQ(view.GetSelStart(), 3);
}

TEST_F(HexViewEdit, CopyWithoutASelectionOrAfterAFailedAllocationLeavesTheClipboard) {
  QGuiApplication::clipboard()->setText("keep");
  view.OnEditCopy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  view.SetSelection(1, 4);
  // The text block (the second allocation) fails: the byte block is released
  // (ASan would report it) and the clipboard keeps its text.
  static int s_nCalls = 0;
  s_nCalls = 0;
  SetBlockAllocatorForTesting([](std::size_t nBytes, bool bZeroed) -> void* {
    if (++s_nCalls == 2) return nullptr;
    return bZeroed ? std::calloc(nBytes, 1) : std::malloc(nBytes);
  });
  view.OnEditCopy();
  SetBlockAllocatorForTesting(nullptr);
  EXPECT_EQ(s_nCalls, 2);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
  EXPECT_FALSE(QGuiApplication::clipboard()->mimeData()->hasFormat("BinaryData"));
}

TEST_F(HexViewEdit, AOneEndedSelectionNeverReachesOutsideTheData) {
  // An anchor without its other end (a Shift+click that missed) selects nothing.
  view.SetSelection(7, -1);
  view.OnEditCopy();
  EXPECT_EQ(ClipFormatData("BinaryData"), QByteArray());
  view.OnEditCut();
  EXPECT_EQ(Bytes(view), Sequence(10));
  view.SetSelection(7, -1);
  view.OnEditClear();
  EXPECT_EQ(Bytes(view), Sequence(10));
  EXPECT_EQ(view.GetCaretAddr(), 7);
  // Ends past the data are cut back to it.
  view.SetSelection(8, 50);
  view.OnEditCopy();
  EXPECT_EQ(ClipFormatData("BinaryData"), QByteArray("\x08\x09", 2));
  view.OnEditClear();
  EXPECT_EQ(Bytes(view), Sequence(8));
}

TEST_F(HexViewEdit, CutAndClearOfBytes2To5) {
  view.SetCaret(9, view.GetCaretArea());
  view.SetSelection(6, 2);  // ends 6 and 2: the same bytes as 2 and 6
  view.OnEditCut();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 6, 7, 8, 9}));
  EXPECT_EQ(ClipFormatData("BinaryData"), QByteArray("\x02\x03\x04\x05", 4));
  EXPECT_EQ(view.GetCaretAddr(), 6);  // pulled back to the new length, not moved to 2
  EXPECT_EQ(view.GetSelStart(), -1);

  SetBytes(view, Sequence(10));
  QGuiApplication::clipboard()->setText("keep");
  view.SetCaret(9, view.GetCaretArea());
  view.SetSelection(2, 6);
  view.OnEditClear();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 6, 7, 8, 9}));
  EXPECT_EQ(view.GetCaretAddr(), 2);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("keep"));
}

TEST_F(HexViewEdit, PastePositions) {
  struct Case {
    int nCaret;
    int nArea;
    int nAt;  // where the bytes go
  };
  const Case cases[] = {
      {4, AREA_HEX_LOW, 5}, {4, AREA_HEX_HIGH, 4}, {4, AREA_CHAR, 4}, {4, AREA_ADDRESS, 4},
      {10, AREA_HEX_HIGH, 10},  // just behind the last byte: appended
      {9, AREA_HEX_LOW, 10},
      {40, AREA_CHAR, 10},      // a caret past the data appends
  };
  const BYTE pasted[2] = {0xAA, 0xBB};
  for (const Case& c : cases) {
    SetBytes(view, Sequence(10));
    SetClipboardBlocks(pasted, 2, "xx", 3);
    view.SetCaret(c.nCaret, c.nArea);
    view.OnEditPaste();
    std::vector<BYTE> expected = Sequence(10);
    expected.insert(expected.begin() + c.nAt, {0xAA, 0xBB});
    EXPECT_EQ(Bytes(view), expected) << "caret " << c.nCaret << " area " << c.nArea;
    EXPECT_EQ(view.GetCaretAddr(), std::min(c.nCaret, 12)) << "caret " << c.nCaret;  // the caret does not move
  }
}

TEST_F(HexViewEdit, PasteOverASelectionAndOfText) {
  // BinaryData is preferred over text.
  const BYTE pasted[3] = {0xAA, 0xBB, 0xCC};
  SetClipboardBlocks(pasted, 3, "ignored", 8);
  view.SetCaret(2, view.GetCaretArea());
  view.SetSelection(6, 2);
  view.OnEditPaste();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 1, 0xAA, 0xBB, 0xCC, 6, 7, 8, 9}));
  EXPECT_EQ(view.GetSelStart(), -1);
  EXPECT_EQ(view.GetSelEnd(), -1);
  EXPECT_EQ(view.GetCaretAddr(), 2);

  // A selection before the caret: the caret comes back within the new length.
  SetBytes(view, Sequence(10));
  view.SetCaret(10, view.GetCaretArea());
  view.SetSelection(1, 9);
  view.OnEditPaste();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 0xAA, 0xBB, 0xCC, 9}));
  EXPECT_EQ(view.GetCaretAddr(), 5);

  // Text from another program goes in with its terminating zero.
  SetBytes(view, Sequence(4));
  QGuiApplication::clipboard()->setText("Hi");
  view.SetCaret(1, AREA_CHAR);
  view.OnEditPaste();
  EXPECT_EQ(Bytes(view), (std::vector<BYTE>{0, 'H', 'i', 0, 1, 2, 3}));

  // Nothing on the clipboard: nothing happens.
  QGuiApplication::clipboard()->clear();
  view.OnEditPaste();
  EXPECT_EQ(Bytes(view).size(), 7u);
}

TEST_F(HexViewEdit, SelectAllAndUndo) {
  view.OnEditSelectAll();
  EXPECT_EQ(view.GetSelStart(), 0);
  EXPECT_EQ(view.GetSelEnd(), 10);
  EXPECT_FALSE(GetCaretState().bExists);
  view.OnEditCopy();
  EXPECT_EQ(ClipFormatData("BinaryData").size(), 10);
  view.OnEditUndo();
  EXPECT_EQ(Bytes(view), Sequence(10));
  EXPECT_TRUE(view.OnCommand(ID_EDIT_UNDO));
  EXPECT_FALSE(view.OnCommand(1234));
}

// The context menu seen through the tracking hook: items, states and point.
struct MenuSeen {
  std::vector<PopupMenuItem> items;
  QPoint pt;
  int nTimes = 0;
};

TEST_F(HexViewEdit, ContextMenuStatesAndChoice) {
  MenuSeen seen;
  UINT nChoose = 0;
  SetPopupMenuHook([&](const std::vector<PopupMenuItem>& items, QPoint pt) {
    seen.items = items;
    seen.pt = pt;
    ++seen.nTimes;
    return nChoose;
  });
  // Right-click without a selection: Copy greyed, Select All enabled.
  const QPoint ptClient = CellPoint(view, 20, 1);
  QContextMenuEvent ev(QContextMenuEvent::Mouse, ptClient, view.viewport()->mapToGlobal(ptClient));
  QApplication::sendEvent(view.viewport(), &ev);
  ASSERT_EQ(seen.nTimes, 1);
  ASSERT_EQ(seen.items.size(), 2u);
  EXPECT_EQ(seen.items[0].nID, ID_EDIT_COPY);
  EXPECT_EQ(seen.items[0].strText, QString("&Copy"));
  EXPECT_FALSE(seen.items[0].bEnabled);
  EXPECT_EQ(seen.items[1].nID, ID_EDIT_SELECT_ALL);
  EXPECT_EQ(seen.items[1].strText, QString("Select &All"));
  EXPECT_TRUE(seen.items[1].bEnabled);
  EXPECT_EQ(seen.pt, view.viewport()->mapToGlobal(ptClient));
  const int nCaret = view.GetCaretAddr();

  // Choosing Select All selects everything; then Copy is enabled and copies all.
  nChoose = ID_EDIT_SELECT_ALL;
  view.OnContextMenu(&view, POINT{100, 100});
  EXPECT_EQ(view.GetSelStart(), 0);
  EXPECT_EQ(view.GetSelEnd(), 10);
  EXPECT_EQ(view.GetCaretAddr(), nCaret);
  nChoose = ID_EDIT_COPY;
  view.OnContextMenu(&view, POINT{100, 100});
  EXPECT_TRUE(seen.items[0].bEnabled);
  EXPECT_EQ(ClipFormatData("BinaryData"), QByteArray(reinterpret_cast<const char*>(Sequence(10).data()), 10));

  // From the keyboard (Shift+F10): 5 pixels right of and below the top-left corner.
  nChoose = 0;
  QTest::keyClick(&view, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(seen.nTimes, 4);
  EXPECT_EQ(seen.pt, view.viewport()->mapToGlobal(QPoint(5, 5)));
  QContextMenuEvent keyEv(QContextMenuEvent::Keyboard, QPoint(50, 50), view.viewport()->mapToGlobal(QPoint(50, 50)));
  QApplication::sendEvent(view.viewport(), &keyEv);
  EXPECT_EQ(seen.nTimes, 5);
  EXPECT_EQ(seen.pt, view.viewport()->mapToGlobal(QPoint(5, 5)));
  // The menu changes neither selection nor caret by itself.
  EXPECT_EQ(view.GetSelStart(), 0);
  EXPECT_EQ(view.GetCaretAddr(), nCaret);

  // The full state table, on a menu that holds every edit command.
  auto states = [&] {
    PopupMenu full;
    for (UINT nID : {ID_EDIT_UNDO, ID_EDIT_CLEAR, ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE, ID_EDIT_SELECT_ALL}) {
      full.AppendItem(nID, "x");
    }
    view.ApplyEditCommandStates(full);
    std::string strStates;
    for (const PopupMenuItem& item : full.Items()) strStates += item.bEnabled ? '1' : '0';
    return strStates;
  };
  view.SetSelection(-1, -1);
  QGuiApplication::clipboard()->clear();
  EXPECT_EQ(states(), "000001");
  QGuiApplication::clipboard()->setText("t");
  EXPECT_EQ(states(), "000011");
  view.SetSelection(2, 2);
  QGuiApplication::clipboard()->clear();
  EXPECT_EQ(states(), "011101");
  const BYTE one = 1;
  SetClipboardBlocks(&one, 1, "", 1);
  EXPECT_EQ(states(), "011111");
}

}  // namespace
