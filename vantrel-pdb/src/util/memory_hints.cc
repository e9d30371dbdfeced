#include <sys/mman.h>

#include <cstdint>

#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb {

namespace {
constexpr std::uintptr_t kHugePageSize = std::uintptr_t{2} << 20;
}  // namespace

void advise_huge_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || size < kHugePageHintMinimum) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (last <= first) return;
  // A refusal (no transparent huge pages, or memory not from mmap) leaves
  // the memory as it was; the hint is only about speed.
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vantrel_pdb
