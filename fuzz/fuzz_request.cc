// Fuzz target: the request parser, and the actions that need no file.
//
// parse_request on arbitrary bytes must never crash; input that is not valid
// UTF-8 fails with exactly "stream did not contain valid UTF-8"; every error
// is one line. A parsed request whose action touches no file is then run:
// the actions that read a database ("read", "patch", "edit", "check",
// "salvage", "export") must fail without "input" with "Missing input"
// (before they touch any file), "scan" without "output" with "Missing
// output" (before it looks at any folder), other actions with "Unknown
// action"; "build" without "output" is built and read, as run_action does
// before it reports "Missing output", and its report must list every
// requested track and playlist. Where the one pass over a build request
// reads a request, the reader with the document must read the same one.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "actions.h"
#include "build.h"
#include "report.h"
#include "report_check.h"
#include "request.h"
#include "request_one_pass.h"

namespace {

using dovrel::fuzz::check;
using dovrel::fuzz::check_error_line;

void check_fails_with(const dovrel::Request& request, std::string_view message) {
  auto result = dovrel::run_action(request);
  check(!result.has_value(), "an action without its file succeeded");
  check(result.error().message == message, "unexpected message for an action without its file", result.error().message);
}

void check_build(const dovrel::Request& request) {
  static simdjson::dom::parser parser;
  auto image = dovrel::build(request);
  if (!image) {
    check_error_line(image.error().message);
    return;
  }
  auto report = dovrel::read(*image);
  check(report.has_value(), "read rejects a built image", report ? "" : report.error().message);
  auto joined = report->joined();
  check(joined.has_value(), "the report of an image that read accepted fails as it is printed",
        joined ? "" : joined.error().message);
  const std::string& line = *joined;
  auto object = dovrel::fuzz::check_report_line(parser, line);
  check(object["tracks"].get_array().value_unsafe().size() == request.tracks.size(),
        "report of a build lists another number of tracks than requested");
  check(object["playlists"].get_array().value_unsafe().size() == request.playlists.size(),
        "report of a build lists another number of playlists than requested");
}

void check_one_pass(std::string_view text) {
  std::vector<char> padded(text.begin(), text.end());
  padded.resize(text.size() + dovrel::kRequestPadding);
  const auto fast = dovrel::read_build_in_one_pass(std::string_view(padded.data(), text.size()));
  if (!fast) return;
  const auto slow = dovrel::parse_request_with_document(text);
  check(slow.has_value(), "the one pass read a request that the document's reader refuses",
        slow ? "" : slow.error().message);
  check(fast->action == slow->action && fast->input == slow->input && fast->output == slow->output &&
            fast->tracks == slow->tracks && fast->playlists == slow->playlists && fast->report == slow->report &&
            fast->keep_tracks == slow->keep_tracks && fast->keep_playlists == slow->keep_playlists &&
            fast->tempos == slow->tempos,
        "the one pass read another request than the document's reader");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto request = dovrel::parse_request(text);
  if (!simdjson::validate_utf8(text.data(), text.size())) {
    check(!request.has_value(), "a request that is not valid UTF-8 was accepted");
    check(request.error().message == "stream did not contain valid UTF-8", "wrong message for invalid UTF-8",
          request.error().message);
    return 0;
  }
  check_one_pass(text);
  if (!request) {
    check_error_line(request.error().message);
    return 0;
  }
  const std::string& action = request->action;
  if (action == "read" || action == "patch" || action == "edit" || action == "check" || action == "salvage" ||
      action == "export") {
    if (!request->input) check_fails_with(*request, dovrel::kMissingInput);
  } else if (action == "build") {
    if (!request->output) check_build(*request);
  } else if (action == "scan") {
    if (!request->output) check_fails_with(*request, dovrel::kMissingOutput);
  } else {
    check_fails_with(*request, dovrel::kUnknownAction);
  }
  return 0;
}
