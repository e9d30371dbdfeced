// The "export" action: the library of "input" written as playlist files
// ("m3u8"), spreadsheet files ("csv") or one web page ("html") at
// "output", each file whole or not at all.
#ifndef DOVREL_EXPORT_H_
#define DOVREL_EXPORT_H_

#include <string>

#include "error.h"
#include "request.h"

namespace dovrel {

// Runs "export". Fails with "Missing input" or "Missing output" before any
// file is read, with the reading errors of "read", with "cannot create
// folder PATH: ..." when a folder of an m3u8 export cannot be made, with
// write_file's "cannot write output PATH: ..." for a file, or with
// "cannot write the report: ..." before anything is written. A failure
// part-way through an m3u8 or csv export leaves the files written before
// it, each whole. Returns the line to print:
//   {"files":[PATH,...]}
// every file written, in the order of the export (tree order for m3u8),
// each path the output's joined with the file's relative path by "/".
Result<std::string> run_export(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_H_
