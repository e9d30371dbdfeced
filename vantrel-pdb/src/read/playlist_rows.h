// Playlist tree rows (kind 7), playlist entry rows (kind 8) and history entry
// rows (kind 12).
#ifndef VANTREL_PDB_READ_PLAYLIST_ROWS_H_
#define VANTREL_PDB_READ_PLAYLIST_ROWS_H_

#include <cstdint>
#include <expected>
#include <string>

#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

namespace playlist_tree_row {
inline constexpr std::uint64_t kParentIdOffset = 0;
inline constexpr std::uint64_t kReservedOffset = 4;
inline constexpr std::uint64_t kSortOrderOffset = 8;
inline constexpr std::uint64_t kIdOffset = 12;
inline constexpr std::uint64_t kFolderFlagOffset = 16;
inline constexpr std::uint64_t kNameOffset = 20;
}  // namespace playlist_tree_row

namespace entry_row {
inline constexpr std::uint64_t kEntryIndexOffset = 0;
inline constexpr std::uint64_t kTrackIdOffset = 4;
inline constexpr std::uint64_t kPlaylistIdOffset = 8;
inline constexpr std::uint64_t kSize = 12;
}  // namespace entry_row

struct PlaylistTreeNode {
  std::string name;
  std::uint32_t id = 0;
  std::uint32_t parent_id = 0;
  std::uint32_t sort_order = 0;
  bool is_folder = false;  // any nonzero byte in the folder flag
  static std::expected<PlaylistTreeNode, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const PlaylistTreeNode&, const PlaylistTreeNode&) = default;
};

// Playlist entries and history entries share one 12-byte layout.
template <class Tag>
struct EntryRecord {
  std::uint32_t entry_index = 0;
  std::uint32_t track_id = 0;
  std::uint32_t playlist_id = 0;
  static std::expected<EntryRecord, PdbError> parse(Bytes image, std::uint64_t location);
  friend bool operator==(const EntryRecord&, const EntryRecord&) = default;
};
using PlaylistEntry = EntryRecord<struct PlaylistEntryTag>;
using HistoryEntry = EntryRecord<struct HistoryEntryTag>;

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_PLAYLIST_ROWS_H_
