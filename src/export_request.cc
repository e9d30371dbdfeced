// The request of "export": its own keys, read in document order. The top
// level skips keys it does not know, as the other actions' requests do.
#include <string_view>

#include "request_json.h"
#include "request_readers.h"

namespace dovrel {

namespace {

using namespace request_json;  // NOLINT: the readers this file is made of

constexpr Fields<5> kExportFields{{"action", "format", "input", "output", "root"}, 2};

Status parse_format(dom::element value, const Where& where, ExportFormat& out) {
  if (value.type() == dom::element_type::STRING) {
    const std::string_view name = value.get_string().value_unsafe();
    if (name == "m3u8") {
      out = ExportFormat::kM3u8;
      return {};
    }
    if (name == "csv") {
      out = ExportFormat::kCsv;
      return {};
    }
    if (name == "html") {
      out = ExportFormat::kHtml;
      return {};
    }
  }
  return type_error(where, "\"m3u8\", \"csv\" or \"html\"", value);
}

}  // namespace

Status parse_export_request(dom::object object, const Where& root, Request& request) {
  return walk_object(object, kExportFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_format(v, w, request.export_args.format);
      case 2: return parse_optional_string(v, w, request.input);
      case 3: return parse_optional_string(v, w, request.output);
      default: return parse_optional_string(v, w, request.export_args.root);
    }
  });
}

}  // namespace dovrel
