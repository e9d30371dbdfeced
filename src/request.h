// The request: one JSON object on standard input, parsed into typed records.
//
// Keys match exactly; unknown keys are ignored; a key that occurs twice in
// one object is an error (except inside "tempos", a map in which the later
// value wins). null stands for absent only for "input", "output",
// "keepTracks" and "keepPlaylists" (and, for "export", "root"). "export"
// reads its own keys ("action", "format", "input", "output", "root") and
// skips the others; "report" is read for "build" and "patch" only. Integer fields take JSON integers only
// (no fraction, no exponent), never negative, within the field's width.
#ifndef DOVREL_REQUEST_H_
#define DOVREL_REQUEST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "vantrel_pdb/id_hash.h"

namespace dovrel {

// One track of a request's "tracks", and of the report. The JSON keys are
// the field names in lower camel case.
struct Track {
  std::uint32_t id = 0;
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string key;
  std::string audio_path;
  std::string analysis_path;
  std::string artwork_path;  // "" = no artwork
  double bpm = 0;
  std::uint16_t duration = 0;  // seconds
  std::uint32_t sample_rate = 0;
  std::uint32_t file_size = 0;
  // Optional in a request.
  std::uint32_t bitrate = 0;
  std::uint16_t sample_depth = 0;
  std::uint8_t rating = 0;
  std::string comment;
  std::optional<std::string> label;  // absent: the track names no label

  friend bool operator==(const Track&, const Track&) = default;
};

// One playlist or folder of a request's "playlists", and of the report.
struct Playlist {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t parent_id = 0;  // 0 = top level
  bool is_folder = false;
  std::vector<std::uint32_t> tracks;  // track ids in playing order

  friend bool operator==(const Playlist&, const Playlist&) = default;
};

// The keys of a "scan" request other than "input" and "output", which
// Request holds for every action. The reader normalises the paths: no
// empty, "." or ".." components, no "/" at either end ("" is the root).
struct ScanArgs {
  std::string root;
  std::optional<std::vector<std::string>> folders;  // absent or null: the whole root
  std::optional<std::string> artwork_folder;        // absent or null: no artwork
};

// What "build", "patch" and "edit" print: the whole report, or a summary of the
// output ("report": "full" or "summary").
enum class ReportKind { kFull, kSummary };

// The file kinds "export" writes ("format").
enum class ExportFormat { kM3u8, kCsv, kHtml };

// The keys of "export" beyond "input" and "output".
struct ExportArgs {
  ExportFormat format = ExportFormat::kM3u8;
  std::optional<std::string> root;  // prefix of the audio and artwork paths
};

// "check" and "salvage": how many findings of the check the line lists.
struct CheckArgs {
  std::uint32_t limit = 1000;
};

// The keys of a "setTrack" change: each present key replaces that field.
struct TrackUpdate {
  std::optional<std::string> title, artist, album, genre, key, audio_path, analysis_path, artwork_path, comment, label;
  std::optional<double> bpm;
  std::optional<std::uint16_t> duration, sample_depth;
  std::optional<std::uint32_t> sample_rate, file_size, bitrate;
  std::optional<std::uint8_t> rating;
};

// One element of an "edit" request's "changes" (edit_request.h reads them).
struct EditChange {
  enum class Op {
    kAddTracks,
    kSetTrack,
    kRemoveTracks,
    kAddPlaylists,
    kRenamePlaylist,
    kMovePlaylist,
    kSetPlaylistTracks,
    kRemovePlaylists,
  };
  Op op = Op::kAddTracks;
  std::uint32_t id = 0;             // setTrack and the playlist changes but addPlaylists
  std::vector<std::uint32_t> ids;   // removeTracks, removePlaylists, and setPlaylistTracks' "tracks"
  std::vector<Track> tracks;        // addTracks
  std::vector<Playlist> playlists;  // addPlaylists
  TrackUpdate track;                // setTrack
  std::string name;                 // renamePlaylist
  std::uint32_t parent_id = 0;      // movePlaylist
  std::optional<std::uint32_t> position;
};

struct Request {
  std::string action;
  std::optional<std::string> input;
  std::optional<std::string> output;
  std::vector<Track> tracks;
  std::vector<Playlist> playlists;
  std::optional<std::vector<std::uint32_t>> keep_tracks;     // duplicates allowed
  std::optional<std::vector<std::uint32_t>> keep_playlists;  // duplicates allowed
  vantrel_pdb::TempoMap tempos;                              // track id -> tempo
  ScanArgs scan;                                             // "scan"
  ReportKind report = ReportKind::kFull;                     // read by build and patch only
  ExportArgs export_args;                                    // "export"
  CheckArgs check;                                           // "check" and "salvage"
  std::vector<EditChange> changes;                           // "edit"
};

// Parses the whole request text. Fails with "stream did not contain valid
// UTF-8" for invalid UTF-8 anywhere in it, "invalid JSON: ..." for text that
// is not exactly one JSON value (surrounding whitespace allowed), and
// otherwise with a message that names the place and the problem:
//   missing field `action`
//   tracks[0]: missing field `fileSize`
//   playlists[1]: duplicate field `name`
//   tracks[3].duration: expected an unsigned 16-bit integer, got 70000
//   tempos: key "x" is not an unsigned 32-bit integer
// Fields are examined in document order, so the first offending field
// gives the error; missing keys are looked for afterwards, in the order of
// the record's fields. "action" is not checked against the known actions.
Result<Request> parse_request(std::string_view text);

// Bytes that the parser may read past the end of its text.
inline constexpr std::size_t kRequestPadding = 64;

// As parse_request for the text in `input`, which it takes: the text is
// parsed where it stands (kRequestPadding bytes are added after it, which
// the parser may read but never uses) and freed as soon as it is no longer
// needed: after a build's one pass (request_one_pass.h), which makes the
// records straight from it, or else once the document is parsed, before the
// records are made of the document.
Result<Request> parse_request_taking(std::vector<std::uint8_t> input);

}  // namespace dovrel

#endif  // DOVREL_REQUEST_H_
