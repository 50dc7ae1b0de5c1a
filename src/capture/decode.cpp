#include "capture/decode.h"

#include <algorithm>
#include <cstdio>

namespace {
// Header sizes in front of the payload.
constexpr int kIcmpHeaderBytes = 4;  // type, code, checksum; identifier and sequence count as payload
constexpr int kUdpHeaderBytes = 8;
}  // namespace

void FormatIPv4(DWORD dwAddr, char (&szText)[16]) {
  std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", (dwAddr >> 24) & 0xFFu, (dwAddr >> 16) & 0xFFu,
                (dwAddr >> 8) & 0xFFu, dwAddr & 0xFFu);
}

DecodedDatagram DecodeDatagram(const ByteReader& reader, int nOffset, WORD wSize) {
  DecodedDatagram dg;
  dg.wSize = wSize;
  FormatIPv4(reader.BE32(nOffset + 12), dg.szSrcAddr);
  FormatIPv4(reader.BE32(nOffset + 16), dg.szDesAddr);
  dg.nProt = reader.U8(nOffset + 9);
  // Malformed when below 20 bytes (5 words); used as it stands, like every
  // other field whose value is out of range.
  const int nIpHeaderBytes = (reader.U8(nOffset) & 0x0F) * 4;
  const int nTransport = nOffset + nIpHeaderBytes;

  int nPayload = -1;
  switch (dg.nProt) {
    case kProtIcmp:
      nPayload = nTransport + kIcmpHeaderBytes;
      break;
    case kProtTcp:
      dg.nSrcPort = reader.BE16(nTransport);
      dg.nDesPort = reader.BE16(nTransport + 2);
      // Data offset in 32-bit words; below 5 is malformed and used unchanged.
      nPayload = nTransport + (reader.U8(nTransport + 12) >> 4) * 4;
      break;
    case kProtUdp:
      dg.nSrcPort = reader.BE16(nTransport);
      dg.nDesPort = reader.BE16(nTransport + 2);
      nPayload = nTransport + kUdpHeaderBytes;
      break;
    default:
      break;
  }

  // A datagram ends at its total length: the bytes behind it belong to the
  // next one. A total length of 0 states no end, so the received end bounds it.
  const int nEnd = std::min(wSize > 0 ? nOffset + wSize : reader.Size(), reader.Size());
  if (nPayload >= 0 && nPayload < nEnd) {
    dg.nPayloadOffset = nPayload;
    dg.nPayloadLen = nEnd - nPayload;
  }
  return dg;
}
