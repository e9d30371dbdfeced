// Catalog: what a program asks of a decoded database beyond its rows: the
// name behind each id a track refers to, and the tracks of each playlist in
// playing order.
//
// Lookups follow the reader's rule: the first row in table order whose id
// matches wins, and an id that no row has gives "". A playlist's tracks are
// its entries ordered by entry index; entries with equal indices keep their
// table order.
#ifndef VANTREL_PDB_CATALOG_H_
#define VANTREL_PDB_CATALOG_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vantrel_pdb/api.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/track_view.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

// Id -> name over one table of id-and-name rows, the first row of an id
// winning. The views point into the rows, which must outlive the index.
class NameIndex {
 public:
  NameIndex() = default;
  template <class Rows>
  explicit NameIndex(const Rows& rows);

  // The name of the first row with `id`, or "" when no row has it.
  std::string_view operator[](std::uint32_t id) const {
    if (!by_id_.empty()) return id < by_id_.size() && by_id_[id] ? std::string_view(*by_id_[id]) : std::string_view();
    auto it = names_.find(id);
    return it == names_.end() ? std::string_view() : it->second;
  }

 private:
  // Ids handed out by an editor run from 1 with few gaps: while the largest
  // id is at most this many times the row count plus the slack, the names
  // sit in a table indexed by id (one memory access per lookup); scattered
  // ids go to a hash map.
  static constexpr std::uint64_t kDenseFactor = 4;
  static constexpr std::uint64_t kDenseSlack = 1024;

  std::vector<const std::string*> by_id_;  // dense form: the first name of each id, or null
  std::unordered_map<std::uint32_t, std::string_view> names_;
};

template <class Rows>
NameIndex::NameIndex(const Rows& rows) {
  std::uint64_t largest = 0;
  for (const auto& row : rows) largest = largest < row.id ? row.id : largest;
  if (largest <= kDenseSlack + kDenseFactor * rows.size()) {
    by_id_.assign(largest + 1, nullptr);
    for (const auto& row : rows) {
      if (!by_id_[row.id]) by_id_[row.id] = &row.name;
    }
    return;
  }
  names_.reserve(rows.size());
  for (const auto& row : rows) names_.try_emplace(row.id, row.name);
}

class Catalog {
 public:
  // Indexes `database`, which must outlive the catalog and not change.
  // Time and memory are linear in the database (plus sorting each
  // playlist's entries when they are out of order).
  explicit Catalog(const Database& database);

  std::string_view artist(const Track& track) const { return artists_[track.artist_id]; }
  std::string_view album(const Track& track) const { return albums_[track.album_id]; }
  std::string_view genre(const Track& track) const { return genres_[track.genre_id]; }
  std::string_view key(const Track& track) const { return keys_[track.key_id]; }
  std::string_view label(const Track& track) const { return labels_[track.label_id]; }
  std::string_view artwork_path(const Track& track) const { return artwork_[track.artwork_id]; }
  // The same, for a track read where its row lies.
  std::string_view artist(const TrackView& track) const { return artists_[track.artist_id()]; }
  std::string_view album(const TrackView& track) const { return albums_[track.album_id()]; }
  std::string_view genre(const TrackView& track) const { return genres_[track.genre_id()]; }
  std::string_view key(const TrackView& track) const { return keys_[track.key_id()]; }
  std::string_view label(const TrackView& track) const { return labels_[track.label_id()]; }
  std::string_view artwork_path(const TrackView& track) const { return artwork_[track.artwork_id()]; }

  // The track ids of the playlist `playlist_id` in playing order; empty for
  // an id that is not in the tree (and for a folder, which has no entries).
  // With two nodes of one id, both name the same entries.
  std::span<const std::uint32_t> playlist_tracks(std::uint32_t playlist_id) const;

 private:
  NameIndex artists_, albums_, genres_, keys_, labels_, artwork_;
  std::unordered_map<std::uint32_t, std::size_t> group_of_;  // playlist id -> group
  std::vector<std::size_t> starts_;                          // group g is track_ids_[starts_[g], starts_[g + 1])
  std::vector<std::uint32_t> track_ids_;
};

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_CATALOG_H_
