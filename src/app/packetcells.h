#pragma once
// The texts of a packet row's cells, read from its record alone: no view, no
// font and no model is needed to know what a cell says.
#include <QtCore/QString>

#include "capture/packetrecord.h"

// What a control character is shown as, so that a row never breaks onto
// several lines (MIDDLE DOT).
constexpr QChar kControlMark(0x00B7);

// The text of sub-item nSubItem of a record's row: 0 protocol, 1 size, 2 source
// address, 3 source port, 4 destination address, 5 destination port, 6 the
// payload block read as text up to its first zero byte (at most the block's
// 1500 bytes). Texts are decoded with the locale's 8-bit codec (PayloadText for
// the payload); control characters are shown as U+00B7 so that a row never
// breaks onto several lines. Out-of-range sub-items and a null block give empty
// text. With nMaxChars >= 0 the payload's text stops after that many UTF-16
// units (the start of the whole text: painting a cell needs no more than it
// can show).
QString PacketCellText(const PacketRecord& rec, int nSubItem, qsizetype nMaxChars = -1);
// The payload as text: the locale's (UTF-8) reading when every byte of it is
// valid there, else each byte as its Latin-1 character, so that a text in an
// 8-bit code page shows its letters instead of replacement characters. With
// nMaxChars >= 0, only the first nMaxChars UTF-16 units of that text.
QString PayloadText(const char* pText, qsizetype nLength, qsizetype nMaxChars = -1);
// Replaces every control character (C0, DEL, C1) and line or paragraph separator
// with U+00B7; other characters are kept.
QString DisplayableText(const QString& strText);
