// What a TrackTable holds: a copy of one state of a library.
#ifndef VANTREL_PDB_TRACK_TABLE_STATE_H_
#define VANTREL_PDB_TRACK_TABLE_STATE_H_

#include <cstdint>
#include <vector>

#include "read/catalog.h"
#include "read/database.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/reading.h"

namespace vantrel_pdb {

// The image, the tables a track's names come from, the track rows'
// locations, and the catalog over them. Built in place and never moved: the
// catalog points into `names`.
struct TrackTableState {
  // Copies `image` and, of `decoding` (a decoding of it), the name tables
  // and the track rows' locations.
  TrackTableState(Bytes image, const Database& decoding);
  TrackTableState(const TrackTableState&) = delete;
  TrackTableState& operator=(const TrackTableState&) = delete;

  std::vector<std::uint8_t> image;
  Database names;
  std::vector<std::uint64_t> locations;
  Catalog catalog;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_TRACK_TABLE_STATE_H_
