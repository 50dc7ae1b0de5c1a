#pragma once
// The capture thread's notices on their way to the window. While the thread's
// loop gathers (a Gathering lives), notices collect here and are posted
// together, in order, with one lock and one wake-up of the window: before the
// thread may wait for more frames, once kCapacity are gathered, and when the
// loop ends, so that a run's last notices always go before its
// NOTICE_STOPPED. Outside a gathering each notice is posted at once. Used by
// the capture thread only (and by whoever delivers outside its loop).
#include <array>
#include <cstddef>

#include "capture/packetrecord.h"
#include "platform/wintypes.h"

class NoticeBatch {
 public:
  static constexpr std::size_t kCapacity = 256;

  // Posts n notices (as WPARAMs) in order and frees those it cannot post.
  using Poster = void (*)(void* pContext, const WPARAM* pNotices, std::size_t n);

  NoticeBatch(Poster pfnPost, void* pContext) : m_pfnPost(pfnPost), m_pContext(pContext) {}
  NoticeBatch(const NoticeBatch&) = delete;
  NoticeBatch& operator=(const NoticeBatch&) = delete;

  // Gathered while a gathering is open (the batch posted once full), posted at
  // once otherwise.
  void Add(EngineNotice* pNotice);
  bool Empty() const { return m_nGathered == 0; }
  // Posts what is gathered; nothing when empty.
  void Flush();

  // Opens gathering for its lifetime; its end posts what is left.
  class Gathering {
   public:
    explicit Gathering(NoticeBatch& batch) : m_batch(batch) { m_batch.m_bGathering = true; }
    ~Gathering() {
      m_batch.Flush();
      m_batch.m_bGathering = false;
    }
    Gathering(const Gathering&) = delete;
    Gathering& operator=(const Gathering&) = delete;

   private:
    NoticeBatch& m_batch;
  };

 private:
  const Poster m_pfnPost;
  void* const m_pContext;
  bool m_bGathering = false;
  std::array<WPARAM, kCapacity> m_gathered{};
  std::size_t m_nGathered = 0;
};
