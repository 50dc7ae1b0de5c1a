#pragma once
// Fixed-size slots recycled between threads. Under a flood the capture thread
// allocates a record for every datagram and the window's thread frees it:
// with the heap, every one of those crosses arenas. Here each thread
// allocates from and frees to a cache of its own without a lock, and caches
// trade whole batches of kBatch slots with a shared store under a mutex, so
// the two threads meet once per batch, not once per datagram.
//
// Slots are never given back to the system: records outlive the engine (the
// list keeps them after a stop), so the pool lives to the end of the process,
// reachable from a static, and grows to the most slots ever live at once.
// Under AddressSanitizer a free slot is poisoned, so a use after free or a
// double free is still reported.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MORVANE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define MORVANE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define MORVANE_POISON(p, n) ((void)(p), (void)(n))
#define MORVANE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

// One pool per Tag type; nSlotSize a multiple of 64 (a slot never shares a
// cache line with another, which the other thread may be writing).
template <typename Tag, std::size_t nSlotSize>
class SlotPool {
  static_assert(nSlotSize % 64 == 0);

 public:
  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kPrefetchBytes = 256;

  // Null when memory runs out.
  static void* Allocate() noexcept {
    Cache& cache = ThreadCache();
    if (cache.pHead == nullptr && !Refill(cache)) return nullptr;
    Node* pNode = cache.pHead;
    cache.pHead = pNode->pNext;
    --cache.nCount;
    // The next slot was most likely freed on another thread, its first lines
    // in that core's cache: start bringing them here while this one is filled.
    if (cache.pHead != nullptr) {
      for (std::size_t nAt = 0; nAt < std::min(nSlotSize, kPrefetchBytes); nAt += 64)
        __builtin_prefetch(reinterpret_cast<const char*>(cache.pHead) + nAt, 1);
    }
    cache.nLive.store(cache.nLive.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (cache.bEnded) Retire(cache);
    MORVANE_UNPOISON(pNode, nSlotSize);
    return pNode;
  }

  static void Free(void* p) noexcept {
    if (p == nullptr) return;
    Cache& cache = ThreadCache();
    auto* pNode = static_cast<Node*>(p);
    pNode->pNext = cache.pHead;
    cache.pHead = pNode;
    MORVANE_POISON(reinterpret_cast<char*>(pNode) + sizeof(Node), nSlotSize - sizeof(Node));
    cache.nLive.store(cache.nLive.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    if (cache.bEnded)
      Retire(cache);
    else if (++cache.nCount >= 2 * kBatch)
      Spill(cache);
  }

  // Whether the calling thread's cache holds as many free slots as it counts,
  // and every batch in the store exactly kBatch: counts that drift end with a
  // spill walking off its list. Walks every free slot; for tests.
  static bool CountsHold() {
    const auto length = [](const Node* p) {
      std::size_t n = 0;
      for (; p != nullptr; p = p->pNext) ++n;
      return n;
    };
    Cache& cache = ThreadCache();
    if (length(cache.pHead) != cache.nCount) return false;
    Store& store = TheStore();
    std::lock_guard lock(store.mtx);
    return std::all_of(store.batches.begin(), store.batches.end(), [&](const Node* p) { return length(p) == kBatch; });
  }

  // Slots allocated and not yet freed, on every thread. Exact while no other
  // thread allocates or frees.
  static long CountLive() {
    Store& store = TheStore();
    std::lock_guard lock(store.mtx);
    long nLive = store.nLiveOfEndedThreads;
    for (const Cache* pCache : store.caches) nLive += pCache->nLive.load(std::memory_order_relaxed);
    return nLive;
  }

 private:
  struct Node {
    Node* pNext;
  };

  // Trivially destructible, so that it stays usable after its thread's
  // Ender has run (a static destructor may still free a record).
  struct Cache {
    Node* pHead = nullptr;
    std::size_t nCount = 0;
    std::atomic<long> nLive{0};  // written by its own thread only
    bool bRegistered = false;
    bool bEnded = false;  // from here on every operation goes straight to the store
  };

  struct Store {
    std::mutex mtx;
    std::vector<Node*> batches;  // each a list of exactly kBatch slots
    Node* pLoose = nullptr;      // what ended threads left: any count
    std::vector<void*> chunks;   // every slot ever made, kBatch to a chunk
    std::vector<const Cache*> caches;
    long nLiveOfEndedThreads = 0;
  };

  // Hands a thread's cache to the store as the thread ends.
  struct Ender {
    Cache* pCache = nullptr;
    ~Ender() {
      if (pCache == nullptr) return;
      pCache->bEnded = true;
      Retire(*pCache);
    }
  };

  static void Retire(Cache& cache) noexcept {
    Store& store = TheStore();
    std::lock_guard lock(store.mtx);
    if (cache.bRegistered) {
      std::erase(store.caches, &cache);
      cache.bRegistered = false;
    }
    store.nLiveOfEndedThreads += cache.nLive.exchange(0, std::memory_order_relaxed);
    while (cache.pHead != nullptr) {
      Node* pNext = cache.pHead->pNext;
      cache.pHead->pNext = store.pLoose;
      store.pLoose = cache.pHead;
      cache.pHead = pNext;
    }
    cache.nCount = 0;
  }

  static Store& TheStore() {
    static Store* s_pStore = new Store;  // never destroyed: records are freed until exit
    return *s_pStore;
  }

  static Cache& ThreadCache() noexcept {
    thread_local Cache t_cache;
    if (!t_cache.bRegistered && !t_cache.bEnded) {
      thread_local Ender t_ender;
      t_ender.pCache = &t_cache;
      Store& store = TheStore();
      std::lock_guard lock(store.mtx);
      store.caches.push_back(&t_cache);  // fails only when memory is gone, which ends the process
      t_cache.bRegistered = true;
    }
    return t_cache;
  }

  static bool Refill(Cache& cache) noexcept {
    Store& store = TheStore();
    std::lock_guard lock(store.mtx);
    if (!store.batches.empty()) {
      cache.pHead = store.batches.back();
      cache.nCount = kBatch;
      store.batches.pop_back();
      return true;
    }
    if (store.pLoose != nullptr) {  // at most a batch of it, so that the cache stays small
      Node* pLast = store.pLoose;
      for (cache.nCount = 1; cache.nCount < kBatch && pLast->pNext != nullptr; ++cache.nCount) pLast = pLast->pNext;
      cache.pHead = std::exchange(store.pLoose, pLast->pNext);
      pLast->pNext = nullptr;
      return true;
    }
    // A new chunk on a cache line's boundary, zero-filled: a fresh slot's
    // block reads as zeros.
    void* pChunk = std::aligned_alloc(64, kBatch * nSlotSize);
    if (pChunk == nullptr) return false;
    std::memset(pChunk, 0, kBatch * nSlotSize);
    try {
      store.chunks.push_back(pChunk);
      store.batches.reserve(store.chunks.size());  // so that a spill never allocates
    } catch (const std::bad_alloc&) {
      if (!store.chunks.empty() && store.chunks.back() == pChunk) store.chunks.pop_back();
      std::free(pChunk);
      return false;
    }
    auto* pBytes = static_cast<char*>(pChunk);
    for (std::size_t i = kBatch; i-- > 0;) {
      auto* pNode = reinterpret_cast<Node*>(pBytes + i * nSlotSize);
      pNode->pNext = cache.pHead;
      cache.pHead = pNode;
      MORVANE_POISON(pBytes + i * nSlotSize + sizeof(Node), nSlotSize - sizeof(Node));
    }
    cache.nCount = kBatch;
    return true;
  }

  // Hands the oldest kBatch of the cache's free slots to the store.
  static void Spill(Cache& cache) noexcept {
    Node* pKeep = cache.pHead;
    for (std::size_t i = 1; i < cache.nCount - kBatch; ++i) pKeep = pKeep->pNext;
    Node* pBatch = pKeep->pNext;
    pKeep->pNext = nullptr;
    cache.nCount -= kBatch;
    Store& store = TheStore();
    std::lock_guard lock(store.mtx);
    store.batches.push_back(pBatch);  // capacity reserved: one per chunk
  }
};
