#include "read/directory_entries.h"

#include <algorithm>

#include "format/coding.h"
#include "format/validate.h"

namespace vantrel_pdb::checker {

namespace f = format;

std::vector<DirectoryEntry> directory_entries(Bytes image) {
  std::vector<DirectoryEntry> out;
  if (image.size() < f::kFileHeaderSize) return out;
  const std::uint32_t count = decode_fixed32(image.data() + f::kTableCountOffset);
  const bool out_of_range = count > kMaxTableCount;
  const std::uint64_t room =
      (std::min<std::uint64_t>(image.size(), f::kPageSize) - f::kDirectoryOffset) / f::kTableEntrySize;
  const std::uint64_t n = std::min<std::uint64_t>(count, room);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* e = image.data() + directory_entry_offset(i);
    const TableEntry entry{decode_fixed32(e + f::kEntryKindOffset), decode_fixed32(e + f::kEntryEmptyCandidateOffset),
                           decode_fixed32(e + f::kEntryFirstPageOffset), decode_fixed32(e + f::kEntryLastPageOffset)};
    if (out_of_range && entry == TableEntry{}) continue;
    out.push_back({i, entry});
  }
  return out;
}

}  // namespace vantrel_pdb::checker
