// Random keys, clicks, drags, scrolls, edits and pastes on a view and on a model of its bytes, caret and
// selection, which must agree after every step. Where the view scrolls, the top index is the model's input.
#include <gtest/gtest.h>

#include <QClipboard>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <tuple>

#include "hexview/hexkeys.h"
#include "hexview_test_util.h"
#include "platform/ui/clipboard.h"

namespace {

constexpr int kRow = 16;

struct RandomOps {
  CHexView& m_view;
  std::mt19937 m_rng;
  std::vector<BYTE> m_bytes;
  int m_nCaret = 0, m_nArea = AREA_HEX_HIGH, m_nSelStart = -1, m_nSelEnd = -1;
  bool m_bTyping = false, m_bEdited = false;

  void Run(int nSteps) {
    NewData();
    for (int nStep = 0; nStep < nSteps; ++nStep) {
      const int nOp = Pick(0, 10);
      m_bEdited = false;
      Step(nOp);
      ASSERT_EQ(Bytes(m_view), m_bytes) << "step " << nStep << " op " << nOp;
      ASSERT_EQ(std::tuple(m_view.GetCaretAddr(), m_view.GetCaretArea(), m_view.GetSelStart(), m_view.GetSelEnd()),
                std::tuple(m_nCaret, m_nArea, m_nSelStart, m_nSelEnd)) << "step " << nStep << " op " << nOp;
      // After an edit the page shows no blank rows below the data unless it starts at the top.
      const int nTop = m_view.GetTopIndex();
      const int nPageRows = m_view.viewport()->height() / m_view.GetGeometry().nLineHeightPx;
      ASSERT_TRUE(!m_bEdited || nTop == 0 || nTop + (nPageRows - 1) * kRow < Len()) << "step " << nStep;
      m_view.viewport()->repaint();  // painting reads every shown byte
    }
  }

  int Pick(int nLo, int nHi) { return std::uniform_int_distribution<int>(nLo, nHi)(m_rng); }
  int Len() const { return static_cast<int>(m_bytes.size()); }
  SelRange Sel() const { return SelectionRange(m_nSelStart, m_nSelEnd, Len()); }
  void ClampCaret() { m_nCaret = std::clamp(m_nCaret, 0, Len()); }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&m_view, key, mods); }
  // A moving end that takes in the byte under the caret does so in the hex column only.
  int EndAtCaret(bool bTakeByte) const { return m_nCaret + (bTakeByte && IsHexArea(m_nArea) ? 1 : 0); }
  void StepBy(int dx, int dy) {
    const CaretSpot spot = StepCaret(CaretSpot{m_nCaret, m_nArea}, dx, dy, kRow, Len());
    std::tie(m_nCaret, m_nArea) = std::pair(spot.nAddr, spot.nArea);
  }
  bool HitAt(QPoint pt) {
    const HitResult hit = HitTestPoint(m_view.GetGeometry(), pt.x(), pt.y());
    if (hit.bHit) std::tie(m_nCaret, m_nArea) = std::pair(hit.nAddr, hit.nArea);
    return hit.bHit;
  }
  // Bytes nFrom..nTo-1 replaced; an edit clears the selection and pulls the caret back to the end.
  void Splice(int nFrom, int nTo, const QByteArray& block = {}) {
    m_bytes.erase(m_bytes.begin() + nFrom, m_bytes.begin() + nTo);
    m_bytes.insert(m_bytes.begin() + nFrom, block.begin(), block.end());
    m_nSelStart = m_nSelEnd = -1;
    m_nCaret = std::min(m_nCaret, Len());
    m_bEdited = true;
  }
  void NewData() {
    m_bytes.resize(static_cast<size_t>(Pick(0, 300)));
    for (BYTE& nByte : m_bytes) nByte = static_cast<BYTE>(Pick(0, 255));
    SetBytes(m_view, m_bytes);
    std::tie(m_nCaret, m_nArea, m_nSelStart, m_nSelEnd) = std::tuple(0, AREA_HEX_HIGH, -1, -1);
  }
  QPoint RandomPoint() {
    return QPoint(Pick(-60, m_view.viewport()->width() + 60), Pick(-40, m_view.viewport()->height() + 40));
  }

  // A press (Shift extends from the old caret), moves with the button held, a release.
  void MouseOp() {
    const bool bShift = Pick(0, 3) == 0;
    const Qt::KeyboardModifiers mods = bShift ? Qt::ShiftModifier : Qt::NoModifier;
    const QPoint ptPress = RandomPoint();
    if (bShift) m_nSelStart = m_nCaret;
    if (HitAt(ptPress) && bShift) m_nSelEnd = EndAtCaret(true);
    Mouse(m_view, QEvent::MouseButtonPress, ptPress, mods);
    bool bUndecided = !bShift, bDragged = false;  // a plain press waits to be a drag or a click
    for (int i = Pick(0, 3); i > 0; --i) {
      QPoint pt = Pick(0, 2) ? RandomPoint() : ptPress + QPoint(Pick(-3, 3), Pick(-3, 3));
      Mouse(m_view, QEvent::MouseMove, pt, mods);
      if (bUndecided && (pt - ptPress).manhattanLength() < QApplication::startDragDistance()) continue;
      if (bUndecided) m_nSelStart = m_nSelEnd = m_nCaret;  // a drag starts at the press point
      bUndecided = false;
      if (m_nSelStart == -1) continue;
      bDragged = true;
      // Past the top or bottom edge the view scrolls a row and the edge row takes the hit.
      const int hPx = m_view.viewport()->height();
      if (!m_view.viewport()->rect().contains(pt)) pt.setY(pt.y() < 0 ? 0 : pt.y() > hPx ? hPx - 1 : pt.y());
      if (HitAt(pt)) m_nSelEnd = EndAtCaret(true);
    }
    Mouse(m_view, QEvent::MouseButtonRelease, RandomPoint(), mods);
    if (bUndecided) m_nSelStart = m_nSelEnd = -1;  // a click clears the selection
    EXPECT_FALSE(bDragged && GetCaretState().bExists);  // no caret while the mouse selects
    if (Pick(0, 3) == 0) {  // a double click changes nothing
      Mouse(m_view, QEvent::MouseButtonDblClick, ptPress, mods);
      Mouse(m_view, QEvent::MouseButtonRelease, ptPress, mods);
    }
  }

  void NavigationKey() {
    const Qt::Key key = std::array{Qt::Key_Left,     Qt::Key_Right, Qt::Key_Up,  Qt::Key_Down, Qt::Key_PageUp,
                                   Qt::Key_PageDown, Qt::Key_Home,  Qt::Key_End, Qt::Key_Tab}[Pick(0, 8)];
    const bool bShift = Pick(0, 2) == 0, bCtrl = Pick(0, 3) == 0;
    Key(key, (bShift ? Qt::ShiftModifier : Qt::NoModifier) | (bCtrl ? Qt::ControlModifier : Qt::NoModifier));
    if (key == Qt::Key_Tab && bCtrl) return;  // only moves the focus on
    ClampCaret();
    if (key == Qt::Key_Tab) m_nArea = IsHexArea(m_nArea) ? AREA_CHAR : AREA_HEX_HIGH;
    if (key == Qt::Key_Tab) return;  // switches columns, keeps the selection
    if (!bShift) m_nSelStart = m_nSelEnd = -1;
    if (bShift && m_nSelStart == -1) m_nSelStart = m_nCaret;
    StepBy(key == Qt::Key_Left ? -1 : key == Qt::Key_Right ? 1 : 0, key == Qt::Key_Up ? -1 : key == Qt::Key_Down);
    // The page keys move the caret a page, within the data.
    const long long nPage = static_cast<long long>(m_view.GetGeometry().nRowsPerPage) * kRow;
    if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
      m_nCaret = PageStepAddr(m_nCaret, key == Qt::Key_PageUp ? -nPage : nPage, Len());
    }
    if (key == Qt::Key_Home) m_nCaret = bCtrl ? 0 : HomeAddr(m_nCaret, kRow);
    if (key == Qt::Key_End) m_nCaret = bCtrl ? LastByteAddr(Len()) : EndAddr(m_nCaret, kRow, Len());
    if (bShift) m_nSelEnd = EndAtCaret(key == Qt::Key_Right || key == Qt::Key_Down);
  }

  // Typing and Backspace do nothing while typing is off.
  void Type(char ch) {
    QTest::keyClicks(&m_view, QString(QLatin1Char(ch)));
    if (!m_bTyping) return;
    ClampCaret();
    if (ch == '\b') {  // Backspace: the byte before the caret goes
      if (m_nCaret == 0) return;
      --m_nCaret;
      return Splice(m_nCaret, m_nCaret + 1);
    }
    m_nSelStart = m_nSelEnd = -1;  // typing never replaces a selection
    const int nDigit = HexDigitValue(static_cast<UINT>(ch));
    if (m_nArea == AREA_ADDRESS || (IsHexArea(m_nArea) && nDigit < 0)) return;
    if (m_nCaret < Len()) {
      BYTE& nByte = m_bytes[static_cast<size_t>(m_nCaret)];
      nByte = m_nArea == AREA_CHAR ? static_cast<BYTE>(ch) : SetNibble(nByte, m_nArea == AREA_HEX_HIGH, nDigit);
    }
    StepBy(1, 0);
  }

  // Over the selection, else at the caret (behind its byte on the low digit),
  // BinaryData before text; the caret keeps its index within the new length.
  void Paste() {
    const bool bBinary = IsClipboardFormatAvailable(ClipFormat::BinaryData);
    const std::optional<QByteArray> block = GetClipboardBlock(bBinary ? ClipFormat::BinaryData : ClipFormat::Text);
    m_view.OnEditPaste();
    if (!block) return;
    const SelRange sel = Sel();
    const int nCaret = m_nCaret;
    const int nAt = sel.bExists ? sel.nLo : PasteAddr(m_nCaret, m_nArea, Len());
    Splice(nAt, sel.bExists ? sel.nHi : nAt, *block);
    m_nCaret = std::clamp(nCaret, 0, Len());
  }

  void Step(int nOp) {
    const SelRange sel = Sel();
    switch (nOp) {
      case 0: case 1: NavigationKey(); break;
      case 2: MouseOp(); break;
      case 3:  // scroll codes: the caret keeps its byte
        m_view.OnVScroll(static_cast<UINT>(Pick(0, 8)), static_cast<UINT>(Pick(0, 30)));
        break;
      case 4:  // Insert: as many zero bytes as the selection's ends span, else one
        Key(Qt::Key_Insert);
        ClampCaret();
        Splice(m_nCaret, m_nCaret, QByteArray(InsertCount(m_nSelStart, m_nSelEnd), '\0'));
        break;
      case 5:  // Delete: the selection, else the byte at the caret, else the last one
        Key(Qt::Key_Delete);
        ClampCaret();
        if (sel.bExists) m_nCaret = sel.nLo;
        if (sel.bExists || Len() > 0) Splice(sel.bExists ? sel.nLo : std::min(m_nCaret, Len() - 1),
                                             sel.bExists ? sel.nHi : std::min(m_nCaret + 1, Len()));
        break;
      case 6: Type("0123456789abcdefAXz~ \b"[Pick(0, 21)]); break;
      case 7: {  // cut copies (no bytes: nothing) and keeps the caret's index, clear moves the caret to the first byte
        const bool bCut = Pick(0, 1);
        const std::optional<QByteArray> before = GetClipboardBlock(ClipFormat::BinaryData);
        bCut ? m_view.OnEditCut() : m_view.OnEditClear();
        const QByteArray bytes(reinterpret_cast<const char*>(m_bytes.data()) + sel.nLo, sel.nHi - sel.nLo);
        EXPECT_TRUE(!bCut || !sel.bExists || GetClipboardBlock(ClipFormat::BinaryData) == (bytes.isEmpty() ? before : bytes));
        if (!bCut && sel.bExists) m_nCaret = sel.nLo;
        if (sel.bExists) Splice(sel.nLo, sel.nHi);
        break;
      }
      case 8: {  // a paste of random bytes or of another program's text
        QByteArray bytes(Pick(0, 6), '\0');
        for (char& ch : bytes) ch = static_cast<char>(Pick(0, 255));
        const auto* pBytes = reinterpret_cast<const BYTE*>(bytes.data());
        if (Pick(0, 1)) SetClipboardBlocks(pBytes, static_cast<UINT>(bytes.size()), "t", 2);
        else QGuiApplication::clipboard()->setText(QString::fromLatin1("text").left(Pick(0, 4)));
        Paste();
        break;
      }
      case 9:
        m_view.OnEditSelectAll();
        std::tie(m_nSelStart, m_nSelEnd) = std::pair(0, Len());
        break;
      default:
        if (Pick(0, 5) == 0) NewData();
        m_bTyping = Pick(0, 1);
        m_view.SetAllowTyping(m_bTyping);
    }
  }

};

TEST(HexViewRandom, AgreesWithAModelOfBytesCaretAndSelection) {
  TestApp();
  for (unsigned nSeed : {1u, 7u, 2024u}) {
    CHexView view;
    ShowAndFocus(view, 5);
    RandomOps ops{view, std::mt19937(nSeed), {}};
    ASSERT_NO_FATAL_FAILURE(ops.Run(2500)) << "seed " << nSeed;
  }
}

}  // namespace
