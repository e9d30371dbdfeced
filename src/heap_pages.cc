#include "heap_pages.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "vantrel_pdb/bytes.h"

// The end of the program's own data: the main heap (the program break)
// starts above it, every mapping of its own far above that.
extern "C" char end;  // NOLINT(readability-identifier-naming)

namespace dovrel {

namespace {

std::atomic<bool> in_use{false};
// The main heap's top as last seen.
std::atomic<std::uintptr_t> heap_top_seen{0};
// The threads' heaps advised, in the order first seen. The allocator makes
// at most eight per core; past these the rest go without the hint.
constexpr std::size_t kThreadHeapSlots = 64;
std::array<std::atomic<std::uintptr_t>, kThreadHeapSlots> thread_heaps{};
// The heap this thread's last block came from, so that a run of blocks
// from one heap costs one comparison each.
thread_local std::uintptr_t last_thread_heap = 0;

constexpr std::uintptr_t kSmallPageBytes = 4096;
// MADV_POPULATE_WRITE (Linux 5.14), which older C library headers lack.
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif

// The whole pages of `page_bytes` (a power of two) within [from, to).
PageSpan whole_pages(std::uintptr_t from, std::uintptr_t to, std::uintptr_t page_bytes) {
  const std::uintptr_t first = (from + page_bytes - 1) & ~(page_bytes - 1);
  const std::uintptr_t last = to & ~(page_bytes - 1);
  return first < last ? PageSpan{first, last} : PageSpan{};
}

std::uintptr_t program_break() { return reinterpret_cast<std::uintptr_t>(::sbrk(0)); }

void advise(std::uintptr_t first, std::uintptr_t last) {
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// The main heap has its top at `top`: what it grew by since the last look
// is advised by the one thread that sees the change first.
void advise_main_heap(std::uintptr_t top) {
  std::uintptr_t seen = heap_top_seen.load(std::memory_order_relaxed);
  if (top == seen || !heap_top_seen.compare_exchange_strong(seen, top, std::memory_order_relaxed)) return;
  if (top < seen) return;  // the allocator gave memory back: nothing new
  const PageSpan span = whole_huge_pages(seen, top);
  if (span.first < span.last) advise(span.first, span.last);
}

// Advises the whole thread heap at `base` the first time a block from it is
// seen; most of it is still reserved and untouched then.
void advise_thread_heap(std::uintptr_t base) {
  if (base == last_thread_heap) return;
  last_thread_heap = base;
  for (auto& slot : thread_heaps) {
    std::uintptr_t held = 0;
    if (slot.compare_exchange_strong(held, base, std::memory_order_relaxed)) {
      advise(base, base + kThreadHeapSize);
      return;
    }
    if (held == base) return;
  }
}

}  // namespace

PageSpan whole_huge_pages(std::uintptr_t from, std::uintptr_t to) { return whole_pages(from, to, kHugePageBytes); }

void use_huge_heap_pages() {
  static std::once_flag started;
  std::call_once(started, [] {
    (void)::mallopt(M_TOP_PAD, static_cast<int>(kHeapGrowthStep));
    // What lies below the top now may be touched already: the hint starts
    // with the heap's next growth.
    heap_top_seen.store(program_break(), std::memory_order_relaxed);
    in_use.store(true, std::memory_order_release);
  });
}

bool give_up_heap_growth_step() {
  static std::atomic<bool> given_up{false};
  if (!huge_heap_pages_in_use() || given_up.exchange(true)) return false;
  (void)::mallopt(M_TOP_PAD, static_cast<int>(kDefaultHeapGrowthStep));
  return true;
}

bool huge_heap_pages_in_use() { return in_use.load(std::memory_order_acquire); }

void populate_block(void* block, std::size_t size) {
  // Cleared once the kernel says it does not know the advice, so that an
  // old kernel costs one refused call.
  static std::atomic<bool> known{true};
  if (block == nullptr || size < kSmallBlockBound || size >= vantrel_pdb::kHugePageHintMinimum ||
      !known.load(std::memory_order_relaxed)) {
    return;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const PageSpan span = whole_pages(at, at + size, kSmallPageBytes);
  if (span.first == span.last) return;
  if (::madvise(reinterpret_cast<void*>(span.first), span.last - span.first, kPopulateWrite) != 0 && errno == EINVAL) {
    known.store(false, std::memory_order_relaxed);
  }
}

void advise_heap_block(const void* block, std::size_t size) {
  // Acquire: the top seen when the hint started is there to compare with.
  if (block == nullptr || !in_use.load(std::memory_order_acquire)) return;
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t top = program_break();
  if (at >= reinterpret_cast<std::uintptr_t>(&end) && at < top) {
    advise_main_heap(top);
  } else if (size < kSmallBlockBound) {
    advise_thread_heap(at & ~(kThreadHeapSize - 1));
  }
}

}  // namespace dovrel
