// Hints to the operating system about large buffers. A library of 100,000
// tracks moves buffers of tens of megabytes (the image, a request, a
// report); faulting them in 4 KiB at a time costs more than filling them.
#ifndef VANTREL_PDB_MEMORY_HINTS_H_
#define VANTREL_PDB_MEMORY_HINTS_H_

#include <cstddef>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

// Buffers smaller than this are left alone: the hint pays only over many
// huge pages.
inline constexpr std::size_t kHugePageHintMinimum = std::size_t{8} << 20;

// Asks that the not yet touched memory of [data, data + size) be backed by
// huge pages where the system offers them (transparent huge pages in
// "madvise" mode), so that filling it takes one fault per 2 MiB instead of
// one per 4 KiB. Only the whole 2 MiB blocks inside the range are advised;
// nothing happens below kHugePageHintMinimum or where the system refuses.
// The memory's contents and ownership do not change.
void advise_huge_pages(void* data, std::size_t size);

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_MEMORY_HINTS_H_
