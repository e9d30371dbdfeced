// The program's global operator new: malloc, as the standard library's is,
// and for a block of many megabytes the hint that its pages be huge ones
// (vantrel_pdb::advise_huge_pages). A large library's request, its parsed
// document, the image and the report are such blocks, tens of megabytes
// each, and filling them a 4 KiB page at a time cost most of a build's
// system time in page faults (56,000 of them at 100,000 tracks, 16,900
// with the hint). Once the program uses huge heap pages, each block also
// goes by dovrel::advise_heap_block, which gives the hint to the heap's new
// memory (heap_pages.h), and a block of 128 KiB to 8 MiB has its pages
// filled in at once (dovrel::populate_block). Every other allocation
// (operator new[] and the nothrow forms call this one) behaves as before,
// and delete stays the standard library's free. Linked into the dovrel
// program alone: the library and its other users keep their own allocator.
// Under AddressSanitizer the sanitizer's operator new stays, since it
// checks every new against its delete.
#include <cstdlib>
#include <new>

#include "heap_pages.h"
#include "vantrel_pdb/bytes.h"

#if defined(__SANITIZE_ADDRESS__)
#define DOVREL_KEEP_STANDARD_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVREL_KEEP_STANDARD_NEW 1
#endif
#endif

#ifndef DOVREL_KEEP_STANDARD_NEW

void* operator new(std::size_t size) {
  if (size == 0) size = 1;  // each new gives a distinct pointer
  for (;;) {
    if (void* block = std::malloc(size)) {
      // Only whole 2 MiB blocks of large buffers are advised (no call below
      // kHugePageHintMinimum); the memory's contents are not touched.
      vantrel_pdb::advise_huge_pages(block, size);
      dovrel::advise_heap_block(block, size);
      dovrel::populate_block(block, size);
      return block;
    }
    // The heap's growth step of the huge pages' hint is the first thing to
    // go (heap_pages.h); then, as the standard's operator new does, the
    // new-handler may free memory, else the failure is std::bad_alloc
    // (which main reports).
    if (dovrel::give_up_heap_growth_step()) continue;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

#endif
