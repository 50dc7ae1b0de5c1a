#pragma once
// The clipboard in the shape the system's code uses it: one entry holding the
// registered format "BinaryData" (raw bytes, nothing else) and 8-bit text.
//
// Behaviour callers rely on:
//  - SetClipboardBlocks replaces the whole clipboard with exactly these two
//    formats, or, when it fails (memory), leaves the clipboard as it was and
//    returns FALSE.
//  - Text is given and returned as 8-bit blocks that end with their terminating
//    zero, as the system's text blocks do; on the clipboard itself the text is
//    text/plain without the zero. A text block read back therefore counts one
//    zero byte more than its characters.
//  - "BinaryData" is read back exactly as it was written, also when empty.
//  - On X11 Qt hands the clipboard's content to a running clipboard manager when
//    the QApplication is destroyed, so copied data outlive the process there;
//    programs must let their QApplication be destroyed normally for that.
#include <QByteArray>
#include <functional>
#include <optional>

#include "platform/wintypes.h"

// The registered format's name, also its MIME type on the clipboard.
inline constexpr char kBinaryDataFormat[] = "BinaryData";

enum class ClipFormat { BinaryData, Text };

// pText points at nTextBytes bytes whose last one is the terminating zero; the
// text ends at the first zero.
BOOL SetClipboardBlocks(const BYTE* pBinary, UINT nBinaryBytes, const char* pText, UINT nTextBytes);

// Offers the 8-bit text (nTextBytes with its terminating zero) as the primary
// selection, which a middle click pastes on X11. FALSE where the platform has no
// primary selection or memory runs out; the clipboard itself is not touched.
BOOL SetPrimarySelectionText(const char* pText, UINT nTextBytes);
// Tests: while a hook is installed on the calling thread, SetPrimarySelectionText
// hands it the text (without its zero) instead, as offscreen has no primary
// selection. An empty function removes it.
void SetPrimarySelectionHookForTesting(std::function<void(const QByteArray& text)> hook);

BOOL IsClipboardFormatAvailable(ClipFormat format);

// The format's block, or nothing when the clipboard does not hold it or memory
// runs out. A text block is the 8-bit text plus its terminating zero.
std::optional<QByteArray> GetClipboardBlock(ClipFormat format);
