#include "app/packetcells.h"

#include <QtCore/QStringDecoder>
#include <algorithm>
#include <cstring>

QString DisplayableText(const QString& strText) {
  QString strOut = strText;
  for (QChar& ch : strOut) {
    const QChar::Category cat = ch.category();
    if (cat == QChar::Other_Control || cat == QChar::Separator_Line ||
        cat == QChar::Separator_Paragraph) {
      ch = kControlMark;
    }
  }
  return strOut;
}

QString PayloadText(const char* pText, qsizetype nLength, qsizetype nMaxChars) {
  QByteArrayView bytes(pText, nLength);
  // Every byte gives at most one unit, and no character takes more than four
  // bytes (a surrogate pair too); which reading applies still depends on all
  // of the bytes.
  const bool bCut = nMaxChars >= 0 && nMaxChars < nLength;
  if (bCut) {
    if (!bytes.isValidUtf8()) return QString::fromLatin1(pText, nMaxChars);
    bytes.truncate(std::min(nLength, 4 * nMaxChars));
  }
  QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
  QString strText = decoder.decode(bytes);
  if (!bCut) return decoder.hasError() ? QString::fromLatin1(pText, nLength) : strText;
  strText.truncate(nMaxChars);  // a sequence the cut split is past this point
  return strText;
}

QString PacketCellText(const PacketRecord& rec, int nSubItem, qsizetype nMaxChars) {
  switch (nSubItem) {
    case 0: return DisplayableText(QString::fromLocal8Bit(rec.strProt));
    case 1: return QString::number(rec.wSize);
    case 2: return DisplayableText(QString::fromLocal8Bit(rec.strSrcAddr));
    case 3: return QString::number(rec.nSrcPort);
    case 4: return DisplayableText(QString::fromLocal8Bit(rec.strDesAddr));
    case 5: return QString::number(rec.nDesPort);
    case 6: {
      if (!rec.pData) return QString();
      // The block is zero-terminated text, but never read past its 1500 bytes.
      const char* psz = reinterpret_cast<const char*>(rec.pData);
      const std::size_t nLen = strnlen(psz, PACKET_BUFFER_SIZE);
      return DisplayableText(PayloadText(psz, static_cast<qsizetype>(nLen), nMaxChars));
    }
    default: return QString();
  }
}
