// The readers of the request's records, and the signature of an action's
// request reader, for request.cc and the readers of the newer actions'
// requests (which take tracks and playlists too).
#ifndef DOVREL_REQUEST_READERS_H_
#define DOVREL_REQUEST_READERS_H_

#include "request.h"
#include "request_json.h"

namespace dovrel {

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
