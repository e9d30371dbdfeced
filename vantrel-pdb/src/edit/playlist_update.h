// Changing the playlist tree in place: renaming a node, moving it under
// another folder (its place among the new siblings), replacing a
// playlist's entries, and removing nodes with everything under them.
// Fixed fields (parent, sort order, an entry's index and track) are
// rewritten where they lie; a renamed node's row is rewritten in its own
// heap bytes when the new name fits, else marked absent and appended again
// with the same id, parent, sort order and flag.
//
// Every node with the given id is changed alike (an image may hold two);
// the checks read the first one in table order, as the reader resolves ids.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_PLAYLIST_UPDATE_H_
#define VANTREL_PDB_EDIT_PLAYLIST_UPDATE_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "edit/keep_only.h"
#include "read/database.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Renames node `id`. Fails before writing with PlaylistNotFound,
// StringTooLong or Damaged; an append's failure leaves the image
// half-changed (the caller keeps a copy). Appends go through a PdbEditor.
std::expected<void, PdbError> rename_playlist(std::vector<std::uint8_t>& image, const Database& db, std::uint32_t id,
                                              std::string_view name);

// Moves node `id` under `parent_id` (0: the top level) at `position`
// among the parent's other children in their order (sort order, ties in
// table order), 0-based; without one it goes after them. With a position
// the children are renumbered 0, 1, ... in their new order; without one
// the node takes the largest sort order + 1 (the children are renumbered
// only when that would pass 0xFFFFFFFF). Fails before writing with
// PlaylistNotFound for `id` or a parent that no node has, or with Refused
// for a parent that is not a folder, a parent that is the node or lies
// under it, or a position past the last child. Records every overwritten
// byte in `undo`.
std::expected<void, PdbError> move_playlist(std::vector<std::uint8_t>& image, const Database& db, std::uint32_t id,
                                            std::uint32_t parent_id, std::optional<std::uint32_t> position,
                                            UndoLog& undo);

// Makes `tracks` (in order, duplicates allowed) the entries of playlist
// `id`: its entry rows, in table order, take the entry indices 1, 2, ...
// and the new track ids in place; rows left over are marked absent, and
// tracks beyond the old rows get new entry rows. Fails before writing with
// PlaylistNotFound, Refused for a folder, or TrackNotFound for a track
// that no track row has; an append's failure leaves the image half-changed.
std::expected<void, PdbError> set_playlist_tracks(std::vector<std::uint8_t>& image, const Database& db,
                                                  std::uint32_t id, std::span<const std::uint32_t> tracks);

// Marks absent the nodes `ids`, every node under them, and their entries.
// Fails before writing with PlaylistNotFound for the first id that no node
// has. Records every overwritten byte in `undo`.
std::expected<void, PdbError> remove_playlists(std::vector<std::uint8_t>& image, const Database& db,
                                               std::span<const std::uint32_t> ids, UndoLog& undo);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_PLAYLIST_UPDATE_H_
