// The short report of "build" and "patch" ("report": "summary"): what the
// output holds, in one small object instead of every record.
//
//   {"artwork":20,"entries":19,"folders":2,"outputBytes":172032,"playlists":5,"tracks":30}
#ifndef DOVREL_REPORT_SUMMARY_H_
#define DOVREL_REPORT_SUMMARY_H_

#include <cstddef>
#include <string>

#include "vantrel_pdb/reading.h"

namespace dovrel {

// The summary line of a written database, ending in one line feed: the
// numbers of its rows (`counts`) and the size of its image in bytes.
std::string render_summary(const vantrel_pdb::LibraryCounts& counts, std::size_t output_bytes);

}  // namespace dovrel

#endif  // DOVREL_REPORT_SUMMARY_H_
