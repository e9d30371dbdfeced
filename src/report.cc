#include "report.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "json_writer.h"
#include "vantrel_pdb/catalog.h"
#include "vantrel_pdb/track.h"
#include "vantrel_pdb/track_view.h"
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

// An upper guess at the report's size: the records' keys and numbers, and
// about as many bytes of text as the image holds. Reserving more than is
// written costs nothing but address space: pages never written are never
// given memory.
std::size_t estimate_size(vantrel_pdb::Bytes image, const Database& database) {
  std::size_t bytes = 64 + image.size();
  bytes += kTrackRecordOverhead * database.row_locations(vantrel_pdb::table_kind::tracks).size();
  for (const auto& node : database.playlist_tree) bytes += kPlaylistRecordOverhead + node.name.size();
  return bytes + kEntryBytes * database.playlist_entries.size();
}

// Writes one text of the track as a JSON string, decoded through `scratch`
// (which keeps its capacity from one text to the next).
Result<void> write_text(const vantrel_pdb::TrackView& track, std::size_t slot, std::string& scratch, JsonWriter& out) {
  scratch.clear();
  if (auto ok = track.append_text(slot, scratch); !ok) return std::unexpected(Error(ok.error()));
  out.string_value(scratch);
  return {};
}

// Writes the tracks whose rows stand at `rows` as array elements.
Result<void> write_track_run(vantrel_pdb::Bytes image, std::span<const std::uint64_t> rows,
                             const vantrel_pdb::Catalog& catalog, JsonWriter& out) {
  std::string scratch;
  for (std::uint64_t location : rows) {
    auto track = vantrel_pdb::TrackView::at(image, location);
    if (!track) return std::unexpected(Error(track.error()));
    out.begin_object();
    out.key("album");
    out.string_value(catalog.album(*track));
    out.key("analysisPath");
    if (auto ok = write_text(*track, track_row::kAnalysisPathSlot, scratch, out); !ok) return ok;
    out.key("artist");
    out.string_value(catalog.artist(*track));
    out.key("artworkPath");
    out.string_value(catalog.artwork_path(*track));
    out.key("audioPath");
    if (auto ok = write_text(*track, track_row::kFilePathSlot, scratch, out); !ok) return ok;
    out.key("bitrate");
    out.uint_value(track->bitrate());
    out.key("bpm");
    out.hundredths_value(track->tempo());  // what double_value(tempo / 100.0) writes
    out.key("comment");
    if (auto ok = write_text(*track, track_row::kCommentSlot, scratch, out); !ok) return ok;
    out.key("duration");
    out.uint_value(track->duration());
    out.key("fileSize");
    out.uint_value(track->file_size());
    out.key("genre");
    out.string_value(catalog.genre(*track));
    out.key("id");
    out.uint_value(track->id());
    out.key("key");
    out.string_value(catalog.key(*track));
    out.key("rating");
    out.uint_value(track->rating());
    out.key("sampleDepth");
    out.uint_value(track->sample_depth());
    out.key("sampleRate");
    out.uint_value(track->sample_rate());
    out.key("title");
    if (auto ok = write_text(*track, track_row::kTitleSlot, scratch, out); !ok) return ok;
    out.end_object();
  }
  return {};
}

// Below this many tracks a second thread costs more than it saves.
constexpr std::size_t kTracksWorthASecondThread = 20000;

// The tracks array. A large one is written in two halves at once, the
// second by another thread into a writer of its own, then spliced after
// the first: the bytes are those of one writer going through in order.
Result<void> write_tracks(vantrel_pdb::Bytes image, const Database& database, const vantrel_pdb::Catalog& catalog,
                          JsonWriter& out) {
  const auto rows = database.row_locations(vantrel_pdb::table_kind::tracks);
  out.begin_array();
  const std::size_t half = rows.size() / 2;
  if (rows.size() >= kTracksWorthASecondThread && std::thread::hardware_concurrency() > 1) {
    JsonWriter second;
    Result<void> second_ok;
    const std::size_t second_reserve = (out.str().capacity() - out.str().size()) / 2;
    std::optional<std::thread> helper;
    try {
      helper.emplace([&] {
        second.reserve(second_reserve);
        second_ok = write_track_run(image, rows.subspan(half), catalog, second);
      });
    } catch (const std::system_error&) {
      // No thread to be had: one writer does it all.
    }
    if (helper) {
      auto first_ok = write_track_run(image, rows.first(half), catalog, out);
      helper->join();
      if (!first_ok) return first_ok;
      if (!second_ok) return second_ok;
      out.splice(second);
      out.end_array();
      return {};
    }
  }
  if (auto ok = write_track_run(image, rows, catalog, out); !ok) return ok;
  out.end_array();
  return {};
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

Result<std::string> render_report(vantrel_pdb::Bytes image, const Database& database) {
  const vantrel_pdb::Catalog catalog(database);
  JsonWriter out;
  out.reserve(estimate_size(image, database));
  out.begin_object();
  out.key("playlists");
  write_playlists(database, catalog, out);
  out.key("tracks");
  if (auto ok = write_tracks(image, database, catalog, out); !ok) return std::unexpected(std::move(ok.error()));
  out.key("version");
  out.uint_value(kReportVersion);
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

Result<std::string> read(vantrel_pdb::Bytes image) {
  if (auto ok = vantrel_pdb::validate(image); !ok) return std::unexpected(Error(ok.error()));
  // The check of a full decoding; the track rows are then read where they lie.
  auto database = Database::from_bytes(image, Database::Records::kExceptTracks);
  if (!database) return std::unexpected(Error(database.error()));
  return render_report(image, *database);
}

}  // namespace dovrel
