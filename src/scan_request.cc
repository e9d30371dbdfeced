// The request of the "scan" action:
//   {"action": "scan", "root": "/media/stick", "folders": ["music"],
//    "output": "/media/stick/library.pdb", "artworkFolder": "art",
//    "input": null}
#include <string>
#include <utility>

#include "request_readers.h"
#include "scan/artwork_store.h"
#include "scan/playlist_file.h"

namespace dovrel {

namespace {

using namespace request_json;  // NOLINT: the readers this file is made of

constexpr Fields<6> kScanFields{{"action", "root", "folders", "output", "artworkFolder", "input"}, 2};

constexpr char kFolderKind[] = "a relative path inside the root";

// A folder of "folders": relative, and never above the root.
Status parse_folder(dom::element value, const Where& where, std::string& out) {
  if (auto ok = parse_string(value, where, out); !ok) return ok;
  auto normal = out.starts_with('/') ? std::nullopt : scan::normalise(out);
  if (!normal) return type_error(where, kFolderKind, value);
  out = std::move(*normal);
  return {};
}

// The root: any path but "".
Status parse_root(dom::element value, const Where& where, std::string& out) {
  if (auto ok = parse_string(value, where, out); !ok) return ok;
  if (out.empty()) return type_error(where, "a folder", value);
  return {};
}

Status parse_folders(dom::element value, const Where& where, std::optional<std::vector<std::string>>& out) {
  if (value.is_null()) {
    out.reset();
    return {};
  }
  return parse_records(value, where, out.emplace(), parse_folder);
}

Status parse_artwork_folder(dom::element value, const Where& where, std::optional<std::string>& out) {
  if (auto ok = parse_optional_string(value, where, out); !ok || !out) return ok;
  auto normal = scan::normal_artwork_folder(*out);
  if (!normal) {
    return type_error(where,
                      "a relative path inside the root of printable ASCII, at most " +
                          std::to_string(scan::kMaxArtworkFolderBytes) + " bytes",
                      value);
  }
  out = std::move(*normal);
  return {};
}

}  // namespace

Status parse_scan_request(dom::object object, const Where& root, Request& request) {
  return walk_object(object, kScanFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_root(v, w, request.scan.root);
      case 2: return parse_folders(v, w, request.scan.folders);
      case 3: return parse_optional_string(v, w, request.output);
      case 4: return parse_artwork_folder(v, w, request.scan.artwork_folder);
      default: return parse_optional_string(v, w, request.input);
    }
  });
}

}  // namespace dovrel
