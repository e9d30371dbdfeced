#include "export_m3u8.h"

#include <charconv>
#include <string_view>

#include "safe_name.h"

namespace dovrel {

namespace {

constexpr std::string_view kExtension = ".m3u8";

// Appends `text` with every control character (a line break included) as
// a space.
void append_line_text(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.append(text);
  for (std::size_t i = start; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) out[i] = ' ';
  }
}

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string m3u8_entry(const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root) {
  std::string out = "#EXTINF:";
  out.reserve(24 + track.artist.size() + track.title.size() + track.audio_path.size() + (root ? root->size() : 0));
  append_number(out, track.duration);
  out.push_back(',');
  if (!track.artist.empty()) {
    append_line_text(out, track.artist);
    out.append(" - ");
  }
  append_line_text(out, track.title);
  out.push_back('\n');
  append_line_text(out, root && !root->empty() ? join_root(*root, track.audio_path) : track.audio_path);
  out.push_back('\n');
  return out;
}

M3u8Entries m3u8_entries(std::span<const vantrel_pdb::TrackInfo> tracks, const std::optional<std::string>& root) {
  M3u8Entries entries;
  for (const auto& track : tracks) {
    entries.ids.push_back(track.id);
    entries.lines.push_back(m3u8_entry(track, root));
  }
  return entries;
}

std::string m3u8_playlist(const vantrel_pdb::PlaylistInfo& playlist, const M3u8Entries& entries,
                          const TrackIndex& index) {
  std::string out = "#EXTM3U\n";
  for (std::uint32_t id : playlist.tracks) {
    const std::size_t at = index.find(id);
    if (at != TrackIndex::kNoTrack) out.append(entries.lines[at]);
  }
  return out;
}

M3u8Export export_m3u8(const M3u8Entries& entries, std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  const std::vector<TreeNode> order = tree_order(playlists);
  const TrackIndex index(entries.ids);
  // Which nodes hold others: they get a folder.
  std::vector<bool> holds(order.size(), false);
  for (const TreeNode& node : order) {
    if (node.parent != kTopLevel) holds[node.parent] = true;
  }
  M3u8Export out;
  // Per position: the folder path of the node's own folder ("" for none),
  // and the names already given in it.
  std::vector<std::string> folder_of(order.size());
  std::vector<FolderNames> names_in(order.size());
  FolderNames top_names;
  for (std::size_t p = 0; p < order.size(); ++p) {
    const TreeNode& node = order[p];
    const vantrel_pdb::PlaylistInfo& playlist = playlists[node.index];
    FolderNames& names = node.parent == kTopLevel ? top_names : names_in[node.parent];
    const std::string prefix = node.parent == kTopLevel ? std::string() : folder_of[node.parent] + "/";
    if (!playlist.is_folder) {
      out.files.push_back({prefix + names.add(playlist.name, kExtension), m3u8_playlist(playlist, entries, index)});
    }
    if (playlist.is_folder || holds[p]) {
      folder_of[p] = prefix + names.add(playlist.name, "");
      out.folders.push_back(folder_of[p]);
    }
  }
  return out;
}

M3u8Export export_m3u8(std::span<const vantrel_pdb::TrackInfo> tracks,
                       std::span<const vantrel_pdb::PlaylistInfo> playlists, const std::optional<std::string>& root) {
  return export_m3u8(m3u8_entries(tracks, root), playlists);
}

}  // namespace dovrel
