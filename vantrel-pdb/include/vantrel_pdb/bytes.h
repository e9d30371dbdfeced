// Bytes: how the library takes a page image or a row it only reads, and a
// part of an image it may change; and the hint it gives the system for large
// buffers of them, which programs that hold such buffers too may give alike.
#ifndef VANTREL_PDB_BYTES_H_
#define VANTREL_PDB_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// Buffers smaller than this are left alone by advise_huge_pages: the hint
// pays only over many huge pages.
inline constexpr std::size_t kHugePageHintMinimum = std::size_t{8} << 20;

// Asks that the not yet touched memory of [data, data + size) be backed by
// huge pages where the system offers them (transparent huge pages in
// "madvise" mode), so that filling it takes one fault per 2 MiB instead of
// one per 4 KiB: a library of 100,000 tracks moves buffers of tens of
// megabytes. Only the whole 2 MiB blocks inside the range are advised;
// nothing happens below kHugePageHintMinimum or where the system refuses.
// The memory's contents and ownership do not change.
void advise_huge_pages(void* data, std::size_t size);

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_BYTES_H_
