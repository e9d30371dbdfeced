// Fuzz target: the "read" action on arbitrary bytes as the image.
//
// dovrel::read (structure check, decoding, report) must never crash, read
// outside the image or hang; when it fails its message is one line, and when
// it succeeds the report is one line of compact, key-sorted, valid JSON.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "report.h"
#include "report_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static simdjson::dom::parser parser;
  auto report = dovrel::read(vantrel_pdb::Bytes(data, size));
  if (!report) {
    dovrel::fuzz::check_error_line(report.error().message);
    return 0;
  }
  auto joined = report->joined();
  dovrel::fuzz::check(joined.has_value(), "the report of an image that read accepted fails as it is printed",
        joined ? "" : joined.error().message);
  const std::string& line = *joined;
  dovrel::fuzz::check_report_line(parser, line);
  return 0;
}
