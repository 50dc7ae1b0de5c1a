#include "capture/packetrecord.h"

#include <algorithm>
#include <cstring>

#include "capture/slotpool.h"

namespace {

// A record and its payload block in one slot. nDirty survives the record: it
// says how much of the block may be non-zero, so that a refill zeroes only that.
struct RecordSlot {
  alignas(PacketRecord) unsigned char record[sizeof(PacketRecord)];
  int nDirty;
  BYTE block[PACKET_BUFFER_SIZE];
};

constexpr std::size_t RoundUpToLine(std::size_t n) { return (n + 63) / 64 * 64; }

using RecordPool = SlotPool<RecordSlot, RoundUpToLine(sizeof(RecordSlot))>;
using NoticePool = SlotPool<EngineNotice, RoundUpToLine(sizeof(EngineNotice))>;

// new places the record at the start of its slot.
RecordSlot* SlotOf(PacketRecord* pRecord) { return reinterpret_cast<RecordSlot*>(pRecord); }

// Copies the payload (at most PACKET_BUFFER_SIZE - 1 bytes) and zeroes the
// first nDirty bytes behind it; returns the count copied.
int CopyPayload(BYTE* pBlock, int nDirty, const BYTE* pPayload, int nPayloadLen) {
  const int nCopy = pPayload == nullptr ? 0 : std::clamp(nPayloadLen, 0, PACKET_BUFFER_SIZE - 1);
  if (nCopy > 0) std::memcpy(pBlock, pPayload, static_cast<std::size_t>(nCopy));
  if (nDirty > nCopy) std::memset(pBlock + nCopy, 0, static_cast<std::size_t>(nDirty - nCopy));
  return nCopy;
}

void* AllocateOrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* PacketRecord::operator new(std::size_t) { return AllocateOrThrow(RecordPool::Allocate()); }
void* PacketRecord::operator new(std::size_t, const std::nothrow_t&) noexcept { return RecordPool::Allocate(); }
void PacketRecord::operator delete(void* p) noexcept { RecordPool::Free(p); }
void PacketRecord::operator delete(void* p, const std::nothrow_t&) noexcept { RecordPool::Free(p); }

void* EngineNotice::operator new(std::size_t) { return AllocateOrThrow(NoticePool::Allocate()); }
void* EngineNotice::operator new(std::size_t, const std::nothrow_t&) noexcept { return NoticePool::Allocate(); }
void EngineNotice::operator delete(void* p) noexcept { NoticePool::Free(p); }
void EngineNotice::operator delete(void* p, const std::nothrow_t&) noexcept { NoticePool::Free(p); }

const ProtocolName ProtocolNameTable[11] = {
    {0, "IP"},  {1, "ICMP"}, {2, "IGMP"}, {3, "GGP"}, {6, "TCP"},   {12, "PUP"},
    {17, "UDP"}, {22, "IDP"}, {77, "NP"}, {255, "RAW"}, {256, "MAX"},
};

const char* GetProtocolName(int nProt) {
  const int nByte = nProt & 0xFF;
  for (const ProtocolName& row : ProtocolNameTable) {
    if (row.nNumber == nByte) return row.pszName;
  }
  return "";
}

int FillRecordPayload(PacketRecord* pRecord, const BYTE* pPayload, int nPayloadLen) {
  RecordSlot* pSlot = SlotOf(pRecord);
  pRecord->pData = pSlot->block;
  pRecord->nDataLen = CopyPayload(pSlot->block, pSlot->nDirty, pPayload, nPayloadLen);
  pSlot->nDirty = pRecord->nDataLen;
  return pRecord->nDataLen;
}

long CountLivePacketRecords() { return RecordPool::CountLive(); }

void DeletePacketRecord(PacketRecord* pRecord) {
  if (pRecord == nullptr) return;
  if (pRecord->pData != SlotOf(pRecord)->block) delete[] pRecord->pData;
  delete pRecord;
}

void DeleteEngineNotice(EngineNotice* pNotice) {
  if (pNotice == nullptr) return;
  DeletePacketRecord(pNotice->pRecord);
  delete pNotice;
}
