#include "table_rows.h"

#include <optional>
#include <string>

#include "vantrel_pdb/database.h"
#include "vantrel_pdb/format.h"

namespace dovrel {

namespace f = vantrel_pdb::format;

namespace {

std::unexpected<vantrel_pdb::PdbError> malformed(std::string what) {
  return std::unexpected(vantrel_pdb::PdbError(vantrel_pdb::pdb_error::Io{std::move(what)}));
}

}  // namespace

std::expected<std::vector<std::uint64_t>, vantrel_pdb::PdbError> table_rows_of_kind(vantrel_pdb::Bytes image,
                                                                                     std::uint32_t kind) {
  if (!vantrel_pdb::in_bounds(image, 0, f::kFileHeaderSize)) {
    return malformed("image of " + std::to_string(image.size()) + " bytes has no file header");
  }
  const std::uint32_t page_size = vantrel_pdb::decode_fixed32(image.data() + f::kPageSizeOffset);
  const std::uint32_t table_count = vantrel_pdb::decode_fixed32(image.data() + f::kTableCountOffset);
  if (!vantrel_pdb::in_bounds(image, f::kDirectoryOffset, std::uint64_t{table_count} * f::kTableEntrySize)) {
    return malformed("table directory of " + std::to_string(table_count) + " entries runs past the end of the image");
  }
  // The reader keeps the rows of the later entry when a kind occurs twice.
  std::optional<vantrel_pdb::TableEntry> last;
  for (std::uint32_t i = 0; i < table_count; ++i) {
    const std::uint8_t* e = image.data() + f::kDirectoryOffset + f::kTableEntrySize * i;
    if (vantrel_pdb::decode_fixed32(e + f::kEntryKindOffset) != kind) continue;
    last = vantrel_pdb::TableEntry{kind, vantrel_pdb::decode_fixed32(e + f::kEntryEmptyCandidateOffset),
                                   vantrel_pdb::decode_fixed32(e + f::kEntryFirstPageOffset),
                                   vantrel_pdb::decode_fixed32(e + f::kEntryLastPageOffset)};
  }
  if (!last) return std::vector<std::uint64_t>{};
  return vantrel_pdb::table_row_offsets(image, page_size, *last);
}

}  // namespace dovrel
