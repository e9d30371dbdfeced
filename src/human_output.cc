#include "human_output.h"

#include <simdjson.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "display_width.h"
#include "export_tree.h"
#include "json_writer.h"

namespace dovrel {

namespace {

namespace dom = simdjson::dom;

constexpr std::size_t kDefaultWidth = 80;
constexpr std::string_view kGap = "  ";

std::string_view string_of(dom::element e, std::string_view key) {
  std::string_view s;
  if (e[key].get(s) != simdjson::SUCCESS) return {};
  return s;
}

std::uint64_t uint_of(dom::element e, std::string_view key) {
  std::uint64_t v = 0;
  if (e[key].get(v) != simdjson::SUCCESS) return 0;
  return v;
}

std::string count(std::uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// 301 -> "5:01"; an hour or more: "1:02:03". (Built by appending: g++ 12
// warns of a false overlap, -Wrestrict, in chains of string additions.)
std::string minutes_seconds(std::uint64_t seconds) {
  std::string out;
  auto two = [&out](std::uint64_t v) {
    out.push_back(static_cast<char>('0' + v / 10));
    out.push_back(static_cast<char>('0' + v % 10));
  };
  if (seconds >= 3600) {
    out.append(std::to_string(seconds / 3600)).push_back(':');
    two(seconds / 60 % 60);
  } else {
    out.append(std::to_string(seconds / 60));
  }
  out.push_back(':');
  two(seconds % 60);
  return out;
}

// Cells of one row, each already fit to its column.
using Row = std::vector<std::string>;

// A table whose columns fit `width`: the columns that `shrink` marks give up
// columns first, the widest of them each time, down to `min_width`.
std::string layout_table(const Row& header, const std::vector<Row>& rows, const std::vector<bool>& right,
                         const std::vector<int>& shrink_order, std::size_t width) {
  const std::size_t n = header.size();
  std::vector<std::size_t> widths(n);
  for (std::size_t c = 0; c < n; ++c) widths[c] = display_width(header[c]);
  for (const Row& row : rows)
    for (std::size_t c = 0; c < n; ++c) widths[c] = std::max(widths[c], display_width(row[c]));
  auto total = [&] {
    std::size_t sum = kGap.size() * (n - 1);
    for (std::size_t w : widths) sum += w;
    return sum;
  };
  constexpr std::size_t kMinWidth = 3;
  // Shrinks the widest of the columns in `group` while the table is too wide.
  auto shrink = [&](std::vector<int> group) {
    while (total() > width) {
      int widest = -1;
      for (int c : group)
        if (widths[static_cast<std::size_t>(c)] > kMinWidth &&
            (widest < 0 || widths[static_cast<std::size_t>(c)] > widths[static_cast<std::size_t>(widest)]))
          widest = c;
      if (widest < 0) return;
      --widths[static_cast<std::size_t>(widest)];
    }
  };
  shrink(shrink_order);
  for (std::size_t c = 0; c < n && total() > width; ++c) shrink({static_cast<int>(c)});

  std::string out;
  auto add_row = [&](const Row& row) {
    std::string line;
    for (std::size_t c = 0; c < n; ++c) {
      if (c > 0) line += kGap;
      line += pad_to_width(fit_width(row[c], widths[c]), widths[c], right[c]);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    // A terminal narrower than the narrowest table still gets whole lines.
    out += fit_width(line, width);
    out += '\n';
  };
  add_row(header);
  for (const Row& row : rows) add_row(row);
  return out;
}

std::string track_table(dom::array tracks, std::size_t width) {
  const Row header{"ID", "ARTIST", "TITLE", "BPM", "KEY", "TIME"};
  std::vector<Row> rows;
  for (dom::element t : tracks) {
    double bpm = 0;
    std::string bpm_text;
    if (t["bpm"].get(bpm) == simdjson::SUCCESS) append_json_double(bpm_text, bpm);
    rows.push_back({std::to_string(uint_of(t, "id")), std::string(string_of(t, "artist")),
                    std::string(string_of(t, "title")), bpm_text, std::string(string_of(t, "key")),
                    minutes_seconds(uint_of(t, "duration"))});
  }
  // Artist and title give way first, then the key.
  return layout_table(header, rows, {true, false, false, true, false, true}, {1, 2}, width) +
         count(rows.size(), "track", "tracks") + "\n";
}

// Folders end in "/", playlists show their entry count; children are
// indented under their folder in the report's order. A node whose parent
// is not in the tree, or that lies on a loop of parents, stands at the top
// after the others (tree_order).
std::string playlist_tree(dom::array playlists, std::size_t width) {
  // The tree as the exports lay it out; the report keeps no sort order, so
  // siblings stand in the report's order.
  std::vector<vantrel_pdb::PlaylistInfo> nodes;
  std::vector<std::size_t> entries;
  for (dom::element p : playlists) {
    vantrel_pdb::PlaylistInfo node;
    node.id = static_cast<std::uint32_t>(uint_of(p, "id"));
    node.parent_id = static_cast<std::uint32_t>(uint_of(p, "parentId"));
    node.name = std::string(string_of(p, "name"));
    if (p["isFolder"].get(node.is_folder) != simdjson::SUCCESS) node.is_folder = false;
    dom::array tracks;
    entries.push_back(p["tracks"].get(tracks) == simdjson::SUCCESS ? tracks.size() : 0);
    nodes.push_back(std::move(node));
  }
  std::string out;
  for (const TreeNode& at : tree_order(nodes)) {
    const vantrel_pdb::PlaylistInfo& node = nodes[at.index];
    // The name gives way, so that the count stays in view.
    const std::string indent(std::min(at.depth, std::size_t{16}) * 2, ' ');
    const std::string suffix = node.is_folder ? "/" : " (" + std::to_string(entries[at.index]) + ")";
    const std::size_t room = width > indent.size() + suffix.size() ? width - indent.size() - suffix.size() : 1;
    out += fit_width(indent + fit_width(node.name, room) + suffix, width);
    out += '\n';
  }
  if (nodes.empty()) out += "(no playlists)\n";
  return out;
}

std::string check_lines(dom::element check) {
  std::string out;
  dom::array findings;
  std::size_t listed = 0;
  if (check["findings"].get(findings) == simdjson::SUCCESS) {
    for (dom::element f : findings) {
      out += fit_width(std::string(string_of(f, "severity")) + " " + std::string(string_of(f, "code")) + ": " +
                           std::string(string_of(f, "message")),
                       std::string::npos);
      out += '\n';
      ++listed;
    }
  }
  bool ok = false;
  if (check["ok"].get(ok) != simdjson::SUCCESS) ok = false;
  dom::element counts;
  std::uint64_t errors = 0, warnings = 0, pages = 0;
  if (check["counts"].get(counts) == simdjson::SUCCESS) {
    errors = uint_of(counts, "errors");
    warnings = uint_of(counts, "warnings");
    pages = uint_of(counts, "pages");
  }
  out += ok ? "ok: " : "damaged: ";
  out += count(errors, "error", "errors") + ", " + count(warnings, "warning", "warnings") + " in " +
         count(pages, "page", "pages");
  if (errors + warnings > listed) out += " (" + std::to_string(errors + warnings - listed) + " not listed)";
  return out + "\n";
}

// "tracks 28, playlists 5" of the non-zero counts of an object.
std::string counts_of(dom::element object) {
  std::string out;
  dom::object fields;
  if (object.get(fields) != simdjson::SUCCESS) return out;
  for (auto [key, value] : fields) {
    std::uint64_t n = 0;
    if (value.get(n) != simdjson::SUCCESS || n == 0) continue;
    if (!out.empty()) out += ", ";
    out += std::string(key) + " " + std::to_string(n);
  }
  return out.empty() ? "nothing" : out;
}

std::string written(std::string_view output) { return "wrote " + std::string(output); }

std::string write_summary(dom::element line, std::string_view output) {
  std::uint64_t bytes = 0;
  if (line["outputBytes"].get(bytes) == simdjson::SUCCESS) {
    return written(output) + ": " + count(uint_of(line, "tracks"), "track", "tracks") + ", " +
           count(uint_of(line, "playlists"), "playlist", "playlists") + ", " +
           count(uint_of(line, "folders"), "folder", "folders") + ", " +
           count(uint_of(line, "entries"), "entry", "entries") + ", " +
           count(uint_of(line, "artwork"), "artwork", "artwork") + " (" + std::to_string(bytes) + " bytes)\n";
  }
  dom::array tracks, playlists;
  std::size_t folders = 0, lists = 0;
  if (line["playlists"].get(playlists) == simdjson::SUCCESS) {
    for (dom::element p : playlists) {
      bool folder = false;
      if (p["isFolder"].get(folder) == simdjson::SUCCESS && folder) {
        ++folders;
      } else {
        ++lists;
      }
    }
  }
  const std::size_t n = line["tracks"].get(tracks) == simdjson::SUCCESS ? tracks.size() : 0;
  return written(output) + ": " + count(n, "track", "tracks") + ", " + count(lists, "playlist", "playlists") + ", " +
         count(folders, "folder", "folders") + "\n";
}

std::string scan_summary(dom::element line) {
  std::string out;
  dom::array tracks, playlists, changes, skipped;
  const std::string_view action = string_of(line, "action");
  if (line["changes"].get(changes) == simdjson::SUCCESS) {
    out = "scan: the edit of " + std::string(string_of(line, "input")) + ":";
    if (changes.size() == 0) out += " nothing to change";
    for (dom::element c : changes) {
      dom::array items;
      std::size_t n = 0;
      for (std::string_view key : {"tracks", "ids", "playlists"})
        if (c[key].get(items) == simdjson::SUCCESS) n = items.size();
      out.append(" ").append(string_of(c, "op")).append(" ").append(std::to_string(n));
    }
  } else {
    const std::size_t t = line["tracks"].get(tracks) == simdjson::SUCCESS ? tracks.size() : 0;
    const std::size_t p = line["playlists"].get(playlists) == simdjson::SUCCESS ? playlists.size() : 0;
    out = "scan: " + count(t, "track", "tracks") + ", " + count(p, "playlist or folder", "playlists and folders");
  }
  out += " for " + std::string(string_of(line, "output")) + " (--build runs the " + std::string(action) +
         ", --format json prints the request)\n";
  if (line["skipped"].get(skipped) == simdjson::SUCCESS) {
    for (dom::element s : skipped)
      out += fit_width("skipped " + std::string(string_of(s, "path")) + ": " + std::string(string_of(s, "reason")),
                       std::string::npos) +
             "\n";
  }
  return out;
}

}  // namespace

std::size_t terminal_width() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    std::size_t n = 0;
    const std::string_view text(columns);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && end == text.data() + text.size() && n > 0) return n;
  }
  return kDefaultWidth;
}

Result<std::string> render_for_people(std::string_view action, std::string_view line, OutputFormat format,
                                      std::size_t width, std::string_view output) {
  dom::parser parser;
  dom::element root;
  if (parser.parse(line.data(), line.size()).get(root) != simdjson::SUCCESS || !root.is_object())
    return fail("not a JSON object");
  dom::array tracks, playlists;
  const bool is_report = root["playlists"].get(playlists) == simdjson::SUCCESS &&
                         root["tracks"].get(tracks) == simdjson::SUCCESS &&
                         root["version"].error() == simdjson::SUCCESS;
  if (format == OutputFormat::kTree && is_report) return playlist_tree(playlists, width);
  if (action == "read" && is_report)
    return track_table(tracks, width) + "\nPLAYLISTS\n" + playlist_tree(playlists, width);
  if (action == "check") return check_lines(root);
  if (action == "salvage") {
    dom::element check, kept, lost;
    if (root["check"].get(check) || root["kept"].get(kept) || root["lost"].get(lost)) return fail("not a salvage line");
    return written(output) + ": kept " + counts_of(kept) + "; lost " + counts_of(lost) + "\n" + check_lines(check);
  }
  if (action == "export") {
    dom::array files;
    if (root["files"].get(files) != simdjson::SUCCESS) return fail("not an export line");
    return written(output) + ": " + count(files.size(), "file", "files") + "\n";
  }
  if (action == "scan") return scan_summary(root);
  if (action == "build" || action == "patch" || action == "edit") return write_summary(root, output);
  return fail("no layout for this line");
}

}  // namespace dovrel
