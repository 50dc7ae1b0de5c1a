#include "platform/ui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

BOOL SetClipboardBlocks(const BYTE* pBinary, UINT nBinaryBytes, const char* pText, UINT nTextBytes) {
  QClipboard* pClipboard = QGuiApplication::clipboard();
  if (!pClipboard) return FALSE;
  // Qt reports memory exhaustion as std::bad_alloc; the clipboard is only
  // replaced once the whole entry is built.
  try {
    auto pMime = std::make_unique<QMimeData>();
    pMime->setData(kBinaryDataFormat,
                   QByteArray(reinterpret_cast<const char*>(pBinary), static_cast<qsizetype>(nBinaryBytes)));
    const qsizetype nTextChars = (pText && nTextBytes > 0) ? static_cast<qsizetype>(strnlen(pText, nTextBytes)) : 0;
    pMime->setData("text/plain", QByteArray(pText ? pText : "", nTextChars));
    pClipboard->setMimeData(pMime.release());  // the clipboard owns it from here
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
  return TRUE;
}

namespace {
thread_local std::function<void(const QByteArray&)> t_primaryHook;
}

void SetPrimarySelectionHookForTesting(std::function<void(const QByteArray& text)> hook) {
  t_primaryHook = std::move(hook);
}

BOOL SetPrimarySelectionText(const char* pText, UINT nTextBytes) {
  QClipboard* pClipboard = QGuiApplication::clipboard();
  if (!pText || (!t_primaryHook && (!pClipboard || !pClipboard->supportsSelection()))) return FALSE;
  try {
    const QByteArray text(pText, static_cast<qsizetype>(strnlen(pText, nTextBytes)));
    if (t_primaryHook) {
      t_primaryHook(text);
      return TRUE;
    }
    auto pMime = std::make_unique<QMimeData>();
    pMime->setData("text/plain", text);
    pClipboard->setMimeData(pMime.release(), QClipboard::Selection);
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
  return TRUE;
}

BOOL IsClipboardFormatAvailable(ClipFormat format) {
  const QClipboard* pClipboard = QGuiApplication::clipboard();
  const QMimeData* pMime = pClipboard ? pClipboard->mimeData() : nullptr;
  if (!pMime) return FALSE;
  return format == ClipFormat::BinaryData ? pMime->hasFormat(kBinaryDataFormat) : pMime->hasText();
}

std::optional<QByteArray> GetClipboardBlock(ClipFormat format) {
  const QClipboard* pClipboard = QGuiApplication::clipboard();
  const QMimeData* pMime = pClipboard ? pClipboard->mimeData() : nullptr;
  if (!pMime) return std::nullopt;
  try {
    if (format == ClipFormat::BinaryData) {
      if (!pMime->hasFormat(kBinaryDataFormat)) return std::nullopt;
      return pMime->data(kBinaryDataFormat);
    }
    if (!pMime->hasText()) return std::nullopt;
    // The 8-bit text of the locale, as the system's text format carries it.
    QByteArray block = pMime->text().toLocal8Bit();
    block.append('\0');
    return block;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}
