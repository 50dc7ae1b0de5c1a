#include "capture/packetrecord.h"

#include <algorithm>
#include <cstring>

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

int FillPayloadBlock(BYTE* pBlock, const BYTE* pPayload, int nPayloadLen) {
  std::memset(pBlock, 0, PACKET_BUFFER_SIZE);
  if (pPayload == nullptr || nPayloadLen <= 0) return 0;
  const int nCopy = std::min(nPayloadLen, PACKET_BUFFER_SIZE - 1);  // the last byte stays the terminator
  std::memcpy(pBlock, pPayload, static_cast<std::size_t>(nCopy));
  return nCopy;
}

void DeletePacketRecord(PacketRecord* pRecord) {
  if (pRecord == nullptr) return;
  delete[] pRecord->pData;
  delete pRecord;
}

void DeleteEngineNotice(EngineNotice* pNotice) {
  if (pNotice == nullptr) return;
  DeletePacketRecord(pNotice->pRecord);
  delete pNotice;
}
