// libFuzzer entry point: one receive of the capture thread, handed to the very
// function the thread calls (walk, decoding, DeliverPacket and its payload copy).
//
// Every input runs twice: once in a heap block of exactly the received bytes,
// so that reading one byte past them is a heap overflow AddressSanitizer
// reports, and once in the thread's own kind of buffer, PACKET_BUFFER_SIZE bytes
// zero-filled behind the received ones. Both must deliver the same datagrams.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/captureengine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  // No notify window: every post fails, so DeliverPacket frees each notice,
  // record and block it built at once, and a leak on that path shows.
  static CCaptureEngine s_engine;
  // A receive never counts more than the buffer it was given.
  const int nReceived = static_cast<int>(std::min<size_t>(nSize, PACKET_BUFFER_SIZE));

  std::unique_ptr<BYTE[]> exact(new BYTE[static_cast<size_t>(nReceived)]);
  if (nReceived > 0) std::memcpy(exact.get(), pData, static_cast<size_t>(nReceived));
  const int nExact = DeliverReceivedDatagrams(&s_engine, exact.get(), nReceived);

  auto zeroFilled = std::make_unique<BYTE[]>(PACKET_BUFFER_SIZE);  // value-initialised: zeros
  if (nReceived > 0) std::memcpy(zeroFilled.get(), pData, static_cast<size_t>(nReceived));
  const int nZeroFilled = DeliverReceivedDatagrams(&s_engine, zeroFilled.get(), nReceived);

  // The bytes behind the received count must never change the outcome.
  if (nExact != nZeroFilled) __builtin_trap();
  return 0;
}
