// The salvage's reading side: every row of a damaged image that can still be
// decoded, with the page it came from. Where the reader fails on the first
// broken row, this takes each page on its own and each row on its own.
//
// Which pages: those of every table's chain as far as the chain holds (it
// stops at a link out of the file, a loop, or a page of another kind); a
// page where a chain stopped because its kind field disagrees, when no other
// chain claims it and it carries its own index; then every page that no
// chain reached but that still carries its own index and the kind of a
// decoded table. Chain pages keep chain order; the others follow by index.
//
// Which rows: the present slots as the reader lists them, each row and its
// strings inside the page, below the row index (the recorded heap size is
// not trusted). Rows that overlap one another, or whose strings overlap
// another row or string, are all left out: one of them is misplaced and
// there is no telling which, so none of their bytes is taken for data. Every
// other row is decoded by the reader's own parsers, text replaced where
// invalid as the reader does.
//
// On an image that check() passes without findings this yields exactly the
// rows Database::from_bytes yields, in the same order.
//
// Tracks are kept as where they lie, not as decoded records: a Track holds
// 21 strings, and a library's worth of them weighs more than the image and
// the new library together.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_RECOVER_H_
#define VANTREL_PDB_READ_RECOVER_H_

#include <cstdint>
#include <expected>
#include <map>
#include <vector>

#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb::recovery {

// A decoded row and where it was (its page is location / page size). Held
// for every row until the new library is made: 200,000 playlist entries
// take 4.8 MB as they are.
template <class Record>
struct Recovered {
  Record record;
  std::uint64_t location = 0;  // the row's absolute position in the image
};

// A track row that decodes, by where it lies in the image (which must
// outlive it).
struct TrackRow {
  Bytes region;                  // its page below the row index
  std::uint64_t row = 0;         // its offset in `region`
  std::uint64_t text_bytes = 0;  // its title, comment, analysis path and twice its audio path, decoded

  // The record, parsed again from the same bytes by the same parser: what
  // the first reading found.
  std::expected<Track, PdbError> decode() const { return Track::parse(region, row); }
};

struct RecoveredRows {
  std::vector<Recovered<TrackRow>> tracks;
  std::vector<Recovered<Genre>> genres;
  std::vector<Recovered<Artist>> artists;
  std::vector<Recovered<Album>> albums;
  std::vector<Recovered<Label>> labels;
  std::vector<Recovered<Key>> keys;
  std::vector<Recovered<Color>> colors;
  std::vector<Recovered<PlaylistTreeNode>> playlist_tree;
  std::vector<Recovered<PlaylistEntry>> playlist_entries;
  std::vector<Recovered<HistoryPlaylist>> history_playlists;
  std::vector<Recovered<HistoryEntry>> history_entries;
  std::vector<Recovered<Artwork>> artwork;
  std::vector<Recovered<Kind16Row>> kind16_rows;
  // Present slots of each decoded table's pages whose rows could not be
  // taken, by table kind.
  std::map<std::uint32_t, std::uint64_t> unreadable;
  // The pages read, by table kind, in the order read.
  std::map<std::uint32_t, std::vector<std::uint32_t>> pages;
};

// Reads what it can of `image` (any bytes; whole 4096-byte pages). Never
// fails and never reads outside the image; time is linear in it.
RecoveredRows recover_rows(Bytes image);

}  // namespace vantrel_pdb::recovery

#endif  // VANTREL_PDB_READ_RECOVER_H_
