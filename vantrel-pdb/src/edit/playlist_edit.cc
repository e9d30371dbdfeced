// Playlists and folders in the playlist tree (kind 7) and their entries
// (kind 8).
#include <array>
#include <string>

#include "edit/editor.h"
#include "edit/editor_lookup.h"
#include "format/format.h"
#include "format/strings.h"
#include "read/playlist_rows.h"

namespace vantrel_pdb {

namespace {
constexpr std::uint32_t kFolderFlag = 1;
}  // namespace

std::expected<void, PdbError> PdbEditor::create_playlist(std::uint32_t id, std::string_view name,
                                                         std::uint32_t parent_id, bool is_folder,
                                                         std::optional<std::uint32_t> given_sort_order) {
  namespace r = playlist_tree_row;
  std::uint32_t sort_order = 0;
  if (given_sort_order) {
    sort_order = *given_sort_order;
  } else {
    // Sort orders count among the siblings only.
    auto largest_sort = lookup_->largest_sort_order(image_, parent_id);
    if (!largest_sort) return std::unexpected(largest_sort.error());
    // A position, not an id: it wraps like any 32-bit counter of the format
    // (0xFFFFFFFF is followed by 0).
    sort_order = *largest_sort ? **largest_sort + 1u : 0u;
  }
  auto encoded = encode_string(name);
  if (!encoded) return std::unexpected(encoded.error());

  std::vector<std::uint8_t> row(r::kNameOffset, 0);
  encode_fixed32(row.data() + r::kParentIdOffset, parent_id);
  encode_fixed32(row.data() + r::kSortOrderOffset, sort_order);
  encode_fixed32(row.data() + r::kIdOffset, id);
  encode_fixed32(row.data() + r::kFolderFlagOffset, is_folder ? kFolderFlag : 0);
  row.insert(row.end(), encoded->begin(), encoded->end());
  if (auto ok = append_row(table_kind::playlist_tree, row, format::round_up4(row.size()), false); !ok) {
    return std::unexpected(ok.error());
  }
  return {};
}

std::expected<void, PdbError> PdbEditor::add_to_playlist(std::uint32_t playlist_id, std::uint32_t track_id,
                                                         std::optional<std::uint32_t> entry_index) {
  // Only the first node with the id counts, and a folder holds no tracks.
  auto node = lookup_->find_node(image_, playlist_id);
  if (!node) return std::unexpected(node.error());
  if (!*node || (*node)->is_folder) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{playlist_id}));

  if (!entry_index) {
    auto largest = lookup_->largest_entry_index(image_, playlist_id);
    if (!largest) return std::unexpected(largest.error());
    // Wraps as sort orders do: an index after 0xFFFFFFFF is 0.
    entry_index = *largest ? **largest + 1u : 1u;
  }
  std::array<std::uint8_t, entry_row::kSize> row{};
  encode_fixed32(row.data() + entry_row::kEntryIndexOffset, *entry_index);
  encode_fixed32(row.data() + entry_row::kTrackIdOffset, track_id);
  encode_fixed32(row.data() + entry_row::kPlaylistIdOffset, playlist_id);
  if (auto ok = append_row(table_kind::playlist_entries, row, entry_row::kSize, false); !ok) {
    return std::unexpected(ok.error());
  }
  return {};
}

}  // namespace vantrel_pdb
