#include "platform/capturebatch.h"

#include <cstring>

#include "capturehelper/capturewire.h"

namespace {

// A frame header read from wherever it lies (the message holds no alignment).
WireFrameHeader FrameHeaderAt(const BYTE* p) {
  WireFrameHeader header;
  std::memcpy(&header, p, sizeof header);
  return header;
}

}  // namespace

bool CaptureBatchReader::Open(const BYTE* pMessage, std::size_t nLen) {
  m_pNext = nullptr;
  m_nFramesLeft = 0;
  if (pMessage == nullptr || nLen < sizeof(WireBatchHeader) || nLen > kWireMaxMessageBytes) return false;  // truncated, or more than a batch holds
  WireBatchHeader batch;
  std::memcpy(&batch, pMessage, sizeof batch);
  if (batch.nBytes != nLen - sizeof batch) return false;  // malformed: its length disagrees with the message's
  const BYTE* const pFrames = pMessage + sizeof batch;
  std::size_t nLeft = batch.nBytes;
  const BYTE* p = pFrames;
  for (std::uint32_t i = 0; i < batch.nFrames; ++i) {
    if (nLeft < sizeof(WireFrameHeader)) return false;  // truncated: fewer frames than it counts
    const WireFrameHeader frame = FrameHeaderAt(p);
    // malformed: more than a frame carries, a frame shorter than its capture, or a reserved bit set
    if (frame.nCaptured > kWireMaxCapturedBytes || frame.nFrameLen < frame.nCaptured || frame.nReserved != 0)
      return false;
    if (nLeft - sizeof frame < frame.nCaptured) return false;  // truncated: the bytes run past the message
    p += sizeof frame + frame.nCaptured;
    nLeft -= sizeof frame + frame.nCaptured;
  }
  if (nLeft != 0) return false;  // malformed: bytes behind the last frame
  m_pNext = pFrames;
  m_nFramesLeft = batch.nFrames;
  m_nKernelDrops = batch.nKernelDrops;
  return true;
}

bool CaptureBatchReader::Next(CaptureFrame* pFrame) {
  if (m_nFramesLeft == 0) return false;
  const WireFrameHeader frame = FrameHeaderAt(m_pNext);
  pFrame->pData = m_pNext + sizeof frame;
  pFrame->nCaptured = frame.nCaptured;
  // A frame length past what an int holds still says "longer than captured".
  pFrame->nFrameLen = frame.nFrameLen > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(frame.nFrameLen);
  m_pNext += sizeof frame + frame.nCaptured;
  --m_nFramesLeft;
  return true;
}
