// The file header and the table directory of page 0: the one place where
// the library reads them. Readers, the editor and the structure check all
// go through Directory, so that every one of them bounds the directory by
// the image in the same way and fails with the same messages.
#ifndef VANTREL_PDB_FORMAT_DIRECTORY_H_
#define VANTREL_PDB_FORMAT_DIRECTORY_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "format/format.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb::format {

// Byte offset in the image of directory entry `i`.
constexpr std::uint64_t entry_offset(std::uint64_t i) { return kDirectoryOffset + kTableEntrySize * i; }

// The two header fields that say how to read the rest of the image.
struct FileHeader {
  std::uint32_t page_size = 0;
  std::uint32_t table_count = 0;

  // Reads page_size and table_count. Fails with Damaged ("image of N bytes has
  // no file header") when the image is shorter than the 28-byte header.
  // The directory itself is not looked at.
  static std::expected<FileHeader, PdbError> read(Bytes image);
};

// A view of the table directory of one image, every entry of which lies
// inside that image. It holds a reference to the image's bytes: it must be
// read again after the image changes size.
class Directory {
 public:
  // Reads the file header and checks that all table_count entries lie inside
  // the image. Fails with Damaged: "image of N bytes has no file header", or
  // "table directory of N entries runs past the end of the image".
  static std::expected<Directory, PdbError> read(Bytes image);

  std::uint32_t page_size() const { return header_.page_size; }
  std::uint32_t size() const { return header_.table_count; }

  // Entry `i` in directory order. Requires: i < size().
  TableEntry entry(std::uint32_t i) const;
  // Every entry, in directory order.
  std::vector<TableEntry> entries() const;

  // Index of the first entry of `kind` (the one the editor appends to), or
  // of the last (the one whose rows the reader lists); nullopt when no
  // entry has that kind.
  std::optional<std::uint32_t> first_of(std::uint32_t kind) const;
  std::optional<std::uint32_t> last_of(std::uint32_t kind) const;

 private:
  Directory(Bytes image, FileHeader header) : image_(image), header_(header) {}

  std::uint32_t kind_at(std::uint32_t i) const;

  Bytes image_;
  FileHeader header_;
};

// The first directory entry of a kind: the one the editor appends to.
struct FoundEntry {
  std::uint32_t index = 0;
  TableEntry entry;
};

// Reads the directory of `image` and finds the first entry of `kind`.
// Fails as Directory::read fails, or with NoTable carrying the kind.
std::expected<FoundEntry, PdbError> find_first_entry(Bytes image, std::uint32_t kind);

}  // namespace vantrel_pdb::format

#endif  // VANTREL_PDB_FORMAT_DIRECTORY_H_
