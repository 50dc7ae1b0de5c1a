// Long random sequences of keys, clicks, drags, scrolls, edits and pastes applied
// to a view and to a plain byte-vector model. After every step the bytes must
// agree and no index may leave its limits; the ASan build catches any read or
// write outside the view's block on the way.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>

#include <algorithm>
#include <random>

#include "hexview_test_util.h"
#include "platform/ui/clipboard.h"

namespace {

using Model = std::vector<BYTE>;

class RandomOps {
 public:
  RandomOps(CHexView& view, unsigned nSeed) : m_view(view), m_rng(nSeed) {}

  void Run(int nSteps) {
    for (int nStep = 0; nStep < nSteps; ++nStep) {
      const int nOp = Pick(0, 14);
      Step(nOp);
      ASSERT_NO_FATAL_FAILURE(Check(nStep, nOp));
    }
  }

 private:
  int Pick(int nLo, int nHi) { return std::uniform_int_distribution<int>(nLo, nHi)(m_rng); }
  int Len() const { return static_cast<int>(m_model.size()); }
  SelRange Sel() const { return SelectionRange(m_view.GetSelStart(), m_view.GetSelEnd(), Len()); }
  int ClampedCaret() const { return std::clamp(m_view.GetCaretAddr(), 0, Len()); }

  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&m_view, key, mods); }

  QPoint RandomPoint() {
    const int wPx = m_view.viewport()->width();
    const int hPx = m_view.viewport()->height();
    return QPoint(Pick(-60, wPx + 60), Pick(-40, hPx + 40));
  }

  void Step(int nOp) {
    m_bKeyStep = false;
    switch (nOp) {
      case 0:
      case 1: {  // navigation keys, with and without Shift and Ctrl
        static const Qt::Key kKeys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up,  Qt::Key_Down,
                                        Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End,
                                        Qt::Key_Tab};
        Qt::KeyboardModifiers mods;
        if (Pick(0, 2) == 0) mods |= Qt::ShiftModifier;
        if (Pick(0, 3) == 0) mods |= Qt::ControlModifier;
        const Qt::Key key = kKeys[Pick(0, 8)];
        Key(key, mods);
        // Ctrl+Tab is no key of the view's: it only moves the focus on.
        m_bKeyStep = !(key == Qt::Key_Tab && mods.testFlag(Qt::ControlModifier));
        break;
      }
      case 2: {  // a click, a Shift+click or a drag, anywhere, also outside
        const Qt::KeyboardModifiers mods = Pick(0, 3) == 0 ? Qt::ShiftModifier : Qt::NoModifier;
        Press(m_view, RandomPoint(), mods);
        for (int i = Pick(0, 3); i > 0; --i) MoveHeld(m_view, RandomPoint(), mods);
        Release(m_view, RandomPoint(), mods);
        break;
      }
      case 3:  // scroll-bar codes, the caret moving with the view
        m_view.OnVScroll(static_cast<UINT>(Pick(0, 8)), static_cast<UINT>(Pick(0, 30)));
        break;
      case 4: {  // Insert
        const long long nSpan = static_cast<long long>(m_view.GetSelEnd()) - m_view.GetSelStart();
        const int nCount = nSpan >= 1 ? static_cast<int>(nSpan) : 1;
        const int nAt = ClampedCaret();
        if (m_view.GetData()) m_model.insert(m_model.begin() + nAt, static_cast<size_t>(nCount), 0);
        Key(Qt::Key_Insert, Pick(0, 1) ? Qt::ShiftModifier : Qt::NoModifier);
        m_bKeyStep = true;
        break;
      }
      case 5: {  // Delete
        const SelRange sel = Sel();
        const int nCaret = ClampedCaret();
        if (sel.bExists) {
          m_model.erase(m_model.begin() + sel.nLo, m_model.begin() + sel.nHi);
        } else if (nCaret < Len()) {
          m_model.erase(m_model.begin() + nCaret);
        } else if (Len() > 0) {
          m_model.pop_back();
        }
        Key(Qt::Key_Delete);
        m_bKeyStep = true;
        break;
      }
      case 6:
      case 7: {  // typing, with typing allowed or not
        static const char kChars[] = "0123456789abcdefAXz~ ";
        const bool bAllowed = m_view.GetAllowTyping();
        const int nChoice = Pick(0, 25);
        if (nChoice < 21) {
          const char ch = kChars[nChoice];
          if (bAllowed) PredictTyped(static_cast<BYTE>(ch));
          QTest::keyClicks(&m_view, QString(QLatin1Char(ch)));
        } else if (nChoice == 21) {
          const int nCaret = ClampedCaret();
          if (bAllowed && nCaret > 0) m_model.erase(m_model.begin() + nCaret - 1);
          Key(Qt::Key_Backspace);
        } else if (nChoice == 22) {  // Ctrl+X
          const SelRange sel = Sel();
          if (bAllowed && sel.bExists) m_model.erase(m_model.begin() + sel.nLo, m_model.begin() + sel.nHi);
          Key(Qt::Key_X, Qt::ControlModifier);
        } else if (nChoice == 23) {  // Ctrl+V
          if (bAllowed) PredictPaste();
          Key(Qt::Key_V, Qt::ControlModifier);
        } else {
          Key(nChoice == 24 ? Qt::Key_C : Qt::Key_Z, Qt::ControlModifier);
        }
        // Characters that do nothing (typing off, Ctrl+C, Ctrl+Z) leave the caret
        // where a click put it, so only the bytes are checked here.
        break;
      }
      case 8: {  // copy: the clipboard holds exactly the selected bytes
        const SelRange sel = Sel();
        QGuiApplication::clipboard()->setText("before");
        m_view.OnEditCopy();
        const QByteArray binary = QGuiApplication::clipboard()->mimeData()->data("BinaryData");
        if (sel.bExists && m_view.GetData()) {
          EXPECT_EQ(binary, QByteArray(reinterpret_cast<const char*>(m_model.data()) + sel.nLo, sel.nHi - sel.nLo));
        } else {
          EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("before"));
        }
        break;
      }
      case 9: {  // cut or clear
        const SelRange sel = Sel();
        if (sel.bExists && m_view.GetData()) m_model.erase(m_model.begin() + sel.nLo, m_model.begin() + sel.nHi);
        if (Pick(0, 1)) {
          m_view.OnEditCut();
        } else {
          m_view.OnEditClear();
        }
        break;
      }
      case 10: {  // paste of random bytes or text
        std::vector<BYTE> bytes(static_cast<size_t>(Pick(0, 6)));
        for (BYTE& nByte : bytes) nByte = static_cast<BYTE>(Pick(0, 255));
        if (Pick(0, 1)) {
          SetClipboardBlocks(bytes.data(), static_cast<UINT>(bytes.size()), "t", 2);
        } else {
          QGuiApplication::clipboard()->setText(QString::fromLatin1("text").left(Pick(0, 4)));
        }
        PredictPaste();
        m_view.OnEditPaste();
        break;
      }
      case 11:
        m_view.OnEditSelectAll();
        break;
      case 12: {  // direct byte edits, valid or not
        const int nFrom = Pick(-2, Len() + 2);
        const int nTo = Pick(-2, Len() + 2);
        const bool bValid = m_view.GetData() && nFrom >= 0 && nFrom <= nTo && nTo <= Len();
        if (bValid) m_model.erase(m_model.begin() + nFrom, m_model.begin() + nTo);
        EXPECT_EQ(m_view.DeleteBytes(nFrom, nTo), bValid ? TRUE : FALSE);
        const int nAt = Pick(-2, Len() + 2);
        const int nCount = Pick(-1, 4);
        const bool bInsValid = m_view.GetData() && nAt >= 0 && nAt <= Len() && nCount >= 1;
        if (bInsValid) m_model.insert(m_model.begin() + nAt, static_cast<size_t>(nCount), 0);
        EXPECT_EQ(m_view.InsertBytes(nAt, nCount), bInsValid ? TRUE : FALSE);
        break;
      }
      case 13: {  // new data, now and then
        if (Pick(0, 5) != 0) break;
        m_model.resize(static_cast<size_t>(Pick(0, 300)));
        for (BYTE& nByte : m_model) nByte = static_cast<BYTE>(Pick(0, 255));
        SetBytes(m_view, m_model);
        break;
      }
      default:
        m_view.SetAllowTyping(Pick(0, 1));
        break;
    }
  }

  void PredictTyped(BYTE ch) {
    if (!m_view.GetData()) return;
    const int nCaret = ClampedCaret();
    const bool bOnByte = nCaret < Len();
    switch (m_view.GetCaretArea()) {
      case AREA_CHAR:
        if (bOnByte) m_model[static_cast<size_t>(nCaret)] = ch;
        break;
      case AREA_HEX_HIGH:
      case AREA_HEX_LOW: {
        int nValue = -1;
        if (ch >= '0' && ch <= '9') nValue = ch - '0';
        if (ch >= 'a' && ch <= 'f') nValue = ch - 'a' + 10;
        if (nValue < 0 || !bOnByte) break;
        BYTE& nByte = m_model[static_cast<size_t>(nCaret)];
        nByte = m_view.GetCaretArea() == AREA_HEX_HIGH ? static_cast<BYTE>(nValue * 16 + (nByte & 0x0F))
                                                     : static_cast<BYTE>((nByte & 0xF0) + nValue);
        break;
      }
      default: break;
    }
  }

  void PredictPaste() {
    if (!m_view.GetData()) return;
    const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
    QByteArray block;
    if (pMime && pMime->hasFormat("BinaryData")) {
      block = pMime->data("BinaryData");
    } else if (pMime && pMime->hasText()) {
      block = pMime->text().toLocal8Bit();
      block.append('\0');
    } else {
      return;
    }
    const SelRange sel = Sel();
    int nAt = 0;
    if (sel.bExists) {
      m_model.erase(m_model.begin() + sel.nLo, m_model.begin() + sel.nHi);
      nAt = sel.nLo;
    } else {
      const long long nPoint = static_cast<long long>(m_view.GetCaretAddr()) + (m_view.GetCaretArea() == AREA_HEX_LOW ? 1 : 0);
      nAt = static_cast<int>(std::clamp<long long>(nPoint, 0, Len()));
    }
    m_model.insert(m_model.begin() + nAt, block.begin(), block.end());
  }

  void Check(int nStep, int nOp) {
    if (!m_view.GetData()) {
      ASSERT_TRUE(m_model.empty()) << "step " << nStep;
      return;
    }
    ASSERT_EQ(m_view.GetLength(), Len()) << "step " << nStep << " op " << nOp;
    ASSERT_EQ(Bytes(m_view), m_model) << "step " << nStep << " op " << nOp;
    ASSERT_GE(m_view.GetTopIndex(), 0) << "step " << nStep;
    ASSERT_GE(m_view.GetCaretArea(), AREA_ADDRESS);
    ASSERT_LE(m_view.GetCaretArea(), AREA_HEX_LOW);
    if (m_bKeyStep) {
      ASSERT_GE(m_view.GetCaretAddr(), 0) << "step " << nStep << " op " << nOp;
      ASSERT_LE(m_view.GetCaretAddr(), Len()) << "step " << nStep << " op " << nOp;
    }
    // Paint after every step: painting reads every shown byte.
    m_view.viewport()->repaint();
  }

  CHexView& m_view;
  std::mt19937 m_rng;
  Model m_model;
  bool m_bKeyStep = false;
};

TEST(HexViewRandom, AgreesWithAByteVectorModel) {
  TestApp();
  for (unsigned nSeed : {1u, 7u, 2024u}) {
    CHexView view;
    ShowAndFocus(view, 5, 80);
    RandomOps ops(view, nSeed);
    ASSERT_NO_FATAL_FAILURE(ops.Run(2500)) << "seed " << nSeed;
  }
}

}  // namespace
