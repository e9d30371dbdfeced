#include "report.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "json_writer.h"
#include "vantrel_pdb/catalog.h"
#include "vantrel_pdb/track.h"
#include "vantrel_pdb/validate.h"

namespace dovrel {

namespace {

using vantrel_pdb::Database;
namespace track_row = vantrel_pdb::track_row;

constexpr std::uint64_t kReportVersion = 1;
// Rough bytes of one report record beyond its texts, for reserving ahead.
constexpr std::size_t kTrackRecordOverhead = 320;
constexpr std::size_t kPlaylistRecordOverhead = 64;
constexpr std::size_t kEntryBytes = 11;

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

void write_tracks(const Database& database, const vantrel_pdb::Catalog& catalog, JsonWriter& out) {
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
    out.string_value(catalog.album(track));
    out.key("analysisPath");
    out.string_value(track.strings[track_row::kAnalysisPathSlot]);
    out.key("artist");
    out.string_value(catalog.artist(track));
    out.key("artworkPath");
    out.string_value(catalog.artwork_path(track));
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
    out.string_value(catalog.genre(track));
    out.key("id");
    out.uint_value(track.id);
    out.key("key");
    out.string_value(catalog.key(track));
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

void write_playlists(const Database& database, const vantrel_pdb::Catalog& catalog, JsonWriter& out) {
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
    for (std::uint32_t track_id : catalog.playlist_tracks(node.id)) out.uint_value(track_id);
    out.end_array();
    out.end_object();
  }
  out.end_array();
}

}  // namespace

std::string render_report(const Database& database) {
  const vantrel_pdb::Catalog catalog(database);
  JsonWriter out;
  out.reserve(estimate_size(database));
  out.begin_object();
  out.key("playlists");
  write_playlists(database, catalog, out);
  out.key("tracks");
  write_tracks(database, catalog, out);
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
