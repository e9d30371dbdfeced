// Test helper: an action's line, or the report, as one string, for tests
// that look into it.
#ifndef DOVREL_OUTPUT_LINE_TEST_UTIL_H_
#define DOVREL_OUTPUT_LINE_TEST_UTIL_H_

#include <string>
#include <utility>

#include "error.h"
#include "output_line.h"

namespace dovrel {

inline Result<std::string> joined(Result<OutputLine> line) {
  if (!line) return std::unexpected(std::move(line.error()));
  return line->joined();  // renders the rest, if any
}

}  // namespace dovrel

#endif  // DOVREL_OUTPUT_LINE_TEST_UTIL_H_
