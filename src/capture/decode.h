#pragma once
// Decoding of the datagrams in one receive buffer: the IPv4 header and the
// ICMP, TCP or UDP header behind it. Pure functions over (buffer, received
// count); every header byte is read through ByteReader.
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

 private:
  const BYTE* m_pBuf;
  int m_nReceived;
};

// IPv4 protocol numbers decoded here.
constexpr int kProtIcmp = 1;
constexpr int kProtTcp = 6;
constexpr int kProtUdp = 17;

struct DecodedDatagram {
  char szSrcAddr[16];  // dotted-decimal, at most 15 characters
  char szDesAddr[16];
  int nProt = 0;     // the protocol byte
  int nSrcPort = 0;  // TCP and UDP only; 0 otherwise
  int nDesPort = 0;
  int nPayloadOffset = -1;  // from the buffer's start; -1 when there is no payload
  int nPayloadLen = 0;      // received bytes from there to the datagram's end; 0 when none
  WORD wSize = 0;           // the total length field
};

// Writes dwAddr (host order, first octet in the high byte) as dotted-decimal text.
void FormatIPv4(DWORD dwAddr, char (&szText)[16]);

// Decodes the datagram at nOffset whose total length field reads wSize.
// Addresses, protocol and ports come from the received bytes (zeros where they
// lie past them). The payload starts 4 bytes behind an ICMP header, 8 behind a
// UDP header and data offset x 4 behind a TCP header; it ends at the datagram's
// end (nOffset + wSize), or at nReceived when wSize is 0 and so states no end.
// A payload start at or past that end gives no payload. Other protocols have
// no payload and ports 0.
DecodedDatagram DecodeDatagram(const ByteReader& reader, int nOffset, WORD wSize);

// Walks the datagrams laid back to back in the first nReceived bytes of pBuf,
// each as long as its total length field, and calls fnDeliver(const
// DecodedDatagram&) for each in buffer order. The walk ends before a datagram
// whose total length exceeds the bytes remaining (not delivered), after one
// that reaches the received end, and after a total length of 0 (delivered with
// wSize 0, since it states no length to step by). nReceived is clamped to
// [0, PACKET_BUFFER_SIZE]; 0 delivers nothing. Returns the count delivered.
template <typename Fn>
int WalkDatagrams(const BYTE* pBuf, int nReceived, Fn&& fnDeliver) {
  if (nReceived > PACKET_BUFFER_SIZE) nReceived = PACKET_BUFFER_SIZE;
  const ByteReader reader(pBuf, nReceived);
  if (reader.Size() <= 0) return 0;
  int nDelivered = 0;
  int nOffset = 0;
  int nRemaining = reader.Size();
  int nTotal = reader.BE16(nOffset + 2);
  for (;;) {
    if (nTotal > nRemaining) break;  // truncated: the datagram's bytes were not all received
    fnDeliver(DecodeDatagram(reader, nOffset, static_cast<WORD>(nTotal)));
    ++nDelivered;
    if (nTotal >= nRemaining || nTotal == 0) break;
    nRemaining -= nTotal;
    nOffset += nTotal;
    nTotal = reader.BE16(nOffset + 2);
  }
  return nDelivered;
}
