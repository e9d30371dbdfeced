// Standard output as the place of the report: what can be checked before a
// build or patch replaces its output, and the messages for a report that
// could not be printed.
#ifndef DOVREL_REPORT_SINK_H_
#define DOVREL_REPORT_SINK_H_

#include "error.h"

namespace dovrel {

// The report could not be printed and nothing was written.
inline constexpr char kCannotWriteReport[] = "cannot write the report: ";
// The report could not be printed after the output file was replaced.
inline constexpr char kReportLostAfterOutput[] = "output written, but the report could not be printed: ";

// Checks that standard output can still take the report: it is open for
// writing and, when it is a pipe or socket, someone still reads it. Fails
// with kCannotWriteReport and the operating system's text, e.g. "cannot
// write the report: Broken pipe (os error 32)". A reader that goes away
// later, or a disk that fills, is only seen when the report is printed.
Result<void> check_report_sink();

}  // namespace dovrel

#endif  // DOVREL_REPORT_SINK_H_
