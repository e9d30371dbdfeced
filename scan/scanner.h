// The scan: the audio and playlist files under some folders of a stick,
// read on worker threads into tracks, playlists and the list of what was
// left out. The front end turns the result into a build or edit request.
#ifndef DOVREL_SCAN_SCANNER_H_
#define DOVREL_SCAN_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scan/audio_file.h"
#include "scan/folder_walk.h"

namespace dovrel::scan {

// How far the reading of the audio files has come.
struct Progress {
  std::size_t done = 0;
  std::size_t total = 0;
  std::string folder;  // the folder of the file read last, as a player sees it ("/music/house")
};

struct ScanOptions {
  std::string root;
  // Folders relative to the root, each walked recursively; "" is the whole root.
  std::vector<std::string> folders{""};
  // Where the pictures go (normal_artwork_folder's form); none: no picture
  // is read and no file written.
  std::optional<std::string> artwork_folder;
  unsigned threads = 2;
  // Called on the calling thread when the reading starts, every tenth of a
  // second while it goes on, and once more when it is over (done == total).
  std::function<void(const Progress&)> progress;
};

struct ScannedTrack {
  std::string audio_path;    // "/" + the path relative to the root
  AudioFile file;            // its picture already stored, and dropped
  std::string artwork_path;  // "" for none
};

// A playlist file or a folder that holds playlist files (or folders that
// do), with ids 1, 2, ... in the order made: a folder before what it holds.
struct ScannedPlaylist {
  std::uint32_t id = 0;
  std::uint32_t parent_id = 0;  // 0 at the top level
  std::string name;             // the file name without extension, or the folder's name
  bool is_folder = false;
  std::vector<std::size_t> tracks;  // indices into ScanResult::tracks, in the file's order
};

struct ScanResult {
  std::vector<ScannedTrack> tracks;  // in byte order of their paths
  std::vector<ScannedPlaylist> playlists;
  std::vector<Skipped> skipped;  // by path; a path's entries in the order found
};

// Playlist files larger than this are skipped.
inline constexpr std::uint64_t kMaxPlaylistFileBytes = 16 << 20;

// Scans `options.folders` of `options.root`. Fails with find_files' error
// when a folder cannot be listed, or with the artwork store's when a
// picture cannot be written; a file that cannot be read is listed as
// skipped and the scan goes on.
std::expected<ScanResult, std::string> scan_folders(const ScanOptions& options);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_SCANNER_H_
