#pragma once
// What crosses from the capture thread to the user interface: one PacketRecord
// per delivered IPv4 datagram, carried by an EngineNotice posted as
// WM_ENGINE_NOTIFY (WPARAM: the notice, LPARAM: 0).
//
// Ownership runs one way. The capture thread allocates notice, record and
// payload block; a successful post hands all three to the window's thread,
// which frees the notice once handled and the record when its list drops it.
// A failed post leaves them with the poster, which frees them at once.
//
// Records (each with a payload block of its own) and notices come from pools
// shared by all threads (capture/slotpool.h): new and delete on them, and so
// DeletePacketRecord and DeleteEngineNotice, take and give back pool slots.
#include <cstddef>
#include <new>
#include <string>

#include "platform/wintypes.h"

constexpr int PACKET_BUFFER_SIZE = 1500;  // receive buffer, receive request, payload block
constexpr int CAPTURE_PORT = 7000;        // the port the dialog opens the engine with
constexpr int RECV_TIMEOUT_MS = 5000;     // longest single receive
constexpr int MAX_LIST_ITEMS = 500;       // the packet list is emptied when it holds more

constexpr int NOTICE_PACKET = 1;   // a datagram record is attached
constexpr int NOTICE_STOPPED = 2;  // the capture thread has ended; no record

constexpr UINT WM_ENGINE_NOTIFY = WM_USER + 1;

struct PacketRecord {
  std::string strSrcAddr;  // dotted-decimal source address
  std::string strDesAddr;  // dotted-decimal destination address
  std::string strProt;     // GetProtocolName of the protocol byte; empty when unnamed
  BYTE* pData = nullptr;   // PACKET_BUFFER_SIZE bytes: the payload, zero-filled behind it
  int nSrcPort = 0;        // host order; 0 for protocols without ports
  int nDesPort = 0;
  WORD wSize = 0;   // the IPv4 total length field: the datagram's true size, which may exceed the block
  int nDataLen = 0;  // payload bytes pData holds, 0..PACKET_BUFFER_SIZE - 1; zeros follow them

  static void* operator new(std::size_t nBytes);
  static void* operator new(std::size_t nBytes, const std::nothrow_t&) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, const std::nothrow_t&) noexcept;
};

struct EngineNotice {
  int nType = 0;                    // NOTICE_PACKET or NOTICE_STOPPED
  std::string strText;              // the record's source address; empty for NOTICE_STOPPED
  PacketRecord* pRecord = nullptr;  // NOTICE_PACKET only

  static void* operator new(std::size_t nBytes);
  static void* operator new(std::size_t nBytes, const std::nothrow_t&) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, const std::nothrow_t&) noexcept;
};

// One row of the protocol name table: IPPROTO_ numbers and their names.
struct ProtocolName {
  int nNumber;
  const char* pszName;
};
extern const ProtocolName ProtocolNameTable[11];

// The name of protocol number nProt reduced to its low 8 bits (the IPv4
// protocol field is one byte): the first table row that matches, else "".
// Never null; so the row 256 "MAX" is never returned.
const char* GetProtocolName(int nProt);

// Points pRecord->pData at the PACKET_BUFFER_SIZE-byte block the record's pool
// slot holds and fills it: the payload bytes as received, at most nPayloadLen
// and at most PACKET_BUFFER_SIZE - 1 of them, then zeros, so that the block
// always ends in a zero and reads, up to its first zero byte, as the payload
// text (a null pPayload or nPayloadLen <= 0: all zeros). Only what the slot's
// previous record wrote is zeroed again. Sets and returns nDataLen, the count
// copied. pRecord must come from new.
int FillRecordPayload(PacketRecord* pRecord, const BYTE* pPayload, int nPayloadLen);

// Records made and not yet freed, on all threads; exact while no other thread
// makes or frees one.
long CountLivePacketRecords();

// Frees the strings and the record, and pData when it is not the record's own
// pool block (one its maker attached); null is ignored. The one way a record
// is freed.
void DeletePacketRecord(PacketRecord* pRecord);

// Frees a notice and any record it carries; null is ignored. What a window's
// disposer and a failed post use.
void DeleteEngineNotice(EngineNotice* pNotice);
