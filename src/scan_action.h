// The "scan" action: reads the audio and playlist files under "folders" of
// "root" (the scanner, scan/) and prints the request that builds a database
// of them, or, with "input", the edit request that brings that database in
// line with them. It writes no database; with "artworkFolder" it writes the
// artwork files there.
#ifndef DOVREL_SCAN_ACTION_H_
#define DOVREL_SCAN_ACTION_H_

#include <string>

#include "error.h"
#include "request.h"
#include "scan/scanner.h"
#include "scan_sync.h"

namespace dovrel {

// Runs the scan of `request` and returns the line to print:
//   {"action":"build","output":O,"playlists":[...],"skipped":[...],"tracks":[...]}
// or with "input" (read and checked first, as "read" would):
//   {"action":"edit","changes":[...],"input":I,"output":O,"skipped":[...]}
// Fails with "Missing output" before anything is read, with the input's
// read error, with "cannot scan PATH: ..." for a folder that cannot be
// listed, or with the artwork writer's error. While files are read a
// progress line is kept on standard error when it is a terminal.
Result<std::string> run_scan(const Request& request);

// The scan's tracks and playlists as request records: tracks with id 0 and
// every text and number a build takes, playlists naming tracks by index.
ScannedLibrary to_request_records(const scan::ScanResult& result);

// The request lines, with a line feed at the end.
std::string build_request_line(const std::string& output, const ScannedLibrary& library,
                               const std::vector<scan::Skipped>& skipped);
std::string edit_request_line(const std::string& input, const std::string& output, const SyncChanges& changes,
                              const std::vector<scan::Skipped>& skipped);

}  // namespace dovrel

#endif  // DOVREL_SCAN_ACTION_H_
