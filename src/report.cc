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

// The keys of a track record, in the report's order, each with what comes
// before it: the record's brace, or the comma after the value before.
constexpr std::string_view kAlbumKey = "{\"album\":";
constexpr std::string_view kAnalysisPathKey = ",\"analysisPath\":";
constexpr std::string_view kArtistKey = ",\"artist\":";
constexpr std::string_view kArtworkPathKey = ",\"artworkPath\":";
constexpr std::string_view kAudioPathKey = ",\"audioPath\":";
constexpr std::string_view kBitrateKey = ",\"bitrate\":";
constexpr std::string_view kBpmKey = ",\"bpm\":";
constexpr std::string_view kCommentKey = ",\"comment\":";
constexpr std::string_view kDurationKey = ",\"duration\":";
constexpr std::string_view kFileSizeKey = ",\"fileSize\":";
constexpr std::string_view kGenreKey = ",\"genre\":";
constexpr std::string_view kIdKey = ",\"id\":";
constexpr std::string_view kKeyKey = ",\"key\":";
constexpr std::string_view kRatingKey = ",\"rating\":";
constexpr std::string_view kSampleDepthKey = ",\"sampleDepth\":";
constexpr std::string_view kSampleRateKey = ",\"sampleRate\":";
constexpr std::string_view kTitleKey = ",\"title\":";
// Every key and the closing brace: the part of a record that is always there.
constexpr std::size_t kRecordFrame = kAlbumKey.size() + kAnalysisPathKey.size() + kArtistKey.size() +
                                     kArtworkPathKey.size() + kAudioPathKey.size() + kBitrateKey.size() +
                                     kBpmKey.size() + kCommentKey.size() + kDurationKey.size() +
                                     kFileSizeKey.size() + kGenreKey.size() + kIdKey.size() + kKeyKey.size() +
                                     kRatingKey.size() + kSampleDepthKey.size() + kSampleRateKey.size() +
                                     kTitleKey.size() + 1;
// The numbers of a record: seven integers and the tempo.
constexpr std::size_t kRecordNumbers = 7 * kJsonUintBound + kJsonHundredthsBound;

// How many tracks ahead of the one written its row is fetched
// (TrackView::prefetch_row).
constexpr std::size_t kRowsAhead = 16;

// The texts a record decodes from the row's own strings, through scratch
// strings that keep their capacity from one track to the next.
struct SlotTexts {
  std::string analysis_path, audio_path, comment, title;
};

// Writes the tracks of `rows` as array elements, each record in one step:
// its texts are read first, then the record is written into room for its
// longest form.
Result<void> write_track_run(const vantrel_pdb::TrackRows& rows, JsonWriter& out) {
  SlotTexts texts;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + kRowsAhead < rows.size()) {
      if (auto ahead = rows.at(i + kRowsAhead)) ahead->prefetch_row();
    }
    auto track = rows.at(i);
    if (!track) return std::unexpected(Error(track.error()));
    for (auto [field, text] : {std::pair{TrackText::kAnalysisPath, &texts.analysis_path},
                               std::pair{TrackText::kAudioPath, &texts.audio_path},
                               std::pair{TrackText::kComment, &texts.comment},
                               std::pair{TrackText::kTitle, &texts.title}}) {
      text->clear();
      if (auto ok = track->append_text(field, *text); !ok) return std::unexpected(Error(ok.error()));
    }
    const std::string_view album = track->name(TrackText::kAlbum);
    const std::string_view artist = track->name(TrackText::kArtist);
    const std::string_view artwork_path = track->name(TrackText::kArtworkPath);
    const std::string_view genre = track->name(TrackText::kGenre);
    const std::string_view key = track->name(TrackText::kKey);
    const auto numbers = track->numbers();
    std::size_t bound = kRecordFrame + kRecordNumbers;
    for (std::string_view text : {std::string_view(texts.analysis_path), std::string_view(texts.audio_path),
                                  std::string_view(texts.comment), std::string_view(texts.title), album, artist,
                                  artwork_path, genre, key}) {
      bound += json_string_bound(text.size());
    }
    out.value_of_at_most(bound, [&](char* p) {
      p = put_json_string(put_raw(p, kAlbumKey), album);
      p = put_json_string(put_raw(p, kAnalysisPathKey), texts.analysis_path);
      p = put_json_string(put_raw(p, kArtistKey), artist);
      p = put_json_string(put_raw(p, kArtworkPathKey), artwork_path);
      p = put_json_string(put_raw(p, kAudioPathKey), texts.audio_path);
      p = put_json_uint(put_raw(p, kBitrateKey), numbers.bitrate);
      p = put_json_hundredths(put_raw(p, kBpmKey), numbers.tempo);  // what double_value(tempo / 100.0) writes
      p = put_json_string(put_raw(p, kCommentKey), texts.comment);
      p = put_json_uint(put_raw(p, kDurationKey), numbers.duration);
      p = put_json_uint(put_raw(p, kFileSizeKey), numbers.file_size);
      p = put_json_string(put_raw(p, kGenreKey), genre);
      p = put_json_uint(put_raw(p, kIdKey), numbers.id);
      p = put_json_string(put_raw(p, kKeyKey), key);
      p = put_json_uint(put_raw(p, kRatingKey), numbers.rating);
      p = put_json_uint(put_raw(p, kSampleDepthKey), numbers.sample_depth);
      p = put_json_uint(put_raw(p, kSampleRateKey), numbers.sample_rate);
      p = put_json_string(put_raw(p, kTitleKey), texts.title);
      *p++ = '}';
      return p;
    });
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
