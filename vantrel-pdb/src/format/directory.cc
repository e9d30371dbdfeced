#include "format/directory.h"

#include <string>

#include "format/coding.h"
#include "format/errors.h"

namespace vantrel_pdb::format {

namespace {

std::unexpected<PdbError> malformed(std::string what) { return std::unexpected(errors::damaged(std::move(what))); }

}  // namespace

std::expected<FileHeader, PdbError> FileHeader::read(Bytes image) {
  if (!in_bounds(image, 0, kFileHeaderSize)) {
    return malformed("image of " + std::to_string(image.size()) + " bytes has no file header");
  }
  return FileHeader{decode_fixed32(image.data() + kPageSizeOffset), decode_fixed32(image.data() + kTableCountOffset)};
}

std::expected<Directory, PdbError> Directory::read(Bytes image) {
  auto header = FileHeader::read(image);
  if (!header) return std::unexpected(header.error());
  if (!in_bounds(image, kDirectoryOffset, kTableEntrySize * std::uint64_t{header->table_count})) {
    return malformed("table directory of " + std::to_string(header->table_count) +
                     " entries runs past the end of the image");
  }
  return Directory(image, *header);
}

std::uint32_t Directory::kind_at(std::uint32_t i) const {
  return decode_fixed32(image_.data() + entry_offset(i) + kEntryKindOffset);
}

TableEntry Directory::entry(std::uint32_t i) const {
  const std::uint8_t* e = image_.data() + entry_offset(i);
  return {decode_fixed32(e + kEntryKindOffset), decode_fixed32(e + kEntryEmptyCandidateOffset),
          decode_fixed32(e + kEntryFirstPageOffset), decode_fixed32(e + kEntryLastPageOffset)};
}

std::vector<TableEntry> Directory::entries() const {
  std::vector<TableEntry> out;
  out.reserve(size());
  for (std::uint32_t i = 0; i < size(); ++i) out.push_back(entry(i));
  return out;
}

std::optional<std::uint32_t> Directory::first_of(std::uint32_t kind) const {
  for (std::uint32_t i = 0; i < size(); ++i) {
    if (kind_at(i) == kind) return i;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> Directory::last_of(std::uint32_t kind) const {
  for (std::uint32_t i = size(); i > 0; --i) {
    if (kind_at(i - 1) == kind) return i - 1;
  }
  return std::nullopt;
}

std::expected<FoundEntry, PdbError> find_first_entry(Bytes image, std::uint32_t kind) {
  auto directory = Directory::read(image);
  if (!directory) return std::unexpected(directory.error());
  auto found = directory->first_of(kind);
  if (!found) return std::unexpected(PdbError(pdb_error::NoTable{kind}));
  return FoundEntry{*found, directory->entry(*found)};
}

}  // namespace vantrel_pdb::format
