// Playlist files (.m3u, .m3u8): their entries, and where each entry points
// relative to the root of the scan.
#ifndef DOVREL_SCAN_PLAYLIST_FILE_H_
#define DOVREL_SCAN_PLAYLIST_FILE_H_

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dovrel::scan {

struct PlaylistEntry {
  std::size_t line = 0;  // 1 for the first line
  std::string text;

  friend bool operator==(const PlaylistEntry&, const PlaylistEntry&) = default;
};

// The entries of a playlist text: every line that is neither empty (once
// spaces and a carriage return are cut from its ends) nor a comment or
// directive ("#..."); a UTF-8 byte order mark at the start is ignored. In
// an .m3u file (`latin1_fallback`) a line that is not valid UTF-8 is read
// as Latin-1, the older playlists' encoding; .m3u8 is UTF-8 throughout.
std::vector<PlaylistEntry> playlist_entries(std::string_view text, bool latin1_fallback);

// The root of a scan as entries may name it: its absolute path, lexically
// normalised, and the path with every link resolved.
struct RootPaths {
  std::string absolute;
  std::string resolved;
};

// RootPaths of `root`; `resolved` is `absolute` when the root cannot be
// resolved.
RootPaths root_paths(const std::string& root);

// `path` with "." and empty components dropped and each ".." taking away
// the component before it; fails (nullopt) when a ".." would climb above
// the start. No leading or trailing "/" in the result.
std::optional<std::string> normalise(std::string_view path);

// The path relative to the root that `entry` of a playlist in the folder
// `playlist_folder` (relative to the root) names: a relative entry is taken
// from the playlist's folder, an absolute one ("/...", or a "file://" URL,
// %-escapes decoded) is a path of the file system and must lie under the
// root. Fails with the reason: "outside the root", "not a file path" (a URL
// of another scheme).
std::expected<std::string, std::string> resolve_entry(std::string_view entry, std::string_view playlist_folder,
                                                      const RootPaths& root);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_PLAYLIST_FILE_H_
