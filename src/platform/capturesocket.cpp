#include "platform/capturesocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "capturehelper/capturewire.h"
#include "platform/capturebatch.h"
#include "platform/deadline.h"
#include "platform/helperclient.h"
#include "platform/threadmsg.h"

namespace {

// Waits up to nWaitMs for a message in the calling thread's queue.
void PauseOnQueue(int nWaitMs) {
  const int fdWake = GetThreadQueueWakeFd();
  const Deadline deadline(nWaitMs);
  for (int nLeftMs; (nLeftMs = deadline.LeftMs()) > 0;) {
    pollfd pfd{fdWake, POLLIN, 0};
    const int nReady = poll(&pfd, 1, nLeftMs);
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady > 0) ConsumeThreadQueueWake();
    return;
  }
}

// What a capture socket has besides its descriptor: the helper behind it and
// the batch being read.
struct ChannelState {
  explicit ChannelState(pid_t pid) : pid(pid), message(kWireMaxMessageBytes) {}
  const pid_t pid;
  std::vector<BYTE> message;  // the batch being read
  CaptureBatchReader batch;   // its frames not yet taken
  std::atomic<bool> bEnded{false};  // the helper is gone, or broke the format
  std::atomic<bool> bClosed{false};  // CloseSocket took it out of the table
  std::atomic<std::uint64_t> nDrops{0};  // the helper's latest count
};

// Open capture sockets by descriptor. Immortal, so that a socket closed during
// static destruction still finds it.
struct ChannelTable {
  std::mutex mtx;
  std::unordered_map<SOCKET, std::shared_ptr<ChannelState>> states;  // guarded by mtx
  std::uint64_t nClosedDrops = 0;                                    // guarded by mtx
};

ChannelTable& TheChannelTable() {
  static ChannelTable* pTable = new ChannelTable;
  return *pTable;
}

// Shared, so that a receive in progress keeps its buffer even if another
// thread closes the socket under it.
std::shared_ptr<ChannelState> FindState(SOCKET hSocket) {
  ChannelTable& table = TheChannelTable();
  std::lock_guard lock(table.mtx);
  auto it = table.states.find(hSocket);
  return it == table.states.end() ? nullptr : it->second;
}

enum class Take { kFrame, kNone, kFailed };

// The next frame already here: from the batch being read, or from the next
// message if one is waiting. kFailed once the channel has ended or broken its
// format, for good.
Take TakeFrame(SOCKET hSocket, ChannelState& state, CaptureFrame* pFrame) {
  for (;;) {
    if (state.batch.Next(pFrame)) return Take::kFrame;
    if (state.bEnded.load(std::memory_order_relaxed)) return Take::kFailed;
    // MSG_TRUNC: the message's real length, to see one longer than a batch.
    const ssize_t nGot = recv(hSocket, state.message.data(), state.message.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (nGot < 0 && errno == EINTR) continue;
    if (nGot < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Take::kNone;
    // 0: end-of-file, the helper is gone (or sent an empty message, which no
    // batch is). An error, or a message that is no batch, ends it too: the
    // helper then sees its channel end and exits.
    if (nGot <= 0 || !state.batch.Open(state.message.data(), static_cast<std::size_t>(nGot))) {
      state.bEnded.store(true);
      shutdown(hSocket, SHUT_RDWR);
      return Take::kFailed;
    }
    state.nDrops.store(state.batch.KernelDrops(), std::memory_order_relaxed);
  }
}

// The receiving thread's socket, kept from one receive to the next: under a
// flood the table's lock per frame was a cost of its own. A closed socket's
// state says so, and its descriptor may since name another.
const std::shared_ptr<ChannelState>& FindStateOfReceiver(SOCKET hSocket) {
  thread_local SOCKET t_hLast = INVALID_SOCKET;
  thread_local std::shared_ptr<ChannelState> t_pLast;
  if (hSocket != t_hLast || !t_pLast || t_pLast->bClosed.load(std::memory_order_acquire)) {
    t_pLast = FindState(hSocket);
    t_hLast = hSocket;
  }
  return t_pLast;
}

int Receive(SOCKET hSocket, const BYTE** ppFrame, int* pnFrameLen, bool bWait) {
  int nFrameLenUnused = 0;
  if (pnFrameLen == nullptr) pnFrameLen = &nFrameLenUnused;
  const std::shared_ptr<ChannelState>& pState = FindStateOfReceiver(hSocket);
  CaptureFrame frame;
  const auto taken = [&] {
    *ppFrame = frame.pData;
    *pnFrameLen = frame.nFrameLen;
    return frame.nCaptured;
  };
  Take take = pState ? TakeFrame(hSocket, *pState, &frame) : Take::kFailed;
  if (take == Take::kFrame) return taken();
  if (!bWait) return SOCKET_ERROR;
  // After an error, a short pause: a retry that fails at once must not spin.
  if (take == Take::kFailed) {
    PauseOnQueue(kErrorBackoffMs);
    return SOCKET_ERROR;
  }
  timeval tv{};
  socklen_t nTvLen = sizeof tv;
  if (getsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, &nTvLen) != 0) {
    PauseOnQueue(kErrorBackoffMs);  // no usable socket
    return SOCKET_ERROR;
  }
  // No time-out set (0) means wait without end, as SO_RCVTIMEO does.
  const bool bHasTimeout = tv.tv_sec != 0 || tv.tv_usec != 0;
  const auto nTimeoutMs = tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000;
  const Deadline deadline(bHasTimeout ? nTimeoutMs : 0);
  const int fdWake = GetThreadQueueWakeFd();
  for (;;) {
    const int nWaitMs = bHasTimeout ? deadline.LeftMs() : -1;
    if (nWaitMs == 0) return SOCKET_ERROR;  // time-out
    // The channel and the queue's wake-up together, so a stop request never
    // waits for the time-out.
    pollfd fds[2] = {{hSocket, POLLIN, 0}, {fdWake, POLLIN, 0}};
    const int nReady = poll(fds, 2, nWaitMs);
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady < 0) {
      PauseOnQueue(kErrorBackoffMs);
      return SOCKET_ERROR;
    }
    if (nReady == 0) return SOCKET_ERROR;  // time-out
    if (fds[1].revents & POLLIN) {
      ConsumeThreadQueueWake();
      return SOCKET_ERROR;
    }
    take = TakeFrame(hSocket, *pState, &frame);
    if (take == Take::kFrame) return taken();
    if (take == Take::kFailed) {
      PauseOnQueue(kErrorBackoffMs);
      return SOCKET_ERROR;
    }
  }
}

}  // namespace

StepError OpenCaptureSocket(LPCSTR pszAddr, SOCKET* phSocket) {
  *phSocket = INVALID_SOCKET;
  int fdChannel = -1;
  pid_t pid = 0;
  StepError pszError = StartCaptureHelper(pszAddr, &fdChannel, &pid);
  if (pszError == nullptr) pszError = AdoptCaptureChannel(fdChannel, pid);
  if (pszError == nullptr) *phSocket = fdChannel;
  return pszError;
}

StepError AdoptCaptureChannel(int fdChannel, pid_t pid) {
  std::shared_ptr<ChannelState> pState;
  try {
    pState = std::make_shared<ChannelState>(pid);
  } catch (const std::bad_alloc&) {
    EndCaptureHelper(fdChannel, pid);
    return kCreateSocketFailed;
  }
  ChannelTable& table = TheChannelTable();
  std::lock_guard lock(table.mtx);
  table.states[fdChannel] = std::move(pState);
  return nullptr;
}

StepError SetReceiveTimeout(SOCKET hSocket, int nTimeoutMs) {
  timeval tv{};
  tv.tv_sec = nTimeoutMs / 1000;
  tv.tv_usec = (nTimeoutMs % 1000) * 1000;
  if (setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return kSetSocketOptionFailed;
  return nullptr;
}

StepError CreateDatagramSocket(SOCKET* phSocket) {
  *phSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return *phSocket < 0 ? (*phSocket = INVALID_SOCKET, kCreateSocketFailed) : nullptr;
}

StepError BindAnyAddress(SOCKET hSocket, int nPort) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(nPort));
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(hSocket, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) return kBindIpFailed;
  return nullptr;
}

int ReceiveFrame(SOCKET hSocket, const BYTE** ppFrame, int* pnFrameLen) {
  return Receive(hSocket, ppFrame, pnFrameLen, true);
}

int ReceiveWaitingFrame(SOCKET hSocket, const BYTE** ppFrame, int* pnFrameLen) {
  return Receive(hSocket, ppFrame, pnFrameLen, false);
}

int ReceiveDatagram(SOCKET hSocket, BYTE* pBuf, int nBufLen, int* pnFrameLen) {
  if (pBuf == nullptr || nBufLen <= 0) return SOCKET_ERROR;
  const BYTE* pFrame = nullptr;
  const int nCaptured = ReceiveFrame(hSocket, &pFrame, pnFrameLen);
  if (nCaptured == SOCKET_ERROR) return SOCKET_ERROR;
  const int nCopied = std::min(nCaptured, nBufLen);
  if (nCopied > 0) std::memcpy(pBuf, pFrame, static_cast<std::size_t>(nCopied));
  return nCopied;
}

BOOL IsCaptureSocketEnded(SOCKET hSocket) {
  const std::shared_ptr<ChannelState> pState = FindState(hSocket);
  return pState && pState->bEnded.load() ? TRUE : FALSE;
}

std::uint64_t GetKernelDropsOfAllSockets() {
  ChannelTable& table = TheChannelTable();
  std::lock_guard lock(table.mtx);
  std::uint64_t nDrops = table.nClosedDrops;
  for (const auto& entry : table.states) nDrops += entry.second->nDrops.load(std::memory_order_relaxed);
  return nDrops;
}

pid_t CloseSocketLeavingHelper(SOCKET hSocket) {
  if (hSocket == INVALID_SOCKET) return 0;
  std::shared_ptr<ChannelState> pState;
  {
    ChannelTable& table = TheChannelTable();
    std::lock_guard lock(table.mtx);
    if (auto it = table.states.find(hSocket); it != table.states.end()) {
      pState = std::move(it->second);
      pState->bClosed.store(true, std::memory_order_release);
      table.states.erase(it);
      table.nClosedDrops += pState->nDrops.load(std::memory_order_relaxed);
    }
  }
  close(hSocket);
  return pState ? pState->pid : 0;
}

void ReapCaptureHelper(pid_t pid) { EndCaptureHelper(-1, pid); }

void CloseSocket(SOCKET hSocket) { ReapCaptureHelper(CloseSocketLeavingHelper(hSocket)); }
