// What a TrackTable holds, and the reading of one track's record from its
// row, which Library::tracks() and TrackTable share.
#ifndef VANTREL_PDB_TRACK_TABLE_STATE_H_
#define VANTREL_PDB_TRACK_TABLE_STATE_H_

#include <cstdint>
#include <expected>
#include <vector>

#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/catalog.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

// Which parts of a record read_track_info fills.
enum class TrackFields { kAll, kNumbers };

// The record of the track row at `location` of `image` (a row the decoding
// behind `catalog` has checked), its names looked up in `catalog`. With
// kNumbers every text stays "". Fails as the row's texts fail to decode.
std::expected<TrackInfo, PdbError> read_track_info(Bytes image, std::uint64_t location, const Catalog& catalog,
                                                   TrackFields fields);

// The text `field` of that row.
std::expected<std::string, PdbError> read_track_text(Bytes image, std::uint64_t location, const Catalog& catalog,
                                                     TrackText field);

// A copy of one state of a library: its image, the tables a track's names
// come from, the track rows' locations, and the catalog over them. Built in
// place and never moved: the catalog points into `names`.
struct TrackTable::State {
  // Copies `image` and, of `decoding` (a decoding of it), the name tables
  // and the track rows' locations.
  State(Bytes image, const Database& decoding);
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  std::vector<std::uint8_t> image;
  Database names;
  std::vector<std::uint64_t> locations;
  Catalog catalog;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_TRACK_TABLE_STATE_H_
