#include "report.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "json_writer.h"
#include "ordered_blocks.h"

namespace dovrel {

namespace {

using vantrel_pdb::TrackText;

// What follows the last track: the version, 1, and the line's end.
constexpr std::string_view kReportEnd = "],\"version\":1}\n";
// Rough bytes of one playlist record beyond its name and entries, and of an
// entry, for reserving ahead.
constexpr std::size_t kPlaylistRecordOverhead = 64;
constexpr std::size_t kEntryBytes = 11;

// An upper guess at the playlists' part of the report.
std::size_t estimate_size(const std::vector<vantrel_pdb::PlaylistInfo>& playlists) {
  std::size_t bytes = 64;
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

Result<OutputLine> render_report(vantrel_pdb::Library& library, std::shared_ptr<const void> owner) {
  auto playlists = library.playlists();
  if (!playlists) return std::unexpected(Error(playlists.error()));
  auto rows = library.track_rows();
  if (!rows) return std::unexpected(Error(rows.error()));
  JsonWriter head;
  head.reserve(estimate_size(*playlists));
  head.begin_object();
  head.key("playlists");
  write_playlists(*playlists, head);
  head.key("tracks");
  head.begin_array();
  OutputLine line(std::move(head).take());
  // The tracks, as the line is printed: blocks of records, each after the
  // first starting with the comma between it and the one before.
  line.rest = [rows = std::move(*rows), owner = std::move(owner)](const OutputLine::Sink& sink) -> Result<void> {
    auto tracks = render_in_ordered_blocks(
        rows.size(), kItemsPerBlock,
        [&rows](std::size_t begin, std::size_t end, JsonWriter& block) {
          if (begin > 0) block.raw(",");
          return write_track_run(rows.subrange(begin, end - begin), block);
        },
        sink);
    if (!tracks) return tracks;
    return sink(kReportEnd);
  };
  return line;
}

Result<OutputLine> read(vantrel_pdb::Bytes image, std::shared_ptr<const void> owner) {
  auto library = vantrel_pdb::Library::open_borrowed(image);
  if (!library) return std::unexpected(Error(library.error()));
  // The line renders its tracks from the library, which it keeps.
  auto kept = std::make_shared<vantrel_pdb::Library>(std::move(*library));
  vantrel_pdb::Library& opened = *kept;
  struct Owners {
    std::shared_ptr<vantrel_pdb::Library> library;
    std::shared_ptr<const void> image;
  };
  return render_report(opened, std::make_shared<const Owners>(Owners{std::move(kept), std::move(owner)}));
}

}  // namespace dovrel
