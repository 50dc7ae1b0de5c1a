#include "capture/decode.h"

#include <algorithm>

namespace {
// Header sizes in front of the payload.
constexpr int kIcmpHeaderBytes = 4;  // type, code, checksum; identifier and sequence count as payload
constexpr int kUdpHeaderBytes = 8;
constexpr WORD kFragmentOffsetMask = 0x1FFF;  // bytes 6-7 of the IPv4 header, below the three flags
}  // namespace

// By hand: snprintf took a fifth of the capture thread's time per datagram.
void FormatIPv4(DWORD dwAddr, char (&szText)[16]) {
  char* p = szText;
  for (int nShift = 24; nShift >= 0; nShift -= 8) {
    const unsigned nOctet = (dwAddr >> nShift) & 0xFFu;
    if (nOctet >= 100) *p++ = static_cast<char>('0' + nOctet / 100);
    if (nOctet >= 10) *p++ = static_cast<char>('0' + nOctet / 10 % 10);
    *p++ = static_cast<char>('0' + nOctet % 10);
    *p++ = nShift > 0 ? '.' : '\0';
  }
}

DecodedDatagram DecodeDatagram(const ByteReader& reader, WORD wSize) {
  DecodedDatagram dg;
  dg.wSize = wSize;
  FormatIPv4(reader.BE32(12), dg.szSrcAddr);
  FormatIPv4(reader.BE32(16), dg.szDesAddr);
  dg.nProt = reader.U8(9);
  // Malformed when below 20 bytes (5 words); used as it stands, like every
  // other field whose value is out of range.
  const int nIpHeaderBytes = (reader.U8(0) & 0x0F) * 4;
  const int nTransport = nIpHeaderBytes;
  // The bytes of this datagram: behind its total length lies link padding (or
  // a sender's forgery), never a header of ours.
  const ByteReader datagram = reader.Prefix(wSize > 0 ? wSize : reader.Size());
  const bool bLaterFragment = (reader.BE16(6) & kFragmentOffsetMask) != 0;

  int nPayload = -1;
  if (bLaterFragment) {
    nPayload = nTransport;  // the transport header travels in the first fragment only
  } else {
    switch (dg.nProt) {
      case kProtIcmp:
        nPayload = nTransport + kIcmpHeaderBytes;
        break;
      case kProtTcp:
        dg.nSrcPort = datagram.BE16(nTransport);
        dg.nDesPort = datagram.BE16(nTransport + 2);
        // Data offset in 32-bit words; below 5 is malformed and used unchanged.
        nPayload = nTransport + (datagram.U8(nTransport + 12) >> 4) * 4;
        break;
      case kProtUdp:
        dg.nSrcPort = datagram.BE16(nTransport);
        dg.nDesPort = datagram.BE16(nTransport + 2);
        nPayload = nTransport + kUdpHeaderBytes;
        break;
      default:
        break;
    }
  }

  const int nEnd = datagram.Size();
  if (nPayload >= 0 && nPayload < nEnd) {
    dg.nPayloadOffset = nPayload;
    dg.nPayloadLen = nEnd - nPayload;
  }
  return dg;
}

BOOL DecodeFrame(const BYTE* pBuf, int nCaptured, int nFrameLen, DecodedDatagram* pDg) {
  const ByteReader reader(pBuf, std::clamp(nCaptured, 0, PACKET_BUFFER_SIZE));
  if (reader.Size() == 0 || reader.U8(0) == 0) return FALSE;  // nothing received
  const WORD wTotal = reader.BE16(2);
  // Truncated: the wire carried fewer bytes than the datagram claims. A frame
  // is never shorter than what was captured of it.
  if (wTotal > std::max(nFrameLen, nCaptured)) return FALSE;
  *pDg = DecodeDatagram(reader, wTotal);
  return TRUE;
}
