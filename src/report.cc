#include "report.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json_writer.h"
#include "vantrel_pdb/validate.h"
#include "vantrel_pdb/track.h"

namespace dovrel {

namespace {

using vantrel_pdb::Database;
namespace track_row = vantrel_pdb::track_row;

constexpr std::uint64_t kReportVersion = 1;
// Rough bytes of one report record beyond its texts, for reserving ahead.
constexpr std::size_t kTrackRecordOverhead = 320;
constexpr std::size_t kPlaylistRecordOverhead = 64;
constexpr std::size_t kEntryBytes = 11;

// Id -> name of one named table, the first row of an id winning; the views
// point into the Database, which outlives the report. Ids that the editor
// hands out run from 1 without many gaps, so when they are dense the names
// sit in a table indexed by id (one memory access per lookup); scattered ids
// go to a hash map.
class NameIndex {
 public:
  template <class Rows>
  explicit NameIndex(const Rows& rows) {
    std::uint64_t largest = 0;
    for (const auto& row : rows) largest = std::max<std::uint64_t>(largest, row.id);
    if (largest <= kDenseSlack + kDenseFactor * rows.size()) {
      by_id_.assign(largest + 1, nullptr);
      for (const auto& row : rows) {
        if (!by_id_[row.id]) by_id_[row.id] = &row.name;
      }
      return;
    }
    names_.reserve(rows.size());
    for (const auto& row : rows) names_.try_emplace(row.id, row.name);
  }

  std::string_view operator[](std::uint32_t id) const {
    if (!by_id_.empty()) return id < by_id_.size() && by_id_[id] ? std::string_view(*by_id_[id]) : std::string_view();
    auto it = names_.find(id);
    return it == names_.end() ? std::string_view() : it->second;
  }

 private:
  // Dense: the largest id is at most this many times the row count, plus the slack.
  static constexpr std::uint64_t kDenseFactor = 4;
  static constexpr std::uint64_t kDenseSlack = 1024;

  std::vector<const std::string*> by_id_;  // dense form: the first name of each id, or null
  std::unordered_map<std::uint32_t, std::string_view> names_;
};

struct Entry {
  std::uint32_t entry_index;
  std::uint32_t track_id;
};

// The entries of every playlist id of the tree, grouped in one pass over the
// entry table and each group sorted stably by entry index.
class PlaylistTracks {
 public:
  explicit PlaylistTracks(const Database& database) {
    group_of_.reserve(database.playlist_tree.size());
    for (const auto& node : database.playlist_tree) group_of_.try_emplace(node.id, group_of_.size());
    constexpr std::size_t kNoGroup = std::numeric_limits<std::size_t>::max();

    // Counting sort by group keeps each group's entries in table order.
    const auto& entries = database.playlist_entries;
    std::vector<std::size_t> group_of_entry(entries.size(), kNoGroup);
    starts_.assign(group_of_.size() + 1, 0);
    for (std::size_t e = 0; e < entries.size(); ++e) {
      auto it = group_of_.find(entries[e].playlist_id);
      if (it == group_of_.end()) continue;
      group_of_entry[e] = it->second;
      ++starts_[it->second + 1];
    }
    for (std::size_t g = 1; g < starts_.size(); ++g) starts_[g] += starts_[g - 1];
    entries_.resize(starts_.back());
    std::vector<std::size_t> cursor(starts_.begin(), starts_.end() - 1);
    for (std::size_t e = 0; e < entries.size(); ++e) {
      if (group_of_entry[e] == kNoGroup) continue;
      entries_[cursor[group_of_entry[e]]++] = {entries[e].entry_index, entries[e].track_id};
    }

    auto by_index = [](const Entry& a, const Entry& b) { return a.entry_index < b.entry_index; };
    for (std::size_t g = 0; g + 1 < starts_.size(); ++g) {
      auto first = entries_.begin() + static_cast<std::ptrdiff_t>(starts_[g]);
      auto last = entries_.begin() + static_cast<std::ptrdiff_t>(starts_[g + 1]);
      if (!std::is_sorted(first, last, by_index)) std::stable_sort(first, last, by_index);
    }
  }

  // The entries of `playlist_id` in playing order; empty for an id that is
  // not in the tree.
  std::span<const Entry> of(std::uint32_t playlist_id) const {
    auto it = group_of_.find(playlist_id);
    if (it == group_of_.end()) return {};
    return std::span<const Entry>(entries_).subspan(starts_[it->second], starts_[it->second + 1] - starts_[it->second]);
  }

 private:
  std::unordered_map<std::uint32_t, std::size_t> group_of_;  // playlist id -> group
  std::vector<std::size_t> starts_;  // group g is entries_[starts_[g], starts_[g + 1])
  std::vector<Entry> entries_;
};

std::size_t estimate_size(const Database& database) {
  std::size_t bytes = 64;
  for (const auto& track : database.tracks) {
    bytes += kTrackRecordOverhead + track.strings[track_row::kTitleSlot].size() +
             track.strings[track_row::kFilePathSlot].size() + track.strings[track_row::kAnalysisPathSlot].size() +
             track.strings[track_row::kCommentSlot].size();
  }
  for (const auto& node : database.playlist_tree) bytes += kPlaylistRecordOverhead + node.name.size();
  return bytes + kEntryBytes * database.playlist_entries.size();
}

// How many tracks ahead of the one being written its texts are fetched.
constexpr std::size_t kPrefetchDistance = 8;

void prefetch_texts(const vantrel_pdb::Track& track) {
  for (std::size_t slot : {track_row::kAnalysisPathSlot, track_row::kFilePathSlot, track_row::kCommentSlot,
                           track_row::kTitleSlot}) {
    __builtin_prefetch(track.strings[slot].data());
  }
}

void write_tracks(const Database& database, JsonWriter& out) {
  const NameIndex artists(database.artists);
  const NameIndex albums(database.albums);
  const NameIndex genres(database.genres);
  const NameIndex keys(database.keys);
  const NameIndex artwork(database.artwork);
  out.begin_array();
  const auto& tracks = database.tracks;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const auto& track = tracks[i];
    // The texts of a large library lie scattered over far more memory than
    // the caches hold; asking for those of a track a little ahead overlaps
    // their fetching with the writing of this one.
    if (i + kPrefetchDistance < tracks.size()) prefetch_texts(tracks[i + kPrefetchDistance]);
    out.begin_object();
    out.key("album");
    out.string_value(albums[track.album_id]);
    out.key("analysisPath");
    out.string_value(track.strings[track_row::kAnalysisPathSlot]);
    out.key("artist");
    out.string_value(artists[track.artist_id]);
    out.key("artworkPath");
    out.string_value(artwork[track.artwork_id]);
    out.key("audioPath");
    out.string_value(track.strings[track_row::kFilePathSlot]);
    out.key("bitrate");
    out.uint_value(track.bitrate);
    out.key("bpm");
    out.hundredths_value(track.tempo);  // what double_value(tempo / 100.0) writes
    out.key("comment");
    out.string_value(track.strings[track_row::kCommentSlot]);
    out.key("duration");
    out.uint_value(track.duration);
    out.key("fileSize");
    out.uint_value(track.file_size);
    out.key("genre");
    out.string_value(genres[track.genre_id]);
    out.key("id");
    out.uint_value(track.id);
    out.key("key");
    out.string_value(keys[track.key_id]);
    out.key("rating");
    out.uint_value(track.rating);
    out.key("sampleDepth");
    out.uint_value(track.sample_depth);
    out.key("sampleRate");
    out.uint_value(track.sample_rate);
    out.key("title");
    out.string_value(track.strings[track_row::kTitleSlot]);
    out.end_object();
  }
  out.end_array();
}

void write_playlists(const Database& database, JsonWriter& out) {
  const PlaylistTracks playlist_tracks(database);
  out.begin_array();
  for (const auto& node : database.playlist_tree) {
    out.begin_object();
    out.key("id");
    out.uint_value(node.id);
    out.key("isFolder");
    out.bool_value(node.is_folder);
    out.key("name");
    out.string_value(node.name);
    out.key("parentId");
    out.uint_value(node.parent_id);
    out.key("tracks");
    out.begin_array();
    for (const Entry& entry : playlist_tracks.of(node.id)) out.uint_value(entry.track_id);
    out.end_array();
    out.end_object();
  }
  out.end_array();
}

}  // namespace

std::string render_report(const Database& database) {
  JsonWriter out;
  out.reserve(estimate_size(database));
  out.begin_object();
  out.key("playlists");
  write_playlists(database, out);
  out.key("tracks");
  write_tracks(database, out);
  out.key("version");
  out.uint_value(kReportVersion);
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

Result<std::string> read(vantrel_pdb::Bytes image) {
  if (auto ok = vantrel_pdb::validate(image); !ok) return std::unexpected(Error(ok.error()));
  auto database = Database::from_bytes(image);
  if (!database) return std::unexpected(Error(database.error()));
  return render_report(*database);
}

}  // namespace dovrel
