// Huge pages for the program's heap. A large library's records, indexes
// and report blocks are millions of small blocks, and filling the heap a
// 4 KiB page at a time costs a page fault per page: at 100,000 tracks a
// read took 7,800 of them, a build 15,000, and on a virtual machine a fault
// costs microseconds. Once use_huge_heap_pages() is called, the main heap
// grows in steps of kHeapGrowthStep and every block the program's operator
// new returns (huge_page_new.cc) goes by advise_heap_block, so that heap
// memory no block has touched yet gets the hint that its pages be huge
// ones: one fault per 2 MiB.
//
// The hint costs memory: a huge page is resident whole once touched, and
// the allocator keeps a growth step's worth of freed memory at each heap's
// top instead of giving it back. (Setting the step also keeps glibc's
// threshold for mapping a block of its own at its start, 128 KiB, where it
// would otherwise rise after the first such block is freed.) An action
// whose memory is already at its budget goes without (the caller decides). The hint never changes what
// memory holds; where the system refuses it, nothing changes at all.
//
// What is assumed of the C library's allocator (glibc's): the main heap is
// the program break; a thread's heap is a reservation of kThreadHeapSize
// bytes aligned to that size, from which it serves every block below
// kSmallBlockBound. A wrong assumption costs only the hint's effect (or
// gives it to other memory of the process).
#ifndef DOVREL_HEAP_PAGES_H_
#define DOVREL_HEAP_PAGES_H_

#include <cstddef>
#include <cstdint>

namespace dovrel {

inline constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;
// How far beyond a block the main heap grows when it must grow: whole huge
// pages of room that no block has touched yet, which the hint can reach.
inline constexpr std::size_t kHeapGrowthStep = std::size_t{32} << 20;
// What the allocator grows by when left to itself.
inline constexpr std::size_t kDefaultHeapGrowthStep = std::size_t{128} << 10;
inline constexpr std::uintptr_t kThreadHeapSize = std::uintptr_t{64} << 20;
// Below this size a block comes from a heap, never from a mapping of its own.
inline constexpr std::size_t kSmallBlockBound = std::size_t{128} << 10;

// The whole huge pages within [from, to): [first, last), both zero when
// there is none.
struct PageSpan {
  std::uintptr_t first = 0;
  std::uintptr_t last = 0;
};
PageSpan whole_huge_pages(std::uintptr_t from, std::uintptr_t to);

// Starts the hint, once per process (later calls do nothing): the main heap
// grows by kHeapGrowthStep, and advise_heap_block advises from now on.
void use_huge_heap_pages();

// When memory runs out with the hint in use: gives up the growth step (the
// heap grows by the allocator's default again, so that what is left can
// still be had) and returns true the first time, false after that or
// without the hint.
bool give_up_heap_growth_step();

// Has the kernel back the whole 4 KiB pages of a block of at least
// kSmallBlockBound and less than vantrel_pdb::kHugePageHintMinimum bytes
// with memory now, in one call (MADV_POPULATE_WRITE), and does nothing for
// other sizes. Such a block is most often a mapping of its own that its
// caller is about to fill (a table's row locations, a decoded table, a name
// index), and each of its pages would otherwise cost a page fault when
// first written: on a virtual machine the fault's trap is half of what a
// page costs, 9.7 against 4.7 microseconds. The contents stay as they are
// (zeros for new memory). Larger blocks get the huge pages' hint instead; a
// block's bytes beyond what its caller fills are at most its size, so at
// most 8 MiB. Where the system refuses (an old kernel, no memory to spare
// now), the pages come one fault at a time as before. Safe to call from
// any thread.
void populate_block(void* block, std::size_t size);

// Whether use_huge_heap_pages has been called.
bool huge_heap_pages_in_use();

// Called with each block the allocator has just returned (before it is
// written): when the main heap has grown since the last call, its new whole
// huge pages are advised; a small block from a thread's heap not seen
// before has that heap advised whole. Safe to call from any thread; does
// nothing while the hint is not in use.
void advise_heap_block(const void* block, std::size_t size);

}  // namespace dovrel

#endif  // DOVREL_HEAP_PAGES_H_
