#pragma once
// Decoding of the datagram in one received frame: the IPv4 header and the
// ICMP, TCP or UDP header behind it. Pure functions over (buffer, captured
// count, frame length); every header byte is read through ByteReader, and no
// other code reads IP headers.
#include "capture/packetrecord.h"
#include "platform/wintypes.h"

// Bounds-checked, big-endian reads from one receive. A byte at a negative
// offset or at or past nReceived reads as 0, which is what a zero-filled
// receive buffer holds there; nothing outside [pBuf, pBuf + nReceived) is read.
class ByteReader {
 public:
  ByteReader(const BYTE* pBuf, int nReceived) : m_pBuf(pBuf), m_nReceived(pBuf ? nReceived : 0) {}

  int Size() const { return m_nReceived; }
  BYTE U8(int nOff) const { return nOff >= 0 && nOff < m_nReceived ? m_pBuf[nOff] : 0; }
  WORD BE16(int nOff) const { return static_cast<WORD>((U8(nOff) << 8) | U8(nOff + 1)); }
  DWORD BE32(int nOff) const { return (DWORD{BE16(nOff)} << 16) | BE16(nOff + 2); }
  // The same bytes up to nLen (at most Size()): what lies behind reads as 0.
  ByteReader Prefix(int nLen) const { return ByteReader(m_pBuf, nLen < m_nReceived ? nLen : m_nReceived); }

 private:
  const BYTE* m_pBuf;
  int m_nReceived;
};

// IPv4 protocol numbers decoded here.
constexpr int kProtIcmp = 1;
constexpr int kProtTcp = 6;
constexpr int kProtUdp = 17;

// The header fields decoded here, by name: byte offsets from the start of
// their header (multi-byte fields big-endian).
namespace ipv4 {
constexpr int kVersionIhl = 0;     // low four bits: header length in 32-bit words
constexpr int kTotalLength = 2;    // 16 bits: the datagram's size, header included
constexpr int kFlagsFragment = 6;  // 16 bits: three flags, then the fragment offset
constexpr int kProtocol = 9;
constexpr int kSrcAddr = 12;  // 32 bits
constexpr int kDesAddr = 16;  // 32 bits
constexpr WORD kFragmentOffsetMask = 0x1FFF;
}  // namespace ipv4
namespace tcp {
constexpr int kSrcPort = 0;
constexpr int kDesPort = 2;
constexpr int kDataOffset = 12;  // high four bits: header length in 32-bit words
}  // namespace tcp
namespace udp {
constexpr int kSrcPort = 0;
constexpr int kDesPort = 2;
constexpr int kHeaderBytes = 8;
}  // namespace udp
namespace icmp {
constexpr int kHeaderBytes = 4;  // type, code, checksum; identifier and sequence count as payload
}  // namespace icmp

struct DecodedDatagram {
  char szSrcAddr[16];  // dotted-decimal, at most 15 characters
  char szDesAddr[16];
  int nProt = 0;     // the protocol byte
  int nSrcPort = 0;  // TCP and UDP at fragment offset 0 only; 0 otherwise
  int nDesPort = 0;
  int nPayloadOffset = -1;  // from the buffer's start; -1 when there is no payload
  int nPayloadLen = 0;      // captured bytes from there to the datagram's end; 0 when none
  WORD wSize = 0;           // the total length field: the datagram's true size
};

// Writes dwAddr (host order, first octet in the high byte) as dotted-decimal text.
void FormatIPv4(DWORD dwAddr, char (&szText)[16]);

// Decodes the datagram at the start of reader's bytes, whose total length
// field reads wSize. The IPv4 header's fields come from the captured bytes
// (zeros where they lie past them). Everything behind the IPv4 header is read
// only inside the datagram, which ends at wSize (at the captured end when
// wSize is 0, which states no end), so padding behind it is never taken for
// ports or payload. A fragment other than the first (fragment offset not 0)
// has no transport header: ports 0, payload from behind the IPv4 header. Else
// the payload starts 4 bytes behind an ICMP header, 8 behind a UDP header and
// data offset x 4 behind a TCP header, and other protocols have no payload and
// ports 0. A payload start at or past the datagram's end gives no payload.
DecodedDatagram DecodeDatagram(const ByteReader& reader, WORD wSize);

// Decodes the one datagram of a received frame: nCaptured bytes at pBuf (the
// first PACKET_BUFFER_SIZE of them count) of a frame that was nFrameLen bytes
// long. One frame holds one datagram; the bytes behind its total length are
// link padding. FALSE, and nothing to deliver, when nothing was captured, the
// first byte is zero, or the frame is shorter than the total length claims
// (bytes missing on the wire: truncated). A datagram longer than what was
// captured is decoded from the bytes that were, with its true size.
BOOL DecodeFrame(const BYTE* pBuf, int nCaptured, int nFrameLen, DecodedDatagram* pDg);
