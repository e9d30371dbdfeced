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
#include "output_line.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// Returns the report line of `library`'s image (after committing a pending
// edit), ending in one line feed: its playlists, then its tracks read where
// their rows lie. A large library's line comes in two parts, its tracks
// made in two halves at once. Fails with the library's error. Time and
// memory are linear in the database (plus sorting each playlist's entries).
Result<OutputLine> render_report(vantrel_pdb::Library& library);

// Opens `image` where it lies (the structure check, then every row checked)
// and returns its report line. Fails with the check's message or the
// reader's error.
Result<OutputLine> read(vantrel_pdb::Bytes image);

}  // namespace dovrel

#endif  // DOVREL_REPORT_H_
