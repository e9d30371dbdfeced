// The readers of the request's records, and the signature of an action's
// request reader, for request.cc and the readers of the newer actions'
// requests (which take tracks and playlists too).
#ifndef DOVREL_REQUEST_READERS_H_
#define DOVREL_REQUEST_READERS_H_

#include "request.h"
#include "request_json.h"

namespace dovrel {

// The keys of a track, in the order in which missing ones are reported; the
// first 13 are required.
inline constexpr request_json::Fields<18> kTrackFields{
    {"id", "title", "artist", "album", "genre", "key", "audioPath", "analysisPath", "artworkPath", "bpm", "duration",
     "sampleRate", "fileSize", "bitrate", "sampleDepth", "rating", "comment", "label"},
    13};

// The keys of a playlist, all required.
inline constexpr request_json::Fields<5> kPlaylistFields{{"id", "name", "parentId", "isFolder", "tracks"}, 5};

// The fewest bytes of request text a track can take: each required key
// quoted, a colon and a value of at least one byte. A request of N bytes
// thus holds at most N / kMinTrackBytes tracks, which can all be reserved
// ahead: the records then never move as the array is read, and no more is
// reserved than a few times the request itself.
inline constexpr std::size_t kMinTrackBytes = [] {
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < kTrackFields.required; ++i) bytes += kTrackFields.keys[i].size() + 4;
  return bytes;
}();

// The keys of "read", "build" and "patch", and of a request whose action is
// missing or unknown; "action" is required.
inline constexpr request_json::Fields<9> kRequestFields{
    {"action", "input", "output", "tracks", "playlists", "keepTracks", "keepPlaylists", "tempos", "report"}, 1};

// The tracks a request of `text_size` bytes reserves ahead.
inline std::size_t tracks_reserved(std::size_t text_size) {
  return std::max(request_json::kMaxRecordsReserved, text_size / kMinTrackBytes);
}

// Reads one element of "tracks" into `track`: "id", "title", "artist",
// "album", "genre", "key", "audioPath", "analysisPath", "artworkPath", "bpm",
// "duration", "sampleRate" and "fileSize" required, "bitrate",
// "sampleDepth", "rating", "comment" and "label" optional.
request_json::Status parse_track(request_json::dom::element value, const request_json::Where& where, Track& track);

// Reads one element of "playlists": "id", "name", "parentId", "isFolder"
// and "tracks", all required.
request_json::Status parse_playlist(request_json::dom::element value, const request_json::Where& where,
                                    Playlist& playlist);

// Reads "report": "full" or "summary", else fails with "expected \"full\"
// or \"summary\"".
request_json::Status parse_report(request_json::dom::element value, const request_json::Where& where, ReportKind& out);

// Reads the whole top-level object of one action's request into `request`,
// "action" included, in document order.
using RequestReader = request_json::Status (*)(request_json::dom::object object, const request_json::Where& root,
                                               Request& request);

// The reader of a "scan" request (scan_request.cc).
request_json::Status parse_scan_request(request_json::dom::object object, const request_json::Where& root,
                                        Request& request);
// The reader of "export" (export_request.cc): "action", "input", "output",
// "format" (required: "m3u8", "csv" or "html") and "root"; other keys are
// skipped.
request_json::Status parse_export_request(request_json::dom::object object, const request_json::Where& root,
                                          Request& request);

}  // namespace dovrel

#endif  // DOVREL_REQUEST_READERS_H_
