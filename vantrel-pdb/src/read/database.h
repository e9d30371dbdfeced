// Database: the decoded snapshot of a whole page image, every table's rows
// and records, and the walk over
// one table's page chain.
#ifndef VANTREL_PDB_READ_DATABASE_H_
#define VANTREL_PDB_READ_DATABASE_H_

#include <cstdint>
#include <expected>
#include <span>
#include <unordered_map>
#include <vector>

#include "format/coding.h"
#include "format/format.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/reading.h"

namespace vantrel_pdb {

// What Database::from_bytes may spend on one image: its decoded text, its
// records and its row locations together stay within 8 bytes per image byte
// plus 1 MiB. Sound images need less than 5 (a page packed with the smallest
// rows; text decodes to at most 3 bytes per stored byte). Only an image that
// lists the same bytes again and again (slots sharing a row, strings sharing
// bytes, tables sharing pages) goes beyond, and its load fails with Damaged
// instead of taking memory out of all proportion to the file.
inline constexpr std::uint64_t kDecodeBytesPerImageByte = 8;
inline constexpr std::uint64_t kDecodeAllowance = std::uint64_t{1} << 20;
// Each page that a chain walk passes counts as this many bytes, so that
// walks of many tables over the same pages end too.
inline constexpr std::uint64_t kDecodeCostPerPageWalked = 64;

// The budget for an image of `image_size` bytes.
constexpr std::uint64_t decode_budget(std::uint64_t image_size) {
  return kDecodeBytesPerImageByte * image_size + kDecodeAllowance;
}

// Lists the live rows (absolute row locations) of the table that `entry`
// describes, in table order: pages in chain order from first_page to
// last_page, rows in slot order. Fails with Damaged when the page size is below
// 40, the chain leaves the image, or the walk passes more pages than the
// image holds without reaching last_page (a loop).
std::expected<std::vector<std::uint64_t>, PdbError> table_row_locations(Bytes image, std::uint32_t page_size,
                                                                        const TableEntry& entry);

// The row locations that Database::from_bytes(image)->row_locations(kind)
// lists, without decoding a single row: those of the table of the last
// directory entry of `kind`, in table order, or none when no entry has that
// kind. Reads the file header, the directory and that one table's chain and
// row indices. Fails with Damaged when they lie outside the image or the chain
// never reaches its last page. For callers that need where a table's rows
// are (to read or rewrite fields in place), not what they say.
std::expected<std::vector<std::uint64_t>, PdbError> row_locations_of_kind(Bytes image, std::uint32_t kind);

class Database {
 public:
  std::uint32_t page_size = 0;
  std::vector<TableEntry> tables;
  // For every directory entry, its live rows; a later entry of the same kind
  // replaces an earlier one.
  std::unordered_map<std::uint32_t, std::vector<std::uint64_t>> row_locations_by_kind;
  std::vector<Track> tracks;
  std::vector<Genre> genres;
  std::vector<Artist> artists;
  std::vector<Album> albums;
  std::vector<Label> labels;
  std::vector<Key> keys;
  std::vector<Color> colors;
  std::vector<PlaylistTreeNode> playlist_tree;
  std::vector<PlaylistEntry> playlist_entries;
  std::vector<Artwork> artwork;
  std::vector<Kind16Row> kind16_rows;
  std::vector<HistoryPlaylist> history_playlists;
  std::vector<HistoryEntry> history_entries;

  // Decodes the whole image. The image is only read; the Database keeps no
  // reference to it. Tables are decoded in the order 0, 1, 2, 3, 4, 5, 6, 7,
  // 8, 13, 16, 11, 12 and the first row error ends the load. A malformed
  // image (short header, a directory or chain outside the image, a row or
  // string past its end) fails with a PdbError; it is never read outside.
  // An image whose decoding would exceed decode_budget(image.size()) fails
  // with Damaged as soon as the budget runs out. An image of 1 MiB or more
  // is loaded by two threads at once where there are two cores (each
  // takes some of the tables), with the same records, errors and budget.
  //
  // With Decoding::kRowLocations every row is still decoded and checked as
  // above (the same errors in the same order, the same budget), but no
  // record is kept: the thirteen lists stay empty, while page_size, tables
  // and the row locations are filled as always. Track texts are then only
  // located, never built. For callers that must fail exactly as a full load
  // fails but need no more than where the rows are.
  //
  // With Decoding::kRecordsButTracks every table is decoded as with
  // kAllRecords but the tracks, which are checked as with kRowLocations (the same errors, the
  // same budget): `tracks` stays empty. The small tables that name what a
  // track refers to are there; the track rows themselves are read where
  // they lie (TrackView), which spares a large library its biggest records.
  static std::expected<Database, PdbError> from_bytes(Bytes image, Decoding decoding = Decoding::kAllRecords);

  // from_bytes as one thread loads it, whatever the image's size: what the
  // tests hold the load in two parts to.
  static std::expected<Database, PdbError> from_bytes_in_one_part_for_testing(
      Bytes image, Decoding decoding = Decoding::kAllRecords);

  // The row locations of the table of `kind`, in table order; empty when the
  // directory has no entry of that kind.
  std::span<const std::uint64_t> row_locations(std::uint32_t kind) const;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_DATABASE_H_
