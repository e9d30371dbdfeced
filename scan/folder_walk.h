// The files a scan reads: every audio file (an extension of the build's
// file-type table) and every playlist file (.m3u, .m3u8) under some folders
// of a root, found by a walk that follows symbolic links but never goes
// round a loop, and that lists what it cannot enter instead of failing.
#ifndef DOVREL_SCAN_FOLDER_WALK_H_
#define DOVREL_SCAN_FOLDER_WALK_H_

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace dovrel::scan {

// A file or folder the scan leaves out, and why. `path` is where a player
// would see it: "/" + its path relative to the root, as valid UTF-8.
struct Skipped {
  std::string path;
  std::string reason;

  friend bool operator==(const Skipped&, const Skipped&) = default;
};

struct FoundFiles {
  // Paths relative to the root ("music/a.mp3"), in byte order, each once.
  std::vector<std::string> audio;
  std::vector<std::string> playlists;
  // Folders that cannot be listed, entries that cannot be looked at
  // (a dangling link), loops of links, and audio files whose path is no
  // valid UTF-8 or is longer than kMaxAudioPathBytes, in the order met.
  std::vector<Skipped> skipped;
};

// True for a name ending in ".m3u" or ".m3u8" (ASCII letters in any case).
bool is_playlist_name(std::string_view name);

// Walks `folders` (paths relative to `root`; "" is the root itself) in
// turn, each recursively. A symbolic link is followed to what it names; a
// link to a folder that is already being walked above it is a loop and is
// listed as skipped ("symbolic link loop back to /music"). Fails only when
// `root` or one of `folders` cannot be listed, with "cannot scan PATH:
// REASON" (a folder that is absolute or climbs above the root: "not a
// folder inside the root"); anything below them that cannot be read is
// listed as skipped.
std::expected<FoundFiles, std::string> find_files(const std::string& root, const std::vector<std::string>& folders);

// "/" + `relative`, as valid UTF-8: how a player sees a path.
std::string stick_path(std::string_view relative);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_FOLDER_WALK_H_
