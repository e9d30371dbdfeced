// The table directory as far as a damaged image still holds it.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_DIRECTORY_ENTRIES_H_
#define VANTREL_PDB_READ_DIRECTORY_ENTRIES_H_

#include <cstdint>
#include <vector>

#include "format/format.h"
#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb::checker {

// One directory entry, with its position in the directory.
struct DirectoryEntry {
  std::uint32_t index = 0;
  TableEntry entry;
};

// The entries that page 0 holds: table_count of them, as far as the image
// (and page 0) has room; when table_count is out of range (above 200), every
// entry of page 0 that is not all zero. None for an image shorter than the
// file header.
std::vector<DirectoryEntry> directory_entries(Bytes image);

// Byte position of entry `index` in the image.
constexpr std::uint64_t directory_entry_offset(std::uint32_t index) {
  return format::kDirectoryOffset + format::kTableEntrySize * std::uint64_t{index};
}

}  // namespace vantrel_pdb::checker

#endif  // VANTREL_PDB_READ_DIRECTORY_ENTRIES_H_
