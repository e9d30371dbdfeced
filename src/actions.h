// The actions and the dispatch between them: what one run of the tool does
// between reading standard input and printing its one line.
#ifndef DOVREL_ACTIONS_H_
#define DOVREL_ACTIONS_H_

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "error.h"
#include "output_line.h"
#include "request.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

inline constexpr char kMissingInput[] = "Missing input";
inline constexpr char kMissingOutput[] = "Missing output";
inline constexpr char kUnknownAction[] = "Unknown action";

// Starts the message of a write whose file is in place but whose directory
// could not be synced after the rename: not known to be on disk.
inline constexpr char kNotKnownDurable[] = "output written, but not known to be on disk: ";

// Writes `image` to "output" whole or not at all, with dovrel's words: its
// failures read "cannot write output PATH: REASON", and a hidden temporary
// file, where one is needed, is named ".dovrel-XXXXXXXX". The one failure
// after the rename reads "output written, but not known to be on disk:
// PATH: syncing its directory failed: REASON".
Result<void> write_output(const std::string& path, vantrel_pdb::Bytes image,
                          const vantrel_pdb::BeforeReplace& before_replace = {});
// The same for a file made of `parts`, one after another.
Result<void> write_output(const std::string& path, std::span<const vantrel_pdb::Bytes> parts,
                          const vantrel_pdb::BeforeReplace& before_replace = {});
// The same for a file whose bytes `produce` makes block by block
// (vantrel_pdb::write_file_produced); its failure is returned unchanged.
Result<void> write_output(const std::string& path, const vantrel_pdb::BlockProducer& produce);

// Runs the request's action and returns the line to print (see
// output_line.h: a report's tracks are rendered as the line is printed,
// after the output file is written, everything that can fail having been
// read before).
//   "read":  reads "input" and reports it.
//   "build": builds an image, reports it, then writes it to "output".
//   "patch": reads "input", patches it, reports it, then writes it to
//            "output" ("input" is read whole before anything is written).
//   "edit":  as "patch", applying the request's "changes" (edit.h).
//   "scan":  reads the audio files under "root" and returns the build (or
//            edit) request of them (scan_action.h).
//   "export": reads "input" and writes its library as "format" says
//            (export.h).
//   "check": reads "input" and returns the line of its findings;
//   "salvage": writes to "output" a new database of what still reads of
//            "input" (both check_action.h).
// "build", "patch" and "edit" print the short report instead of the report when
// the request says "report": "summary" (report_summary.h).
// "Missing input" comes before any file is read; "Missing output" only
// after the new image exists and has passed read, so that a failing build
// or patch reports its own error. Any other action fails with "Unknown
// action" before a file is touched. The request is taken over: a build
// moves its tracks' texts into the library and drops its records once the
// image is made, so that their memory serves the commit. `built`: a build's
// library made as its request was read (build_pipeline.h), which the build
// takes instead of adding the request's tracks, failure and all.
Result<OutputLine> run_action(Request request, std::optional<Result<vantrel_pdb::Library>> built = std::nullopt);

// The shared end of the actions that write: with the line to print about
// the new image as it will be on disk, fails with "Missing output" when
// there is none, else writes the image there (write_output, the report's
// sink checked before the rename) and returns the line. The file the image
// replaced stays held until the line is printed, and is let go beside the
// printing (OutputLine::beside): the space of a large file that was synced
// takes milliseconds to give back, which the printing need not wait for.
Result<OutputLine> write_reported(vantrel_pdb::Bytes image, OutputLine report, const Request& request);

// How a failed check of the library's last change reads.
using CheckFailure = std::function<Error(const vantrel_pdb::PdbError&)>;

// The line to print about a written image, made once its check has passed.
using MakeReport = std::function<Result<OutputLine>(vantrel_pdb::Bytes image)>;

// write_reported for a library whose last check the caller put off
// (Library::defer_check): its image is written while the check runs, which
// must pass before the new file replaces the old. The line is made by
// `make_report` once the check has passed, on a second thread while the
// image is still being written (Library::await_check), so that nothing but
// printing comes after the rename; `make_report` may read the library then,
// and nothing else may. A failed check is the failure (as `check_failure`
// words it), even when the write failed too.
Result<OutputLine> write_checked(vantrel_pdb::Library& library, const Request& request,
                                 const CheckFailure& check_failure, const MakeReport& make_report);

}  // namespace dovrel

#endif  // DOVREL_ACTIONS_H_
