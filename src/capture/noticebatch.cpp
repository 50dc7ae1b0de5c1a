#include "capture/noticebatch.h"

#include <utility>

void NoticeBatch::Add(EngineNotice* pNotice) {
  const WPARAM wNotice = reinterpret_cast<WPARAM>(pNotice);
  if (!m_bGathering) {
    m_pfnPost(m_pContext, &wNotice, 1);
    return;
  }
  m_gathered[m_nGathered++] = wNotice;
  if (m_nGathered == kCapacity) Flush();
}

void NoticeBatch::Flush() {
  const std::size_t n = std::exchange(m_nGathered, 0);
  if (n > 0) m_pfnPost(m_pContext, m_gathered.data(), n);
}
