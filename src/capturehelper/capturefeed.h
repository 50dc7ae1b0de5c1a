#pragma once
// The helper's capture, once its packet socket is open and every capability is
// gone: the set-up that starts the flow of frames, and forwarding them to the
// program in batches over the channel (capturewire.h). Nothing here needs a
// privilege.
#include <sys/uio.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "capturehelper/capturewire.h"
#include "capturehelper/packetring.h"

// The capture ring: 8 MiB in 32 blocks of 256 KiB. The kernel hands a block
// over when it is full or 100 ms after it was opened, whichever comes first.
// At high rates blocks fill first: the ring holds about 45,000 small
// datagrams or 7,000 of 1000 bytes (35 ms of a 200,000-a-second flood), which
// is what a program taking batches too slowly has while the helper waits; the
// kernel counts what a full ring drops. At ordinary rates every block holds
// 100 ms of traffic: the list shows new rows at most ten times a second, so a
// lone datagram's wait is not seen, and a batch every 100 ms instead of every
// few milliseconds spares the helper, the capture thread and the window most
// of their wake-ups (bench/README.md). Smaller rings lost datagrams at the
// benchmark's highest rates.
inline constexpr PacketRingGeometry kCaptureRing{256u * 1024, 32, 100};

// The unprivileged steps on fd, a packet socket bound to interface nIfIndex
// with protocol 0 (nothing queued yet): maps a ring of pRing's geometry (none
// when pRing is null; a ring the kernel refuses gives the same: frames then
// queue in the socket buffer, and each costs a system call), attaches the
// kernel filter (IPv4 only, cut at kWireMaxCapturedBytes; on a loopback
// interface the incoming copy only), and binds fd for all protocols on the
// same interface, from which on frames are queued. HELPER_BIND_FAILED when that
// bind fails (the interface is gone). *ppRing: the ring, or null.
HelperStatus StartCapture(int fd, int nIfIndex, bool bLoopback, const PacketRingGeometry* pRing,
                          std::unique_ptr<PacketRing>* ppRing);

// One batch message being gathered, sent with one sendmsg as a list of
// pieces. Frame headers, and frames added with bCopy, are written into the
// batch's own buffer, back to back in as few pieces as they take; any other
// frame's bytes are not copied: they stay where they are (in the ring) until
// the batch is sent or cleared, one piece each.
class WireBatch {
 public:
  // What one sendmsg takes.
  static constexpr std::uint32_t kMaxPieces = 1024;

  // Appends a frame of nFrameLen bytes on the link whose first nCaptured bytes
  // are at pData; more than kWireMaxCapturedBytes are cut, and a frame length
  // below the bytes captured counts as those. bCopy: the bytes are copied now
  // (from a buffer about to be reused, or small enough that a copy costs less
  // than a piece of their own). false, with nothing appended, when the
  // message has no room left for it (bytes or pieces).
  bool Add(const std::uint8_t* pData, std::uint32_t nCaptured, std::uint32_t nFrameLen, bool bCopy = false);
  std::uint32_t Frames() const { return m_nFrames; }
  // The message's pieces, its header written with nKernelDrops; valid until
  // the next Add or Clear.
  std::span<const iovec> Seal(std::uint64_t nKernelDrops);
  // The sealed message in one block, as the program receives it.
  std::vector<std::uint8_t> Bytes(std::uint64_t nKernelDrops);
  void Clear();

 private:
  // Appends n bytes to the own buffer, in the last piece when that ends where they go.
  void Write(const void* p, std::uint32_t n);

  WireBatchHeader m_header{};
  std::array<iovec, kMaxPieces> m_pieces{};  // [0] the header
  std::uint32_t m_nPieces = 1;
  std::array<std::uint8_t, kWireMaxMessageBytes> m_own{};  // frame headers and copies
  std::uint32_t m_nOwn = 0;
  std::uint32_t m_nBytes = sizeof(WireBatchHeader);  // of the whole message
  std::uint32_t m_nFrames = 0;
};

// Ring frames of at most this many bytes are copied into the batch: their
// own piece would cost the kernel more than the copy.
inline constexpr std::uint32_t kCopyFramesUpToBytes = 256;

enum class FeedEnd {
  kChannelEnded,   // the program closed its end or died, or wrote to it
  kReaderStalled,  // a batch found no room for nStallMs
  kInterfaceGone,  // the interface was removed
  kFailed,         // the capture socket failed for good
};

// Forwards what fd captures (through pRing when not null) to fdChannel, in
// batches, until one of the ends above. Frames already there go together, a
// ring block's frames straight from the ring, sent before the block is handed
// back; what is gathered is sent before the helper waits, so no frame waits
// for later traffic. Each batch carries the kernel's drop count so far; a batch of no
// frames carries a change of it when nothing else would. The interface going
// down is no end: the socket stays, and frames come again once it is up;
// while none come the interface's existence is looked at every
// kInterfaceCheckMs. batch is the buffer the messages are built in.
FeedEnd ForwardCapture(int fd, PacketRing* pRing, int nIfIndex, int fdChannel, WireBatch& batch,
                       int nStallMs = kWireStalledReaderMs);

inline constexpr int kInterfaceCheckMs = 500;
