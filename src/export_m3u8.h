// "export" as "m3u8": one playlist file per playlist, in folders that
// mirror the playlist folders. Made in memory; the action writes it.
#ifndef DOVREL_EXPORT_M3U8_H_
#define DOVREL_EXPORT_M3U8_H_

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "export_tree.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// A file of an export: its path relative to the output folder ("/"
// between the names) and its bytes.
struct ExportFile {
  std::string path;
  std::string bytes;
};

struct M3u8Export {
  std::vector<std::string> folders;  // relative paths, each after the folder it sits in
  std::vector<ExportFile> files;     // in tree order
};

// The lines of one playlist, UTF-8 with line feeds:
//   #EXTM3U
//   #EXTINF:DURATION,ARTIST - TITLE     ("TITLE" alone when the artist is "")
//   PATH                                (root + audio path, or the audio path)
// one pair per entry in playing order. An entry whose track is not in the
// database is left out. Line breaks and other control characters in the
// texts and paths become spaces, so that every entry stays two lines.
std::string m3u8_playlist(const vantrel_pdb::PlaylistInfo& playlist, std::span<const vantrel_pdb::TrackInfo> tracks,
                          const TrackIndex& index, const std::optional<std::string>& root);

// Every playlist (not folder) of the tree as "NAME.m3u8" in the folder of
// its parent; every folder, and every playlist that has nodes under it, as
// a folder "NAME". Names are made safe (safe_name.h) and numbered where
// they would clash within their folder, in tree order. A root of "" is
// none.
M3u8Export export_m3u8(std::span<const vantrel_pdb::TrackInfo> tracks,
                       std::span<const vantrel_pdb::PlaylistInfo> playlists, const std::optional<std::string>& root);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_M3U8_H_
