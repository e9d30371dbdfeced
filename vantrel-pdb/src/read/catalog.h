// Catalog: what a program asks of a decoded database beyond its rows: the
// name behind each id a track refers to, and the tracks of each playlist in
// playing order.
//
// Lookups follow the reader's rule: the first row in table order whose id
// matches wins, and an id that no row has gives "". A playlist's tracks are
// its entries ordered by entry index; entries with equal indices keep their
// table order.
#ifndef VANTREL_PDB_READ_CATALOG_H_
#define VANTREL_PDB_READ_CATALOG_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "read/database.h"
#include "util/id_map.h"

namespace vantrel_pdb {

class Catalog {
 public:
  // Indexes `database`, which must outlive the catalog and not change.
  // Time and memory are linear in the database (plus sorting each
  // playlist's entries when they are out of order).
  explicit Catalog(const Database& database);

  // The name behind each id a track names.
  std::string_view artist(std::uint32_t id) const { return name(artists_, id); }
  std::string_view album(std::uint32_t id) const { return name(albums_, id); }
  std::string_view genre(std::uint32_t id) const { return name(genres_, id); }
  std::string_view key(std::uint32_t id) const { return name(keys_, id); }
  std::string_view label(std::uint32_t id) const { return name(labels_, id); }
  std::string_view artwork_path(std::uint32_t id) const { return name(artwork_, id); }

  // The track ids of the playlist `playlist_id` in playing order; empty for
  // an id that is not in the tree (and for a folder, which has no entries).
  // With two nodes of one id, both name the same entries.
  std::span<const std::uint32_t> playlist_tracks(std::uint32_t playlist_id) const;

 private:
  // Id -> the first name of a row with that id; the names live in the
  // database's rows. A view, not a pointer to the row's string: a report
  // looks up six names per track, and each lookup then reaches the text
  // itself with one memory access fewer.
  using NameIndex = IdMap<std::string_view>;
  template <class Rows>
  static NameIndex index_names(const Rows& rows);
  // Fills group_of_, starts_ and track_ids_.
  void index_playlists(const Database& database);
  static std::string_view name(const NameIndex& names, std::uint32_t id) {
    const std::string_view* found = names.find(id);
    return found ? *found : std::string_view();
  }

  NameIndex artists_, albums_, genres_, keys_, labels_, artwork_;
  IdMap<std::uint32_t> group_of_;    // playlist id -> group
  std::vector<std::size_t> starts_;  // group g is track_ids_[starts_[g], starts_[g + 1])
  std::vector<std::uint32_t> track_ids_;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_CATALOG_H_
