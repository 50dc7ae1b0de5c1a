#pragma once
// One batch message from the capture helper (capturehelper/capturewire.h),
// read as untrusted input: nothing in it is believed before it is checked.
#include <cstddef>
#include <cstdint>

#include "platform/wintypes.h"

struct CaptureFrame {
  const BYTE* pData = nullptr;  // nCaptured bytes, inside the message
  int nCaptured = 0;            // at most kWireMaxCapturedBytes
  int nFrameLen = 0;            // on the link, nCaptured or more
};

// Checks a whole message before it hands out any frame of it: a header, then
// exactly nFrames frames, each with at most kWireMaxCapturedBytes bytes, a
// frame length no shorter and a zero reserved field, filling exactly the
// header's nBytes and the message. A message that fails any of it yields no
// frame at all. The message must outlive the reader's use of it.
class CaptureBatchReader {
 public:
  // false, with no frames to read, when the message is malformed.
  bool Open(const BYTE* pMessage, std::size_t nLen);
  // The next frame of the message opened last; false after the last one.
  bool Next(CaptureFrame* pFrame);
  // The helper's count of kernel drops, as the message opened last says.
  std::uint64_t KernelDrops() const { return m_nKernelDrops; }

 private:
  const BYTE* m_pNext = nullptr;
  std::uint32_t m_nFramesLeft = 0;
  std::uint64_t m_nKernelDrops = 0;
};
