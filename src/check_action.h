// The "check" and "salvage" actions: what is wrong with a database, and a
// new, clean database made of what can still be read from it.
#ifndef DOVREL_CHECK_ACTION_H_
#define DOVREL_CHECK_ACTION_H_

#include <string>

#include "error.h"
#include "output_line.h"
#include "request.h"

namespace dovrel {

// "check": reads "input" whatever it holds (a file cut short or damaged
// included) and returns the line of its findings (check_report.h). Fails
// only when "input" is absent ("Missing input") or cannot be read (the
// operating system's text); whatever the check finds, it succeeds.
Result<std::string> run_check(const Request& request);

inline constexpr char kSalvageOutputIsInput[] = "Salvage output is the input: the damaged file is never overwritten";

// "salvage": reads "input" as "check" does, makes a new database of what
// can still be read from it (vantrel_pdb::salvage) and writes it to
// "output" as "build" writes (whole or not at all), then returns the line
// {"check":...,"kept":{...},"lost":{...}}: the findings of the check of the
// input, and per table the rows of the new file and the rows lost. Fails
// with "Missing input", with "Missing output" (once the new database is
// made), with kSalvageOutputIsInput when "output" names the input file (the
// same file, or the same path once links are resolved), or as the write
// fails. The caller holds the output's TargetLock.
Result<OutputLine> run_salvage(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_CHECK_ACTION_H_
