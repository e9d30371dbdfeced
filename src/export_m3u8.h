// "export" as "m3u8": one playlist file per playlist, in folders that
// mirror the playlist folders. Made in memory; the action writes it.
#ifndef DOVREL_EXPORT_M3U8_H_
#define DOVREL_EXPORT_M3U8_H_

#include <cstdint>
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

// The two lines of `track` in a playlist, UTF-8 with line feeds:
//   #EXTINF:DURATION,ARTIST - TITLE     ("TITLE" alone when the artist is "")
//   PATH                                (root + audio path, or the audio path)
// Line breaks and other control characters in the texts and the path
// become spaces, so that the entry stays two lines. A root of "" is none.
std::string m3u8_entry(const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root);

// Every track's id and entry, in table order: all that playlists need.
struct M3u8Entries {
  std::vector<std::uint32_t> ids;
  std::vector<std::string> lines;
};
M3u8Entries m3u8_entries(std::span<const vantrel_pdb::TrackInfo> tracks, const std::optional<std::string>& root);

// One playlist file: "#EXTM3U" and a line feed, then the entry of each of
// its tracks in playing order (`index` over entries.ids). An entry whose
// track is not in the database is left out.
std::string m3u8_playlist(const vantrel_pdb::PlaylistInfo& playlist, const M3u8Entries& entries,
                          const TrackIndex& index);

// Every playlist (not folder) of the tree as "NAME.m3u8" in the folder of
// its parent; every folder, and every playlist that has nodes under it, as
// a folder "NAME". Names are made safe (safe_name.h) and numbered where
// they would clash within their folder, in tree order.
M3u8Export export_m3u8(const M3u8Entries& entries, std::span<const vantrel_pdb::PlaylistInfo> playlists);

// As above, from the tracks.
M3u8Export export_m3u8(std::span<const vantrel_pdb::TrackInfo> tracks,
                       std::span<const vantrel_pdb::PlaylistInfo> playlists, const std::optional<std::string>& root);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_M3U8_H_
