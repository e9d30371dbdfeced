// A build request read in one pass over its text, straight into its records.
//
// The general reader (request.cc) parses the whole text into a document and
// then reads the records from it: for a build of many tracks the document is
// as large as the text again, and the text, the parser's index and the
// document are held at once. This pass reads the records from the parser's
// index as it goes, with no document.
//
// It reads only what it can vouch for: a JSON object whose "action" is
// "build", whose keys are those of a build ("action", "input", "output",
// "tracks", "playlists", "report"; other keys are checked to be valid JSON
// and skipped), with no fault of any kind. For anything else (a fault of the
// JSON or of a field, another action, "keepTracks", "keepPlaylists" or
// "tempos", a key written with escapes, a number too big for the parser)
// it returns nothing, and the caller reads the request with the general
// reader, which gives the exact message. What it returns is the request the
// general reader makes of the same text.
#ifndef DOVREL_REQUEST_ONE_PASS_H_
#define DOVREL_REQUEST_ONE_PASS_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "request.h"

namespace dovrel {

// Takes the tracks of the one pass in batches, in request order, as they are
// read (on the pass's thread), with the bytes of request text that the
// tracks array has taken up to the end of the batch.
using TrackBatchSink = std::function<void(std::vector<Track>&& batch, std::size_t text_bytes)>;

// Tracks in each batch a TrackBatchSink is given (the last may hold fewer).
inline constexpr std::size_t kTrackBatch = 512;

// Requires: `text` valid UTF-8 and followed by kRequestPadding readable
// bytes. Returns the request, or nothing when the general reader must read
// it. With a `sink`, each track goes to it instead of the request's tracks,
// which stay empty; when the pass returns nothing, the tracks the sink was
// given are not the request's.
std::optional<Request> read_build_in_one_pass(std::string_view text, const TrackBatchSink* sink = nullptr);

// As parse_request, always with the general reader: the one pass's
// counterpart, which the tests compare it with.
Result<Request> parse_request_with_document(std::string_view text);

}  // namespace dovrel

#endif  // DOVREL_REQUEST_ONE_PASS_H_
