// The report: what every successful action prints, the tracks and playlists
// of one image as one line of compact JSON.
//
//   {"playlists":[{"id":..,"isFolder":..,"name":..,"parentId":..,"tracks":[..]}],
//    "tracks":[{"album":..,"analysisPath":..,"artist":..,"artworkPath":..,
//               "audioPath":..,"bitrate":..,"bpm":..,"comment":..,"duration":..,
//               "fileSize":..,"genre":..,"id":..,"key":..,"rating":..,
//               "sampleDepth":..,"sampleRate":..,"title":..}],
//    "version":1}
//
// Keys stand in ascending byte order. Names come from the first row, in
// table order, whose id equals the track's reference, "" when none does.
// A playlist's tracks are its entries ordered by entry index; entries with
// equal indices keep their table order.
#ifndef DOVREL_REPORT_H_
#define DOVREL_REPORT_H_

#include <string>

#include "error.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/database.h"

namespace dovrel {

// Returns the report line of `image`, ending in one line feed. `database`
// is a decoding of `image` that holds at least every record but the
// tracks' (Records::kExceptTracks); the tracks are read from their rows.
// Fails only where the decoding's checks would have failed (a track row or
// text past the end of the image). Time and memory are linear in the
// database (plus sorting each playlist's entries).
Result<std::string> render_report(vantrel_pdb::Bytes image, const vantrel_pdb::Database& database);

// Checks the image with validate, decodes it and returns its report line.
// Fails with validate's message or the reader's error.
Result<std::string> read(vantrel_pdb::Bytes image);

}  // namespace dovrel

#endif  // DOVREL_REPORT_H_
