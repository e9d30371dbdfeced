#include "report.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "json_writer.h"
#include "two_halves.h"

namespace dovrel {

namespace {

using vantrel_pdb::TrackText;

constexpr std::uint64_t kReportVersion = 1;
// Rough bytes of one report record beyond its texts, for reserving ahead.
constexpr std::size_t kTrackRecordOverhead = 320;
constexpr std::size_t kPlaylistRecordOverhead = 64;
constexpr std::size_t kEntryBytes = 11;

// An upper guess at the report's size: the records' keys and numbers, and
// about as many bytes of text as the image holds. Reserving more than is
// written costs nothing but address space: pages never written are never
// given memory.
std::size_t estimate_size(std::size_t image_size, std::size_t tracks,
                          const std::vector<vantrel_pdb::PlaylistInfo>& playlists) {
  std::size_t bytes = 64 + image_size + kTrackRecordOverhead * tracks;
  for (const auto& playlist : playlists) {
    bytes += kPlaylistRecordOverhead + playlist.name.size() + kEntryBytes * playlist.tracks.size();
  }
  return bytes;
}

// Writes one text of the track as a JSON string, decoded through `scratch`
// (which keeps its capacity from one text to the next).
Result<void> write_text(const vantrel_pdb::TrackView& track, TrackText field, std::string& scratch, JsonWriter& out) {
  scratch.clear();
  if (auto ok = track.append_text(field, scratch); !ok) return std::unexpected(Error(ok.error()));
  out.string_value(scratch);
  return {};
}

// Writes the tracks of `rows` as array elements.
Result<void> write_track_run(const vantrel_pdb::TrackRows& rows, JsonWriter& out) {
  std::string scratch;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    auto track = rows.at(i);
    if (!track) return std::unexpected(Error(track.error()));
    const auto numbers = track->numbers();
    out.begin_object();
    out.key("album");
    out.string_value(track->name(TrackText::kAlbum));
    out.key("analysisPath");
    if (auto ok = write_text(*track, TrackText::kAnalysisPath, scratch, out); !ok) return ok;
    out.key("artist");
    out.string_value(track->name(TrackText::kArtist));
    out.key("artworkPath");
    out.string_value(track->name(TrackText::kArtworkPath));
    out.key("audioPath");
    if (auto ok = write_text(*track, TrackText::kAudioPath, scratch, out); !ok) return ok;
    out.key("bitrate");
    out.uint_value(numbers.bitrate);
    out.key("bpm");
    out.hundredths_value(numbers.tempo);  // what double_value(tempo / 100.0) writes
    out.key("comment");
    if (auto ok = write_text(*track, TrackText::kComment, scratch, out); !ok) return ok;
    out.key("duration");
    out.uint_value(numbers.duration);
    out.key("fileSize");
    out.uint_value(numbers.file_size);
    out.key("genre");
    out.string_value(track->name(TrackText::kGenre));
    out.key("id");
    out.uint_value(numbers.id);
    out.key("key");
    out.string_value(track->name(TrackText::kKey));
    out.key("rating");
    out.uint_value(numbers.rating);
    out.key("sampleDepth");
    out.uint_value(numbers.sample_depth);
    out.key("sampleRate");
    out.uint_value(numbers.sample_rate);
    out.key("title");
    if (auto ok = write_text(*track, TrackText::kTitle, scratch, out); !ok) return ok;
    out.end_object();
  }
  return {};
}

// The elements of the tracks array, after its "[" in `out`. A large one is
// written in two halves at once, the second by another thread into a
// writer of its own (`second`, which then starts with the comma between
// the halves): the bytes of `out` and then `second` are those of one writer
// going through in order. Returns whether `second` was used.
Result<bool> write_tracks(const vantrel_pdb::TrackRows& rows, JsonWriter& out, JsonWriter& second) {
  bool split = false;
  Result<void> results[2];
  const std::size_t second_reserve = (out.str().capacity() - out.str().size()) / 2;
  in_two_halves(rows.size(), [&](std::size_t begin, std::size_t end) {
    if (begin == 0) {
      results[0] = write_track_run(rows.subrange(0, end), out);
    } else {
      // The first half holds a track at least.
      split = true;
      second.reserve(second_reserve);
      second.raw(",");
      results[1] = write_track_run(rows.subrange(begin, end - begin), second);
    }
  });
  for (auto& result : results) {
    if (!result) return std::unexpected(std::move(result.error()));
  }
  return split;
}

void write_playlists(const std::vector<vantrel_pdb::PlaylistInfo>& playlists, JsonWriter& out) {
  out.begin_array();
  for (const auto& playlist : playlists) {
    out.begin_object();
    out.key("id");
    out.uint_value(playlist.id);
    out.key("isFolder");
    out.bool_value(playlist.is_folder);
    out.key("name");
    out.string_value(playlist.name);
    out.key("parentId");
    out.uint_value(playlist.parent_id);
    out.key("tracks");
    out.begin_array();
    for (std::uint32_t track_id : playlist.tracks) out.uint_value(track_id);
    out.end_array();
    out.end_object();
  }
  out.end_array();
}

}  // namespace

Result<OutputLine> render_report(vantrel_pdb::Library& library) {
  auto playlists = library.playlists();
  if (!playlists) return std::unexpected(Error(playlists.error()));
  auto rows = library.track_rows();
  if (!rows) return std::unexpected(Error(rows.error()));
  auto image = library.bytes();
  if (!image) return std::unexpected(Error(image.error()));
  JsonWriter out;
  out.reserve(estimate_size(image->size(), rows->size(), *playlists));
  out.begin_object();
  out.key("playlists");
  write_playlists(*playlists, out);
  out.key("tracks");
  out.begin_array();
  JsonWriter second;
  auto split = write_tracks(*rows, out, second);
  if (!split) return std::unexpected(std::move(split.error()));
  // What follows the last track, after whichever half holds it.
  JsonWriter& last = *split ? second : out;
  last.raw("],\"version\":");
  last.raw(std::to_string(kReportVersion));
  last.raw("}\n");
  OutputLine line(std::move(out).take());
  if (*split) line.parts.push_back(std::move(second).take());
  return line;
}

Result<OutputLine> read(vantrel_pdb::Bytes image) {
  auto library = vantrel_pdb::Library::open_borrowed(image);
  if (!library) return std::unexpected(Error(library.error()));
  return render_report(*library);
}

}  // namespace dovrel
