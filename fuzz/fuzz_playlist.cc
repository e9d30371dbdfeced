// Fuzz target: playlist files and the text rules of the scan.
//
// The first byte chooses the .m3u reading (bit 0: a line that is not UTF-8
// is Latin-1); the rest is the playlist's text. Every entry must be a
// non-empty line that is no comment, in increasing line order; each must
// resolve to a normal path under the root (no "/" at either end, no empty,
// "." or ".." component) or fail with one of the documented reasons; the
// UTF-8 repair must give valid UTF-8 that keeps valid text as it is, and a
// cut must stay valid.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scan/playlist_file.h"
#include "scan/text.h"

namespace {

using dovrel::fuzz::check;

void check_normal(const std::string& path) {
  check(!path.empty(), "an entry resolved to the root itself");
  check(path.front() != '/' && path.back() != '/', "a resolved path starts or ends with /", path);
  std::string_view rest = path;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    check(!part.empty() && part != "." && part != "..", "a resolved path holds an empty, . or .. part", path);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool latin1 = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const dovrel::scan::RootPaths root{"media/stick", "mnt/real"};
  std::size_t last_line = 0;
  for (const auto& entry : dovrel::scan::playlist_entries(text, latin1)) {
    check(entry.line > last_line, "entries out of line order");
    last_line = entry.line;
    check(!entry.text.empty() && entry.text.front() != '#', "an empty or comment line became an entry");
    check(entry.text.find('\n') == std::string::npos, "an entry spans lines");
    if (latin1) check(dovrel::scan::is_valid_utf8(entry.text), "an .m3u entry is not UTF-8 after the Latin-1 reading");
    auto resolved = dovrel::scan::resolve_entry(entry.text, "music/lists", root);
    if (resolved) {
      check_normal(*resolved);
    } else {
      check(resolved.error() == "outside the root" || resolved.error() == "not a file path", "unknown reason",
            resolved.error());
    }
  }
  const std::string repaired = dovrel::scan::valid_utf8(text);
  check(dovrel::scan::is_valid_utf8(repaired), "the UTF-8 repair left invalid UTF-8");
  if (dovrel::scan::is_valid_utf8(text)) check(repaired == text, "the UTF-8 repair changed valid text");
  check(dovrel::scan::is_valid_utf8(dovrel::scan::clip_utf8(repaired, size / 2)), "a cut broke a character");
  return 0;
}
