// Property checks inside fuzz targets. A broken property is a finding like a
// sanitizer report: it prints what went wrong and aborts, so that libFuzzer
// saves the input as a crash file.
#ifndef DOVREL_FUZZ_FUZZ_CHECK_H_
#define DOVREL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace dovrel::fuzz {

// Prints "property violated: WHAT (DETAIL)" on standard error and aborts.
[[noreturn]] inline void violated(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "property violated: %.*s", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) std::fprintf(stderr, " (%.*s)", static_cast<int>(detail.size()), detail.data());
  std::fputc('\n', stderr);
  std::abort();
}

// Aborts through violated() unless `condition` holds.
inline void check(bool condition, std::string_view what, std::string_view detail = {}) {
  if (!condition) violated(what, detail);
}

}  // namespace dovrel::fuzz

#endif  // DOVREL_FUZZ_FUZZ_CHECK_H_
