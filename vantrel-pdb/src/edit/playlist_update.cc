#include "edit/playlist_update.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>

#include "edit/editor.h"
#include "edit/row_space.h"
#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/string_codec.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "util/id_map.h"

namespace vantrel_pdb {

namespace {

namespace f = format;
namespace t = playlist_tree_row;
namespace kind = table_kind;

// A tree row's fixed fields, read where the row lies.
struct Node {
  std::uint64_t row = 0;
  std::uint32_t id = 0;
  std::uint32_t parent_id = 0;
  std::uint32_t sort_order = 0;
  bool is_folder = false;
};

std::expected<std::vector<Node>, PdbError> read_nodes(Bytes image, const Database& db) {
  std::vector<Node> nodes;
  for (std::uint64_t row : db.row_locations(kind::playlist_tree)) {
    if (!in_bounds(image, row, t::kNameOffset)) return std::unexpected(errors::damaged("tree row outside the image"));
    const std::uint8_t* p = image.data() + row;
    nodes.push_back({row, decode_fixed32(p + t::kIdOffset), decode_fixed32(p + t::kParentIdOffset),
                     decode_fixed32(p + t::kSortOrderOffset), decode_fixed32(p + t::kFolderFlagOffset) != 0});
  }
  return nodes;
}

// The first node with `id`, or null.
const Node* first_node(const std::vector<Node>& nodes, std::uint32_t id) {
  for (const Node& node : nodes) {
    if (node.id == id) return &node;
  }
  return nullptr;
}

void write32(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint32_t value, UndoLog& undo) {
  undo.save(image, pos, 4);
  encode_fixed32(image.data() + pos, value);
}

// An entry row of `playlist_id` at `entry_index` naming `track_id`.
std::array<std::uint8_t, entry_row::kSize> entry_bytes(std::uint32_t entry_index, std::uint32_t track_id,
                                                       std::uint32_t playlist_id) {
  std::array<std::uint8_t, entry_row::kSize> row{};
  encode_fixed32(row.data() + entry_row::kEntryIndexOffset, entry_index);
  encode_fixed32(row.data() + entry_row::kTrackIdOffset, track_id);
  encode_fixed32(row.data() + entry_row::kPlaylistIdOffset, playlist_id);
  return row;
}

}  // namespace

std::expected<void, PdbError> rename_playlist(std::vector<std::uint8_t>& image, const Database& db, std::uint32_t id,
                                              std::string_view name) {
  auto nodes = read_nodes(image, db);
  if (!nodes) return std::unexpected(nodes.error());
  std::vector<std::uint8_t> encoded;
  if (auto ok = append_encoded_string(encoded, name); !ok) return ok;
  struct Rewrite {
    std::uint64_t row;
    std::uint64_t room;
  };
  std::vector<Rewrite> rewrites;
  std::vector<std::uint64_t> replaced;
  for (const Node& node : *nodes) {
    if (node.id != id) continue;
    auto place = place_of_row(image, db.page_size, node.row);
    if (!place) return std::unexpected(place.error());
    if (t::kNameOffset + encoded.size() <= place->room) {
      rewrites.push_back({node.row, place->room});
    } else {
      replaced.push_back(node.row);
    }
  }
  if (rewrites.empty() && replaced.empty()) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{id}));

  // Each row keeps its fixed bytes, whatever they hold; the name follows.
  const auto row_bytes = [&](std::uint64_t row) {
    std::vector<std::uint8_t> bytes(image.begin() + static_cast<std::ptrdiff_t>(row),
                                    image.begin() + static_cast<std::ptrdiff_t>(row + t::kNameOffset));
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    return bytes;
  };
  std::vector<std::vector<std::uint8_t>> appended;
  for (std::uint64_t row : replaced) appended.push_back(row_bytes(row));
  for (const Rewrite& rewrite : rewrites) rewrite_row(image, rewrite.row, row_bytes(rewrite.row), rewrite.room);
  if (appended.empty()) return {};
  UndoLog unused;
  if (auto ok = mark_rows_absent(image, db.page_size, replaced, unused); !ok) return ok;
  PdbEditor editor = PdbEditor::from_bytes(std::move(image));
  std::expected<void, PdbError> result;
  for (const auto& row : appended) {
    auto ok = editor.append_row(kind::playlist_tree, row, f::round_up4(row.size()), false);
    if (!ok) {
      result = std::unexpected(ok.error());
      break;
    }
  }
  image = std::move(editor).into_bytes();
  return result;
}

std::expected<void, PdbError> move_playlist(std::vector<std::uint8_t>& image, const Database& db, std::uint32_t id,
                                            std::uint32_t parent_id, std::optional<std::uint32_t> position,
                                            UndoLog& undo) {
  auto nodes = read_nodes(image, db);
  if (!nodes) return std::unexpected(nodes.error());
  if (!first_node(*nodes, id)) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{id}));
  if (parent_id != 0) {
    const Node* parent = first_node(*nodes, parent_id);
    if (!parent) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{parent_id}));
    if (!parent->is_folder) {
      return std::unexpected(errors::refused("playlist " + std::to_string(parent_id) + " is not a folder"));
    }
    // The new parent must not be the node or lie under it: walk up from it.
    std::uint32_t above = parent_id;
    for (std::size_t steps = 0; above != 0 && steps <= nodes->size(); ++steps) {
      if (above == id) {
        return std::unexpected(errors::refused("cannot move playlist " + std::to_string(id) + " into folder " +
                                               std::to_string(parent_id) + ", which lies under it"));
      }
      const Node* node = first_node(*nodes, above);
      above = node ? node->parent_id : 0;
    }
  }

  // The other children of the new parent, in their order.
  std::vector<const Node*> siblings;
  for (const Node& node : *nodes) {
    if (node.parent_id == parent_id && node.id != id) siblings.push_back(&node);
  }
  std::stable_sort(siblings.begin(), siblings.end(),
                   [](const Node* a, const Node* b) { return a->sort_order < b->sort_order; });
  std::optional<std::uint32_t> largest;
  for (const Node* node : siblings) largest = std::max(largest.value_or(0), node->sort_order);
  if (position && *position > siblings.size()) {
    return std::unexpected(errors::refused("position " + std::to_string(*position) + " is past the " +
                                           std::to_string(siblings.size()) + " other playlists under " +
                                           std::to_string(parent_id)));
  }
  const bool renumber = position || (largest && *largest == UINT32_MAX);
  const std::size_t at = position ? *position : siblings.size();
  std::uint32_t sort_order = largest ? *largest + 1 : 0;
  if (renumber) {
    for (std::size_t i = 0; i < siblings.size(); ++i) {
      const auto order = static_cast<std::uint32_t>(i < at ? i : i + 1);
      if (siblings[i]->sort_order != order) write32(image, siblings[i]->row + t::kSortOrderOffset, order, undo);
    }
    sort_order = static_cast<std::uint32_t>(at);
  }
  for (const Node& node : *nodes) {
    if (node.id != id) continue;
    write32(image, node.row + t::kParentIdOffset, parent_id, undo);
    write32(image, node.row + t::kSortOrderOffset, sort_order, undo);
  }
  return {};
}

std::expected<void, PdbError> set_playlist_tracks(std::vector<std::uint8_t>& image, const Database& db,
                                                  std::uint32_t id, std::span<const std::uint32_t> tracks) {
  auto nodes = read_nodes(image, db);
  if (!nodes) return std::unexpected(nodes.error());
  const Node* node = first_node(*nodes, id);
  if (!node) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{id}));
  if (node->is_folder) {
    return std::unexpected(errors::refused("playlist " + std::to_string(id) + " is a folder, which holds no tracks"));
  }
  std::vector<std::uint32_t> track_ids;
  for (std::uint64_t row : db.row_locations(kind::tracks)) {
    auto track = load_u32(image, row + track_row::kIdOffset);
    if (!track) return std::unexpected(track.error());
    track_ids.push_back(*track);
  }
  const IdSet known = id_set_of(track_ids);
  for (std::uint32_t track : tracks) {
    if (!known.contains(track)) return std::unexpected(PdbError(pdb_error::TrackNotFound{track}));
  }
  std::vector<std::uint64_t> rows;
  for (std::uint64_t row : db.row_locations(kind::playlist_entries)) {
    auto playlist = load_u32(image, row + entry_row::kPlaylistIdOffset);
    if (!playlist) return std::unexpected(playlist.error());
    if (*playlist == id) rows.push_back(row);
  }

  // Rows past the new end go; the others take the new entries in order.
  const std::size_t kept = std::min(rows.size(), tracks.size());
  UndoLog unused;
  if (auto ok = mark_rows_absent(image, db.page_size, std::span(rows).subspan(kept), unused); !ok) return ok;
  for (std::size_t i = 0; i < kept; ++i) {
    const auto row = entry_bytes(static_cast<std::uint32_t>(i + 1), tracks[i], id);
    std::copy(row.begin(), row.end(), image.begin() + static_cast<std::ptrdiff_t>(rows[i]));
  }
  if (kept == tracks.size()) return {};
  PdbEditor editor = PdbEditor::from_bytes(std::move(image));
  std::expected<void, PdbError> result;
  for (std::size_t i = kept; i < tracks.size(); ++i) {
    const auto row = entry_bytes(static_cast<std::uint32_t>(i + 1), tracks[i], id);
    auto ok = editor.append_row(kind::playlist_entries, row, entry_row::kSize, false);
    if (!ok) {
      result = std::unexpected(ok.error());
      break;
    }
  }
  image = std::move(editor).into_bytes();
  return result;
}

std::expected<void, PdbError> remove_playlists(std::vector<std::uint8_t>& image, const Database& db,
                                               std::span<const std::uint32_t> ids, UndoLog& undo) {
  auto nodes = read_nodes(image, db);
  if (!nodes) return std::unexpected(nodes.error());
  for (std::uint32_t id : ids) {
    if (!first_node(*nodes, id)) return std::unexpected(PdbError(pdb_error::PlaylistNotFound{id}));
  }
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> children;
  for (const Node& node : *nodes) children[node.parent_id].push_back(node.id);
  // Everything under the given nodes, each id once (a damaged tree may loop).
  IdSet gone;
  std::vector<std::uint32_t> pending(ids.begin(), ids.end());
  while (!pending.empty()) {
    const std::uint32_t id = pending.back();
    pending.pop_back();
    if (!gone.emplace(id)) continue;
    if (id == 0) continue;  // the top level holds everything but is no node
    if (auto below = children.find(id); below != children.end()) {
      pending.insert(pending.end(), below->second.begin(), below->second.end());
    }
  }
  std::vector<std::uint64_t> absent;
  for (const Node& node : *nodes) {
    if (gone.contains(node.id)) absent.push_back(node.row);
  }
  for (std::uint64_t row : db.row_locations(kind::playlist_entries)) {
    auto playlist = load_u32(image, row + entry_row::kPlaylistIdOffset);
    if (!playlist) return std::unexpected(playlist.error());
    if (gone.contains(*playlist)) absent.push_back(row);
  }
  return mark_rows_absent(image, db.page_size, absent, undo);
}

}  // namespace vantrel_pdb
