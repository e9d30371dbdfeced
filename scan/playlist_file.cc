#include "scan/playlist_file.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "scan/text.h"

namespace dovrel::scan {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kFileScheme = "file://";

std::string_view trim(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// True for "scheme://..." with a scheme of letters, digits, "+", "-", ".".
bool is_url(std::string_view entry) {
  const std::size_t colon = entry.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : entry.substr(0, colon)) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// `path` (normalised, no leading "/") relative to `base` (likewise), when
// it lies under it.
std::optional<std::string> under(const std::string& path, const std::string& base) {
  if (base.empty()) return path;
  if (path == base) return std::string();
  if (path.size() > base.size() && path.starts_with(base) && path[base.size()] == '/') {
    return path.substr(base.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

std::vector<PlaylistEntry> playlist_entries(std::string_view text, bool latin1_fallback) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  std::vector<PlaylistEntry> entries;
  for (std::size_t line = 1; !text.empty(); ++line) {
    const std::size_t end = text.find('\n');
    const std::string_view raw = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (raw.empty() || raw.front() == '#') continue;
    entries.push_back({line, latin1_fallback && !is_valid_utf8(raw) ? latin1_to_utf8(raw) : std::string(raw)});
  }
  return entries;
}

std::optional<std::string> normalise(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty()) out.push_back('/');
    out.append(part);
  }
  return out;
}

RootPaths root_paths(const std::string& root) {
  RootPaths paths;
  std::string absolute = root;
  if (!root.starts_with('/')) {
    std::unique_ptr<char, decltype(&::free)> cwd(::getcwd(nullptr, 0), &::free);
    if (cwd) absolute = std::string(cwd.get()) + "/" + root;
  }
  paths.absolute = normalise(absolute).value_or(std::string());
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(root.c_str(), nullptr), &::free);
  paths.resolved = resolved ? normalise(resolved.get()).value_or(paths.absolute) : paths.absolute;
  return paths;
}

std::expected<std::string, std::string> resolve_entry(std::string_view entry, std::string_view playlist_folder,
                                                      const RootPaths& root) {
  std::string absolute;
  if (entry.starts_with(kFileScheme)) {
    std::string_view rest = entry.substr(kFileScheme.size());
    // file:///path or file://localhost/path
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::unexpected(std::string("not a file path"));
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::unexpected(std::string("not a file path"));
    absolute = percent_decoded(rest.substr(slash));
  } else if (is_url(entry)) {
    return std::unexpected(std::string("not a file path"));
  } else if (entry.starts_with('/')) {
    absolute = std::string(entry);
  } else {
    std::string joined(playlist_folder);
    if (!joined.empty()) joined.push_back('/');
    joined.append(entry);
    auto relative = normalise(joined);
    if (!relative || relative->empty()) return std::unexpected(std::string("outside the root"));
    return *relative;
  }
  const auto path = normalise(absolute);
  if (path) {
    for (const std::string* base : {&root.absolute, &root.resolved}) {
      if (auto relative = under(*path, *base); relative && !relative->empty()) return *relative;
    }
  }
  return std::unexpected(std::string("outside the root"));
}

}  // namespace dovrel::scan
