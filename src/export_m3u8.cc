#include "export_m3u8.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "safe_name.h"

namespace dovrel {

namespace {

constexpr std::string_view kExtension = ".m3u8";
constexpr std::string_view kHeader = "#EXTM3U\n";

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

// The entry from the fields it shows; `root` joined to the path with one
// "/", as join_root() does.
void append_entry(std::string& out, std::uint16_t duration, std::string_view artist, std::string_view title,
                  std::string_view audio_path, const std::optional<std::string>& root) {
  out.append("#EXTINF:");
  append_number(out, duration);
  out.push_back(',');
  if (!artist.empty()) {
    append_line_text(out, artist);
    out.append(" - ");
  }
  append_line_text(out, title);
  out.push_back('\n');
  if (root && !root->empty()) {
    std::string_view trimmed = *root;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
    append_line_text(out, trimmed);
    if (!audio_path.starts_with('/')) out.push_back('/');
  }
  append_line_text(out, audio_path);
  out.push_back('\n');
}

}  // namespace

void append_m3u8_entry(std::string& out, const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root) {
  append_entry(out, track.duration, track.artist, track.title, track.audio_path, root);
}

std::expected<void, vantrel_pdb::PdbError> append_m3u8_entry(std::string& out, const vantrel_pdb::TrackView& track,
                                                             const std::optional<std::string>& root,
                                                             M3u8Scratch& scratch) {
  scratch.title.clear();
  scratch.audio_path.clear();
  if (auto ok = track.append_text(vantrel_pdb::TrackText::kTitle, scratch.title); !ok) return ok;
  if (auto ok = track.append_text(vantrel_pdb::TrackText::kAudioPath, scratch.audio_path); !ok) return ok;
  append_entry(out, track.numbers().duration, track.name(vantrel_pdb::TrackText::kArtist), scratch.title,
               scratch.audio_path, root);
  return {};
}

std::string m3u8_entry(const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root) {
  std::string out;
  append_m3u8_entry(out, track, root);
  return out;
}

M3u8Entries m3u8_entries(std::span<const vantrel_pdb::TrackInfo> tracks, const std::optional<std::string>& root) {
  M3u8Entries entries;
  std::string& block = entries.blocks.emplace_back();
  entries.block_starts.push_back(0);
  entries.ids.reserve(tracks.size());
  entries.ends.reserve(tracks.size());
  for (const auto& track : tracks) {
    entries.ids.push_back(track.id);
    append_m3u8_entry(block, track, root);
    entries.ends.push_back(block.size());
  }
  return entries;
}

std::string_view M3u8Entries::line(std::size_t position) const {
  const auto after = std::upper_bound(block_starts.begin(), block_starts.end(), position);
  const auto block = static_cast<std::size_t>(after - block_starts.begin()) - 1;
  const std::size_t start = position == block_starts[block] ? 0 : ends[position - 1];
  return std::string_view(blocks[block]).substr(start, ends[position] - start);
}

void M3u8Export::parts_of(const ExportFile& file, std::vector<std::string_view>& parts) const {
  parts.clear();
  parts.reserve(file.tracks.size() + 1);
  parts.push_back(kHeader);
  for (std::uint32_t position : file.tracks) parts.push_back(entries.line(position));
}

namespace {

// The text of a file holding the entries of `tracks` (positions in `entries`).
std::string file_text(const M3u8Entries& entries, std::span<const std::uint32_t> tracks) {
  std::string out(kHeader);
  for (std::uint32_t position : tracks) out.append(entries.line(position));
  return out;
}

}  // namespace

std::string M3u8Export::bytes(const ExportFile& file) const { return file_text(entries, file.tracks); }

std::vector<std::uint32_t> m3u8_playlist_tracks(const vantrel_pdb::PlaylistInfo& playlist, const TrackIndex& index) {
  std::vector<std::uint32_t> tracks;
  tracks.reserve(playlist.tracks.size());
  for (std::uint32_t id : playlist.tracks) {
    const std::size_t at = index.find(id);
    if (at != TrackIndex::kNoTrack) tracks.push_back(static_cast<std::uint32_t>(at));
  }
  return tracks;
}

std::string m3u8_playlist(const vantrel_pdb::PlaylistInfo& playlist, const M3u8Entries& entries,
                          const TrackIndex& index) {
  return file_text(entries, m3u8_playlist_tracks(playlist, index));
}

M3u8Export export_m3u8(M3u8Entries entries, std::span<const vantrel_pdb::PlaylistInfo> playlists) {
  const std::vector<TreeNode> order = tree_order(playlists);
  const TrackIndex index(entries.ids);
  // Which nodes hold others: they get a folder.
  std::vector<bool> holds(order.size(), false);
  for (const TreeNode& node : order) {
    if (node.parent != kTopLevel) holds[node.parent] = true;
  }
  M3u8Export out;
  out.entries = std::move(entries);
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
      out.files.push_back({prefix + names.add(playlist.name, kExtension), m3u8_playlist_tracks(playlist, index)});
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
