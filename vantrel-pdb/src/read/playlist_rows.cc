#include "read/playlist_rows.h"

#include "format/strings.h"

namespace vantrel_pdb {

std::expected<PlaylistTreeNode, PdbError> PlaylistTreeNode::parse(Bytes image, std::uint64_t location) {
  namespace r = playlist_tree_row;
  if (auto ok = require_bytes(image, location, r::kNameOffset); !ok) return std::unexpected(ok.error());
  const std::uint8_t* row = image.data() + location;
  PlaylistTreeNode node;
  node.parent_id = decode_fixed32(row + r::kParentIdOffset);
  node.sort_order = decode_fixed32(row + r::kSortOrderOffset);
  node.id = decode_fixed32(row + r::kIdOffset);
  node.is_folder = decode_fixed32(row + r::kFolderFlagOffset) != 0;
  auto name = decode_string(image, location + r::kNameOffset);
  if (!name) return std::unexpected(name.error());
  node.name = std::move(*name);
  return node;
}

template <class Tag>
std::expected<EntryRecord<Tag>, PdbError> EntryRecord<Tag>::parse(Bytes image, std::uint64_t location) {
  if (auto ok = require_bytes(image, location, entry_row::kSize); !ok) return std::unexpected(ok.error());
  const std::uint8_t* row = image.data() + location;
  EntryRecord<Tag> e;
  e.entry_index = decode_fixed32(row + entry_row::kEntryIndexOffset);
  e.track_id = decode_fixed32(row + entry_row::kTrackIdOffset);
  e.playlist_id = decode_fixed32(row + entry_row::kPlaylistIdOffset);
  return e;
}

template struct EntryRecord<PlaylistEntryTag>;
template struct EntryRecord<HistoryEntryTag>;

}  // namespace vantrel_pdb
