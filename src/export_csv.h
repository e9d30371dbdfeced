// "export" as "csv": the tracks, and the playlists beside them, as RFC 4180
// files (UTF-8 without a byte order mark, CRLF after every record, the
// header first; a field holding a comma, a double quote, CR or LF is
// quoted, its quotes doubled; other fields are written as they are).
#ifndef DOVREL_EXPORT_CSV_H_
#define DOVREL_EXPORT_CSV_H_

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "vantrel_pdb/library.h"

namespace dovrel {

// The columns of the tracks file, in order: id, title, artist, album,
// genre, key, label, bpm (the stored tempo / 100, as the report writes it),
// duration (seconds), rating, bitrate, sampleRate, sampleDepth, fileSize,
// fileType (file_type_name), comment, audioPath, analysisPath,
// artworkPath. One record per track, in table order.
std::string tracks_csv(std::span<const vantrel_pdb::TrackInfo> tracks);

// The parts of tracks_csv: the header record, and the records of some
// tracks appended to `out`.
std::string tracks_csv_header();
void append_track_records(std::string& out, std::span<const vantrel_pdb::TrackInfo> tracks);
// The record of `track` appended to `out`, read where its row lies;
// `scratch` holds each text of the row while it is written. Fails as
// TrackView::append_text fails, `out` then holding part of the record.
std::expected<void, vantrel_pdb::PdbError> append_track_record(std::string& out, const vantrel_pdb::TrackView& track,
                                                               std::string& scratch);

// The columns of the playlists file: playlistId, parentId, isFolder
// ("true" or "false"), path (the names of the folders above it and its own,
// joined by " / "), name, trackCount and tracks (the track ids in playing
// order, separated by single spaces; "" for none). One record per playlist
// and per folder, in tree order (tree_order).
std::string playlists_csv(std::span<const vantrel_pdb::PlaylistInfo> playlists);

// The path of the playlists file beside the tracks file `output`:
// "library.csv" gives "library-playlists.csv" (any case of ".csv"), a
// name without that extension gets "-playlists.csv" appended.
std::string playlists_csv_path(std::string_view output);

// Appends `field` to `out` as RFC 4180 says.
void append_csv_field(std::string& out, std::string_view field);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_CSV_H_
