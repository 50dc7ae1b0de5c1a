#pragma once
// A TPACKET_V3 receive ring on a packet socket: the kernel writes each frame
// into blocks of memory shared with us and hands a block over when it is full
// or when its retire time-out passes with at least one frame in it; we read the
// frames of each block in order, with no system call, and hand the block back.
// Blocks go round in order, so the reader only ever looks at one of them. The
// frames of the block being read stay valid, where the kernel wrote them, until
// the reader hands it back, so they can be sent on without a copy.
//
// One thread reads a ring at a time. The kernel's ring is freed when the
// socket closes; the PacketRing only owns the mapping.
#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>
#include <memory>


struct PacketRingGeometry {
  unsigned nBlockBytes = 0;  // a multiple of the page size
  unsigned nBlocks = 0;
  unsigned nRetireMs = 0;  // how long a block with frames may stay open
};

// One captured frame inside the ring; valid until its block is handed back.
struct RingFrame {
  const std::uint8_t* pData = nullptr;  // the frame from its network header on (SOCK_DGRAM)
  int nLen = 0;                 // the bytes captured there
  int nFrameLen = 0;            // the frame's length on the link from there, nLen or more
  const sockaddr_ll* pFrom = nullptr;  // protocol, packet type and hardware type
};

class PacketRing {
 public:
  // Switches fd to TPACKET_V3 and maps a ring of that geometry onto it. Null
  // when the kernel refuses; the socket then has no ring and receives through
  // its buffer.
  static std::unique_ptr<PacketRing> Map(int fd, const PacketRingGeometry& geometry);

  ~PacketRing();
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  // The next frame of the block being read, taking the next block the kernel
  // has handed over when none is being read: false when the block has no
  // frame left (or is malformed: a frame outside it), or when no block is
  // ready. Blocks are handed back only by Release.
  bool Next(RingFrame* pFrame);
  // Whether a block is being read: its frames are valid until Release.
  bool HoldsBlock() const { return m_pBlock != nullptr; }
  // Hands the block being read back to the kernel and moves on to the next;
  // nothing when none is being read.
  void Release();

 private:
  PacketRing(std::uint8_t* pMap, std::size_t nMapBytes, const PacketRingGeometry& geometry);

  std::uint8_t* const m_pMap;
  const std::size_t m_nMapBytes;
  const PacketRingGeometry m_geometry;
  unsigned m_iBlock = 0;                   // the block read now, or next to be handed over
  tpacket_block_desc* m_pBlock = nullptr;  // m_iBlock's descriptor while we own it
  std::uint32_t m_nFramesLeft = 0;         // frames of m_pBlock not yet taken
  std::uint32_t m_nNextOffset = 0;         // from the block's start to the next frame
};
