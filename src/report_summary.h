// The short report of "build" and "patch" ("report": "summary"): what the
// output holds, in one small object instead of every record.
//
//   {"artwork":20,"entries":19,"folders":2,"outputBytes":172032,"playlists":5,"tracks":30}
#ifndef DOVREL_REPORT_SUMMARY_H_
#define DOVREL_REPORT_SUMMARY_H_

#include <string>

#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/database.h"

namespace dovrel {

// The summary line of `image`, ending in one line feed: the numbers of
// track rows, playlists (not folders), folders, playlist entries and
// artwork rows that a decoding of it (`database`, at least
// Records::kExceptTracks) holds, and the image's size in bytes.
std::string render_summary(vantrel_pdb::Bytes image, const vantrel_pdb::Database& database);

}  // namespace dovrel

#endif  // DOVREL_REPORT_SUMMARY_H_
