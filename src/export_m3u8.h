// "export" as "m3u8": one playlist file per playlist, in folders that
// mirror the playlist folders. Made in memory; the action writes it.
#ifndef DOVREL_EXPORT_M3U8_H_
#define DOVREL_EXPORT_M3U8_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export_tree.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// The two lines of `track` in a playlist, UTF-8 with line feeds:
//   #EXTINF:DURATION,ARTIST - TITLE     ("TITLE" alone when the artist is "")
//   PATH                                (root + audio path, or the audio path)
// Line breaks and other control characters in the texts and the path
// become spaces, so that the entry stays two lines. A root of "" is none.
void append_m3u8_entry(std::string& out, const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root);
// Buffers for the texts of an entry read from a row, kept from track to
// track so that they allocate only when a text outgrows the one before it.
struct M3u8Scratch {
  std::string title;
  std::string audio_path;
};
// The same entry read from the track's row: only the fields it shows.
// Fails as TrackView::append_text fails, `out` then holding part of it.
std::expected<void, vantrel_pdb::PdbError> append_m3u8_entry(std::string& out, const vantrel_pdb::TrackView& track,
                                                             const std::optional<std::string>& root,
                                                             M3u8Scratch& scratch);
// The same as a string of its own.
std::string m3u8_entry(const vantrel_pdb::TrackInfo& track, const std::optional<std::string>& root);

// Every track's id and entry, in table order: all that playlists need. The
// entries lie one after another in a few large blocks of text (one per
// thread that made them), so that a playlist is written from them without
// a string per track or per playlist: tracks [block_starts[b],
// block_starts[b + 1]) are in blocks[b], the last block's run to the end.
// Moves keep the entries in place; copies would not, so there are none.
struct M3u8Entries {
  M3u8Entries() = default;
  M3u8Entries(M3u8Entries&&) = default;
  M3u8Entries& operator=(M3u8Entries&&) = default;
  M3u8Entries(const M3u8Entries&) = delete;
  M3u8Entries& operator=(const M3u8Entries&) = delete;

  std::vector<std::uint32_t> ids;
  std::vector<std::string> blocks;
  std::vector<std::size_t> block_starts;  // the first track of each block
  std::vector<std::size_t> ends;          // where each track's entry ends in its block

  // The entry of the track at `position`, a view into its block.
  std::string_view line(std::size_t position) const;
};
M3u8Entries m3u8_entries(std::span<const vantrel_pdb::TrackInfo> tracks, const std::optional<std::string>& root);

// A file of an export: its path relative to the output folder ("/"
// between the names) and its tracks, as positions in the export's entries
// in playing order.
struct ExportFile {
  std::string path;
  std::vector<std::uint32_t> tracks;
};

struct M3u8Export {
  M3u8Entries entries;               // what the files' parts view
  std::vector<std::string> folders;  // relative paths, each after the folder it sits in
  std::vector<ExportFile> files;     // in tree order

  // The bytes of `file`, as `parts` (cleared first) that are one after
  // another: "#EXTM3U" and a line feed, then each track's entry, views into
  // the entries or static text.
  void parts_of(const ExportFile& file, std::vector<std::string_view>& parts) const;
  // The same joined: the file's whole text.
  std::string bytes(const ExportFile& file) const;
};

// The tracks of `playlist`'s file, as positions in the tracks that `index`
// is over, in playing order; a track that is not in the database is left
// out.
std::vector<std::uint32_t> m3u8_playlist_tracks(const vantrel_pdb::PlaylistInfo& playlist, const TrackIndex& index);
// The file of `playlist`: "#EXTM3U" and a line feed, then the entry of each
// of its tracks (m3u8_playlist_tracks) from `entries`.
std::string m3u8_playlist(const vantrel_pdb::PlaylistInfo& playlist, const M3u8Entries& entries,
                          const TrackIndex& index);

// Every playlist (not folder) of the tree as "NAME.m3u8" in the folder of
// its parent; every folder, and every playlist that has nodes under it, as
// a folder "NAME". Names are made safe (safe_name.h) and numbered where
// they would clash within their folder, in tree order. The export keeps
// `entries`, from which its files are made.
M3u8Export export_m3u8(M3u8Entries entries, std::span<const vantrel_pdb::PlaylistInfo> playlists);

// As above, from the tracks.
M3u8Export export_m3u8(std::span<const vantrel_pdb::TrackInfo> tracks,
                       std::span<const vantrel_pdb::PlaylistInfo> playlists, const std::optional<std::string>& root);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_M3U8_H_
