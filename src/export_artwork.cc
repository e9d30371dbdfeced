#include "export_artwork.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "export_tree.h"

namespace dovrel {

namespace {

bool climbs_out(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    if (path.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

// The bytes of the regular file at `path` when it holds at most `limit`
// bytes; nothing otherwise.
std::optional<std::vector<std::uint8_t>> read_small_file(const std::string& path, std::size_t limit) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  // O_NONBLOCK: a FIFO must not stop the export; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> out;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<std::uint64_t>(info.st_size) <= limit) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    bool failed = false;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = n < 0;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);  // a file cut short meanwhile gives what it had
    if (!failed) out = std::move(bytes);
  }
  ::close(fd);
  return out;
}

}  // namespace

ArtworkUris load_artwork(std::span<const TrackFacts> tracks, const std::string& root) {
  ArtworkUris uris;
  std::unordered_map<std::string_view, bool> looked_up;
  std::size_t budget = kMaxArtworkBytes;
  for (const auto& track : tracks) {
    const std::string_view path = track.artwork_path;
    if (path.empty() || !looked_up.emplace(path, true).second || climbs_out(path)) continue;
    auto bytes = read_small_file(join_root(root, path), std::min(kMaxArtworkFileBytes, budget));
    if (!bytes) continue;
    std::string uri = image_data_uri(*bytes);
    if (uri.empty()) continue;
    budget -= bytes->size();
    uris.emplace(path, std::move(uri));
  }
  return uris;
}

}  // namespace dovrel
