#include "export_tree.h"

#include <algorithm>

namespace dovrel {

std::vector<TreeNode> tree_order(std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  const std::size_t n = playlists.size();
  vantrel_pdb::IdHashMap<std::size_t> first_with_id;
  first_with_id.reserve(n);
  for (std::size_t i = 0; i < n; ++i) first_with_id.emplace(playlists[i].id, i);
  // The children of each node, and the top-level nodes, by sort order.
  std::vector<std::vector<std::size_t>> children(n);
  std::vector<std::size_t> top;
  for (std::size_t i = 0; i < n; ++i) {
    auto parent = playlists[i].parent_id == 0 ? first_with_id.end() : first_with_id.find(playlists[i].parent_id);
    if (parent == first_with_id.end() || parent->second == i) {
      if (playlists[i].parent_id == 0) top.push_back(i);
      continue;  // missing parents are found below, with the cycles
    }
    children[parent->second].push_back(i);
  }
  const auto by_sort_order = [&](std::size_t a, std::size_t b) {
    return playlists[a].sort_order < playlists[b].sort_order;
  };
  for (auto& list : children) std::stable_sort(list.begin(), list.end(), by_sort_order);
  std::stable_sort(top.begin(), top.end(), by_sort_order);

  std::vector<TreeNode> order;
  order.reserve(n);
  std::vector<bool> placed(n, false);
  // Depth first without recursion: a damaged tree may nest deeply.
  struct Frame {
    std::size_t position;  // in `order`
    std::size_t next_child;
  };
  std::vector<Frame> stack;
  auto place_from = [&](std::size_t root) {
    placed[root] = true;
    order.push_back({root, kTopLevel, 0});
    stack.push_back({order.size() - 1, 0});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      const TreeNode node = order[frame.position];
      const auto& kids = children[node.index];
      if (frame.next_child == kids.size()) {
        stack.pop_back();
        continue;
      }
      const std::size_t child = kids[frame.next_child++];
      if (placed[child]) continue;
      placed[child] = true;
      order.push_back({child, frame.position, node.depth + 1});
      stack.push_back({order.size() - 1, 0});
    }
  };
  for (std::size_t root : top) place_from(root);
  for (std::size_t i = 0; i < n; ++i) {
    if (!placed[i]) place_from(i);
  }
  return order;
}

template <class IdAt>
void TrackIndex::index(std::size_t count, IdAt&& id_at) {
  std::uint32_t highest = 0;
  for (std::size_t i = 0; i < count; ++i) highest = std::max(highest, id_at(i));
  // A table of at most eight slots per track (and a few for a small library).
  if (count > 0 && count < kNoSlot && highest < 8 * count + 1024) {
    dense_.assign(std::size_t{highest} + 1, kNoSlot);
    for (std::size_t i = count; i-- > 0;) dense_[id_at(i)] = static_cast<std::uint32_t>(i);  // the first one stays
    return;
  }
  by_id_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) by_id_.emplace(id_at(i), i);
}

TrackIndex::TrackIndex(std::span<const vantrel_pdb::TrackInfo> tracks) {
  index(tracks.size(), [&](std::size_t i) { return tracks[i].id; });
}

TrackIndex::TrackIndex(std::span<const std::uint32_t> ids) {
  index(ids.size(), [&](std::size_t i) { return ids[i]; });
}

std::string_view text_of(const vantrel_pdb::TrackInfo& t, vantrel_pdb::TrackText field) {
  using vantrel_pdb::TrackText;
  switch (field) {
    case TrackText::kTitle: return t.title;
    case TrackText::kArtist: return t.artist;
    case TrackText::kAlbum: return t.album;
    case TrackText::kGenre: return t.genre;
    case TrackText::kKey: return t.key;
    case TrackText::kLabel: return t.label;
    case TrackText::kArtworkPath: return t.artwork_path;
    case TrackText::kAudioPath: return t.audio_path;
    case TrackText::kAnalysisPath: return t.analysis_path;
    case TrackText::kComment: return t.comment;
  }
  return {};
}

std::string_view text_of(const vantrel_pdb::TrackView& track, vantrel_pdb::TrackText field, std::string& scratch,
                         std::expected<void, vantrel_pdb::PdbError>& status) {
  // A name is a view already; "" is either an empty name or a text of the row.
  const std::string_view name = track.name(field);
  if (!name.empty() || !status) return name;
  scratch.clear();
  if (auto ok = track.append_text(field, scratch); !ok) {
    status = std::unexpected(ok.error());
    return {};
  }
  return scratch;
}

std::string file_type_name(std::uint16_t file_type) {
  switch (file_type) {
    case 1: return "mp3";
    case 4: return "m4a";
    case 5: return "flac";
    case 6: return "alac";
    case 11: return "wav";
    case 12: return "aiff";
    default: return std::to_string(file_type);
  }
}

std::string join_root(std::string_view root, std::string_view path) {
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  std::string joined(root);
  if (!path.starts_with('/')) joined.push_back('/');
  return joined.append(path);
}

}  // namespace dovrel
