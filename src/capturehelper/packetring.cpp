#include "capturehelper/packetring.h"

#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>

namespace {

// Frame size only sets the count the kernel checks tp_frame_nr against: a V3
// ring packs frames of any length into a block, up to the block's own size.
constexpr unsigned kFrameBytes = 2048;

// The kernel hands a block over by storing TP_STATUS_USER after the frames
// (behind a write barrier) and takes it back when it reads TP_STATUS_KERNEL.
std::uint32_t LoadStatus(tpacket_block_desc* pBlock) {
  return std::atomic_ref<std::uint32_t>(pBlock->hdr.bh1.block_status).load(std::memory_order_acquire);
}

void StoreStatus(tpacket_block_desc* pBlock, std::uint32_t nStatus) {
  std::atomic_ref<std::uint32_t>(pBlock->hdr.bh1.block_status).store(nStatus, std::memory_order_release);
}

}  // namespace

std::unique_ptr<PacketRing> PacketRing::Map(int fd, const PacketRingGeometry& geometry) {
  if (geometry.nBlocks == 0 || geometry.nBlockBytes < kFrameBytes) return nullptr;
  const int nVersion = TPACKET_V3;
  if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &nVersion, sizeof nVersion) != 0) return nullptr;
  tpacket_req3 req{};
  req.tp_block_size = geometry.nBlockBytes;
  req.tp_block_nr = geometry.nBlocks;
  req.tp_frame_size = kFrameBytes;
  req.tp_frame_nr = geometry.nBlockBytes / kFrameBytes * geometry.nBlocks;
  req.tp_retire_blk_tov = geometry.nRetireMs;
  if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return nullptr;
  const std::size_t nMapBytes = std::size_t{geometry.nBlockBytes} * geometry.nBlocks;
  void* pMap = mmap(nullptr, nMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pMap == MAP_FAILED) {
    // A ring that is not mapped takes every frame and hands none over: take
    // it down (a request of no blocks), so that the socket buffer receives.
    tpacket_req3 none{};
    setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &none, sizeof none);
    return nullptr;
  }
  return std::unique_ptr<PacketRing>(new PacketRing(static_cast<std::uint8_t*>(pMap), nMapBytes, geometry));
}

PacketRing::PacketRing(std::uint8_t* pMap, std::size_t nMapBytes, const PacketRingGeometry& geometry)
    : m_pMap(pMap), m_nMapBytes(nMapBytes), m_geometry(geometry) {}

PacketRing::~PacketRing() { munmap(m_pMap, m_nMapBytes); }

void PacketRing::Release() {
  if (m_pBlock == nullptr) return;
  StoreStatus(m_pBlock, TP_STATUS_KERNEL);
  m_pBlock = nullptr;
  m_iBlock = (m_iBlock + 1) % m_geometry.nBlocks;
}

bool PacketRing::Next(RingFrame* pFrame) {
  if (m_pBlock == nullptr) {
    auto* pBlock = reinterpret_cast<tpacket_block_desc*>(m_pMap + std::size_t{m_iBlock} * m_geometry.nBlockBytes);
    if ((LoadStatus(pBlock) & TP_STATUS_USER) == 0) return false;  // the kernel still fills it
    m_pBlock = pBlock;
    m_nFramesLeft = pBlock->hdr.bh1.num_pkts;
    m_nNextOffset = pBlock->hdr.bh1.offset_to_first_pkt;
  }
  if (m_nFramesLeft == 0) return false;
  // The kernel lays the frames out; still, nothing is read outside the block.
  const std::uint32_t nBlockBytes = m_geometry.nBlockBytes;
  const std::uint32_t nOffset = m_nNextOffset;
  constexpr std::uint32_t kFromOffset = TPACKET_ALIGN(sizeof(tpacket3_hdr));
  if (nOffset > nBlockBytes || nBlockBytes - nOffset < kFromOffset + sizeof(sockaddr_ll)) {
    m_nFramesLeft = 0;  // malformed: a frame header past the block
    return false;
  }
  std::uint8_t* pFrameStart = reinterpret_cast<std::uint8_t*>(m_pBlock) + nOffset;
  const auto* pHeader = reinterpret_cast<const tpacket3_hdr*>(pFrameStart);
  if (pHeader->tp_net > nBlockBytes - nOffset || pHeader->tp_snaplen > nBlockBytes - nOffset - pHeader->tp_net) {
    m_nFramesLeft = 0;  // malformed: frame data past the block
    return false;
  }
  --m_nFramesLeft;
  m_nNextOffset = nOffset + pHeader->tp_next_offset;
  pFrame->pData = pFrameStart + pHeader->tp_net;
  pFrame->nLen = static_cast<int>(pHeader->tp_snaplen);
  // tp_len is what the link carried; a frame larger than a block is cut to fit.
  pFrame->nFrameLen = static_cast<int>(std::max(pHeader->tp_len, pHeader->tp_snaplen));
  pFrame->pFrom = reinterpret_cast<const sockaddr_ll*>(pFrameStart + kFromOffset);
  return true;
}
