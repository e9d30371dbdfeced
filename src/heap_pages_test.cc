#include "heap_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" char end;  // NOLINT(readability-identifier-naming)

namespace dovrel {
namespace {

constexpr std::uintptr_t kMiB = std::uintptr_t{1} << 20;

TEST(HeapPages, WholeHugePagesOfARange) {
  struct Case {
    std::uintptr_t from, to, first, last;
  };
  for (const Case c :
       {Case{0, 2 * kMiB, 0, 2 * kMiB}, Case{1, 2 * kMiB, 0, 0}, Case{1, 4 * kMiB + 5, 2 * kMiB, 4 * kMiB},
        Case{2 * kMiB, 2 * kMiB, 0, 0}, Case{3 * kMiB, 5 * kMiB, 0, 0},
        Case{2 * kMiB - 1, 8 * kMiB - 1, 2 * kMiB, 6 * kMiB}, Case{6 * kMiB, 2 * kMiB, 0, 0}}) {
    const PageSpan span = whole_huge_pages(c.from, c.to);
    EXPECT_EQ(span.first, c.first) << c.from << " " << c.to;
    EXPECT_EQ(span.last, c.last) << c.from << " " << c.to;
  }
}

struct Mapping {
  std::uintptr_t begin = 0, end = 0;
};

// The mappings of this process that carry the huge pages' hint.
std::vector<Mapping> hinted_mappings() {
  std::vector<Mapping> hinted;
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  Mapping current;
  while (std::getline(smaps, line)) {
    if (line.starts_with("VmFlags:")) {
      if ((line + " ").find(" hg ") != std::string::npos) hinted.push_back(current);
      continue;
    }
    const auto dash = line.find('-');
    const auto space = line.find(' ');
    if (dash == std::string::npos || space == std::string::npos || dash > space) continue;
    if (line.find_first_not_of("0123456789abcdef") != dash) continue;
    current = {std::stoull(line.substr(0, dash), nullptr, 16),
               std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16)};
  }
  return hinted;
}

// The hint reaches the main heap as it grows and the heap of a thread, and
// no other memory of the process.
TEST(HeapPages, GivesTheHintToTheHeapsAndNothingElse) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator has heaps of its own";
#endif
  if (!std::filesystem::exists("/sys/kernel/mm/transparent_hugepage/enabled")) {
    GTEST_SKIP() << "no transparent huge pages";
  }
  use_huge_heap_pages();
  ASSERT_TRUE(huge_heap_pages_in_use());
  const auto heap_begin = reinterpret_cast<std::uintptr_t>(&end);
  std::vector<void*> blocks;
  constexpr std::size_t kBlock = 4000;
  for (std::size_t i = 0; i < 3 * kHeapGrowthStep / kBlock; ++i) {
    blocks.push_back(std::malloc(kBlock));
    advise_heap_block(blocks.back(), kBlock);
  }
  void* theirs = nullptr;
  std::thread([&theirs] {
    theirs = std::malloc(kBlock);
    advise_heap_block(theirs, kBlock);
  }).join();
  const auto heap_top = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  const auto their_block = reinterpret_cast<std::uintptr_t>(theirs);
  const std::uintptr_t their_heap = their_block & ~(kThreadHeapSize - 1);
  const bool theirs_in_main_heap = their_block >= heap_begin && their_block < heap_top;

  const std::vector<Mapping> hinted = hinted_mappings();
  bool main_heap_hinted = false, their_heap_hinted = false;
  for (const Mapping& m : hinted) {
    const bool in_main_heap = m.begin >= heap_begin && m.end <= heap_top;
    const bool in_their_heap = !theirs_in_main_heap && m.begin >= their_heap && m.end <= their_heap + kThreadHeapSize;
    EXPECT_TRUE(in_main_heap || in_their_heap) << std::hex << m.begin << "-" << m.end;
    main_heap_hinted |= in_main_heap;
    their_heap_hinted |= in_their_heap && m.begin <= their_block && their_block < m.end;
  }
  EXPECT_TRUE(main_heap_hinted);
  if (!theirs_in_main_heap) {
    EXPECT_TRUE(their_heap_hinted);
  }

  std::free(theirs);
  for (void* block : blocks) std::free(block);
}

// The 4 KiB pages of [at, at + size) that are resident.
std::size_t resident_pages(const char* at, std::size_t size) {
  std::vector<unsigned char> flags((size + 4095) / 4096);
  if (::mincore(const_cast<char*>(at), size, flags.data()) != 0) return 0;
  std::size_t resident = 0;
  for (unsigned char f : flags) resident += f & 1u;
  return resident;
}

// populate_block backs every whole page of a block of its sizes, from the
// first page boundary in it to the last, and touches no other block.
TEST(HeapPages, PopulatesTheWholePagesOfBlocksOfItsSizes) {
  struct Case {
    std::size_t offset, size, resident;
  };
  constexpr std::size_t kKiB = 1024;
  {
    void* probe = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    const bool known = ::madvise(probe, 4096, 23 /* MADV_POPULATE_WRITE */) == 0;
    ::munmap(probe, 4096);
    if (!known) GTEST_SKIP() << "the kernel does not populate on request";
  }
  for (const Case c : {Case{0, 512 * kKiB, 128}, Case{0, kSmallBlockBound, 32}, Case{16, 512 * kKiB, 127},
                       Case{16, 512 * kKiB + 4080, 128}, Case{0, kSmallBlockBound - 4096, 0}, Case{0, 8 * kMiB, 0}}) {
    const std::size_t mapped = c.offset + c.size + 4096;
    void* mapping = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    (void)::madvise(mapping, mapped, MADV_NOHUGEPAGE);
    char* block = static_cast<char*>(mapping) + c.offset;
    populate_block(block, c.size);
    EXPECT_EQ(resident_pages(static_cast<char*>(mapping), mapped), c.resident) << c.offset << " " << c.size;
    ::munmap(mapping, mapped);
  }
}

}  // namespace
}  // namespace dovrel
