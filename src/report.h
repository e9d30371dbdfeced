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

#include <memory>
#include <string>

#include "error.h"
#include "output_line.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// Returns the report line of `library`'s image (after committing a pending
// edit), ending in one line feed: its playlists, made now, then its tracks,
// read where their rows lie as the line is printed (OutputLine::rest), in
// blocks, by two threads for a large library. Everything that can fail is
// read now, failing with the library's error: the rest fails only with its
// sink's error (or std::bad_alloc). The library must live until the line is
// printed, `owner` with the line (whatever keeps the library alive, if
// anything). Time and memory are linear in the database (plus sorting each
// playlist's entries), the rest's memory a block per thread.
Result<OutputLine> render_report(vantrel_pdb::Library& library, std::shared_ptr<const void> owner = {});

// Opens `image` where it lies (the structure check, then every row checked)
// and returns its report line, which keeps the library it opened and
// `owner`; the image must live as long as the line, for instance as what
// `owner` keeps. Fails with the check's message or the reader's error.
Result<OutputLine> read(vantrel_pdb::Bytes image, std::shared_ptr<const void> owner = {});

}  // namespace dovrel

#endif  // DOVREL_REPORT_H_
