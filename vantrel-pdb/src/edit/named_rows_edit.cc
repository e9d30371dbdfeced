// Rows found or created by name: genres and labels through
// get_or_create_named, artists, albums and keys through add_track. The first
// row with the name wins; a new row takes the largest id + 1.
#include <array>
#include <string>

#include "edit/editor.h"
#include "edit/editor_lookup.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/strings.h"
#include "read/named_rows.h"

namespace vantrel_pdb {

std::expected<std::uint32_t, PdbError> PdbEditor::find_or_create(std::uint32_t kind, std::string_view name,
                                                                 const NamedRowShape& shape) {
  auto found = lookup_->find_name(image_, kind, name);
  if (!found) return std::unexpected(found.error());
  if (*found) return **found;

  auto largest = lookup_->largest_id(image_, kind);
  if (!largest) return std::unexpected(largest.error());
  auto id = next_number(*largest, shape.id_name);
  if (!id) return id;
  // Only a name that is not found is encoded.
  if (auto ok = append_shaped_row(kind, *id, name, shape); !ok) return std::unexpected(ok.error());
  return *id;
}

std::expected<std::uint64_t, PdbError> PdbEditor::append_shaped_row(std::uint32_t kind, std::uint32_t id,
                                                                    std::string_view name, const NamedRowShape& shape) {
  auto encoded = encode_string(name);
  if (!encoded) return std::unexpected(encoded.error());
  std::vector<std::uint8_t> row = shape.prefix;
  for (std::uint64_t offset : shape.id_offsets) encode_fixed32(row.data() + offset, id);
  row.insert(row.end(), encoded->begin(), encoded->end());
  std::uint64_t alloc = format::round_up4(shape.alloc_base + encoded->size());
  return append_row(kind, row, alloc, shape.stamp_row_index);
}

std::expected<std::uint32_t, PdbError> PdbEditor::get_or_create_named(std::uint32_t kind, std::string_view name) {
  if (kind != table_kind::genres && kind != table_kind::labels) {
    // Other tables have other row layouts: an id-and-name row there would
    // not decode as what the table holds.
    return std::unexpected(errors::misuse("table kind " + std::to_string(kind) + " does not hold genre or label rows"));
  }
  // Made once: the shapes are asked for once per track.
  static const auto kShapes =
      std::array<NamedRowShape, 2>{*named_row_shape(table_kind::genres, 0), *named_row_shape(table_kind::labels, 0)};
  return find_or_create(kind, name, kShapes[kind == table_kind::genres ? 0 : 1]);
}

}  // namespace vantrel_pdb
