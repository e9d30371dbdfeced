// "export" as "html": one self-contained page of the library, with a
// sortable, searchable table of the tracks, the playlist tree, artwork
// thumbnails and a summary. Everything is in the file (style, script, the
// data as one JSON block, images as data: URIs); the page loads nothing
// else, and its content security policy forbids it to.
#ifndef DOVREL_EXPORT_HTML_H_
#define DOVREL_EXPORT_HTML_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text_store.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// The figures the page opens with.
struct LibrarySummary {
  std::size_t tracks = 0;
  std::size_t playlists = 0;  // not folders
  std::size_t folders = 0;
  std::uint64_t total_duration = 0;  // seconds
  // Audio paths that more than one track names, with how many name each,
  // in the order of their first track.
  std::vector<std::pair<std::string, std::size_t>> duplicate_audio_paths;
  std::size_t tracks_without_artwork = 0;  // artwork path ""
};

// What the page needs of a track beyond its row: for the summary, the
// playlists and the thumbnails. Its texts are views (of the track's
// record, or of the library's names and a TextStore) that outlive it.
struct TrackFacts {
  std::uint32_t id = 0;
  std::uint16_t duration = 0;
  std::string_view audio_path;
  std::string_view artwork_path;
};

// The facts of `track`, viewing its texts.
TrackFacts facts_of(const vantrel_pdb::TrackInfo& track);

LibrarySummary summarize(std::span<const TrackFacts> tracks, std::span<const vantrel_pdb::PlaylistInfo> playlists);
LibrarySummary summarize(std::span<const vantrel_pdb::TrackInfo> tracks,
                         std::span<const vantrel_pdb::PlaylistInfo> playlists);

// Appends the rows of the data block's "tracks" for `tracks` (html_data),
// separated by commas, with a comma before the first when `after_others`.
void append_track_rows(std::string& out, std::span<const vantrel_pdb::TrackInfo> tracks, bool after_others);

// Appends the row of the data block's "tracks" for `track` as
// append_track_rows does for its record (without a comma), read where its
// row lies; `scratch` holds each text of the row while it is written.
// Fails as TrackView::append_text fails, `out` then holding part of the
// row.
std::expected<void, vantrel_pdb::PdbError> append_track_row(std::string& out, const vantrel_pdb::TrackView& track,
                                                            std::string& scratch);

// Sets `facts` to the facts of `track`, read where its row lies (as
// facts_of gives them for its record): the audio path decoded into
// `scratch` and kept in `store`, the artwork path a view of the library's
// name. Fails as append_track_row fails for the same row.
std::expected<void, vantrel_pdb::PdbError> read_track_facts(const vantrel_pdb::TrackView& track, TrackFacts& facts,
                                                            TextStore& store, std::string& scratch);

// An artwork image as a data: URI: "data:MIME;base64,...".
// Looked up by a view of the path, without a string made for it.
struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};
using ArtworkUris = std::unordered_map<std::string, std::string, PathHash, std::equal_to<>>;

// The data: URI of an image file's bytes, or "" when they are not a JPEG,
// PNG, GIF, WebP or BMP image (told by their first bytes, not by a name).
std::string image_data_uri(std::span<const std::uint8_t> bytes);

// Appends `text` as a JSON string that can stand inside an HTML script
// element: JSON's escapes, and "<" as \u003c (so that no text can end the
// element or open a comment in it), U+2028 and U+2029 as \u2028 and
// \u2029.
void append_script_json_string(std::string& out, std::string_view text);

// The page. `artwork` holds the thumbnails by artwork path (those found
// under the export's root); `artwork_looked_up` says whether a root was
// given, for the summary's count of thumbnails shown.
std::string html_page(std::span<const vantrel_pdb::TrackInfo> tracks,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up);

// The tracks whose rows the page holds twice: once in a small block that
// its script draws at once, before the browser has read the rest.
inline constexpr std::size_t kFirstRows = 100;

// As html_page, from the rows that append_track_rows wrote for the tracks
// whose facts are `facts` (in table order), and those of the first
// kFirstRows of them (or of all, when there are fewer).
std::string html_page(std::string_view track_rows, std::string_view first_rows, std::span<const TrackFacts> facts,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up);

// That page in the three parts it is written in, so that the rows (most of
// its bytes) are never copied into one string with the rest: the head
// (everything before the track rows), the rows, the tail.
std::string html_page_head(std::string_view first_rows, std::span<const TrackFacts> facts,
                           std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                           bool artwork_looked_up);
std::string html_page_tail();

// The JSON block the page's script reads (html_page embeds it):
//   {"art":{PATH:URI,...},
//    "playlists":[[ID,NAME,IS_FOLDER(0|1),DEPTH,[TRACK,...]],...],   tree order; TRACK: a position in "tracks"
//    "summary":{"artworkShown":N (with a root),"duplicateAudioPaths":[[PATH,COUNT],...],"folders":N,
//               "playlists":N,"totalDuration":SECONDS,"tracks":N,"tracksWithoutArtwork":N},
//    "tracks":[[ID,TITLE,ARTIST,ALBUM,GENRE,KEY,LABEL,BPM,DURATION,RATING,BITRATE,SAMPLE_RATE,
//               SAMPLE_DEPTH,FILE_SIZE,FILE_TYPE,COMMENT,AUDIO_PATH,ANALYSIS_PATH,ARTWORK_PATH],...]}
std::string html_data(std::span<const vantrel_pdb::TrackInfo> tracks,
                      std::span<const vantrel_pdb::PlaylistInfo> playlists, const ArtworkUris& artwork,
                      bool artwork_looked_up);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_HTML_H_
