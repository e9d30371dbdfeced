#include "check_request.h"

namespace dovrel {

namespace {

using namespace request_json;  // NOLINT: the readers this file is made of

constexpr Fields<3> kCheckFields{{"action", "input", "limit"}, 1};
constexpr Fields<4> kSalvageFields{{"action", "input", "output", "limit"}, 1};

}  // namespace

Status read_check_request(dom::object object, const Where& root, Request& request) {
  return walk_object(object, kCheckFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_optional_string(v, w, request.input);
      default: return parse_unsigned(v, w, request.check.limit);
    }
  });
}

Status read_salvage_request(dom::object object, const Where& root, Request& request) {
  return walk_object(object, kSalvageFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_optional_string(v, w, request.input);
      case 2: return parse_optional_string(v, w, request.output);
      default: return parse_unsigned(v, w, request.check.limit);
    }
  });
}

}  // namespace dovrel
