#include "edit/editor_lookup.h"

#include <algorithm>
#include <string>

#include "edit/index_lookup.h"
#include "format/errors.h"
#include "format/format.h"
#include "read/database.h"
#include "read/track.h"

namespace vantrel_pdb {

namespace {

// Largest value of `field` over the records of `list` that pass `keep`.
template <class List, class Field, class Keep>
std::optional<std::uint32_t> largest_of(const List& list, Field field, Keep keep) {
  std::optional<std::uint32_t> best;
  for (const auto& record : list) {
    if (!keep(record)) continue;
    std::uint32_t v = field(record);
    if (!best || v > *best) best = v;
  }
  return best;
}

template <class List>
std::optional<std::uint32_t> largest_id_of(const List& list) {
  return largest_of(
      list, [](const auto& r) -> std::uint32_t { return r.id; }, [](const auto&) { return true; });
}

template <class List>
std::optional<std::uint32_t> first_named(const List& list, std::string_view name) {
  for (const auto& record : list) {
    if (record.name == name) return record.id;
  }
  return std::nullopt;
}

class DecodingLookup final : public EditorLookup {
 public:
  MaybeU32 largest_id(Bytes image, std::uint32_t kind) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    const Database& d = **db;
    switch (kind) {
      case table_kind::tracks: return largest_id_of(d.tracks);
      case table_kind::genres: return largest_id_of(d.genres);
      case table_kind::artists: return largest_id_of(d.artists);
      case table_kind::albums: return largest_id_of(d.albums);
      case table_kind::labels: return largest_id_of(d.labels);
      case table_kind::keys: return largest_id_of(d.keys);
      case table_kind::playlist_tree: return largest_id_of(d.playlist_tree);
      default: return std::unexpected(unsupported_lookup_kind(kind));
    }
  }

  MaybeU32 find_name(Bytes image, std::uint32_t kind, std::string_view name) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    const Database& d = **db;
    switch (kind) {
      case table_kind::genres: return first_named(d.genres, name);
      case table_kind::artists: return first_named(d.artists, name);
      case table_kind::albums: return first_named(d.albums, name);
      case table_kind::labels: return first_named(d.labels, name);
      case table_kind::keys: return first_named(d.keys, name);
      default: return std::unexpected(unsupported_lookup_kind(kind));
    }
  }

  MaybeU32 largest_sort_order(Bytes image, std::uint32_t parent_id) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    return largest_of((*db)->playlist_tree, [](const PlaylistTreeNode& n) { return n.sort_order; },
                      [&](const PlaylistTreeNode& n) { return n.parent_id == parent_id; });
  }

  MaybeU32 largest_entry_index(Bytes image, std::uint32_t playlist_id) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    return largest_of((*db)->playlist_entries, [](const PlaylistEntry& e) { return e.entry_index; },
                      [&](const PlaylistEntry& e) { return e.playlist_id == playlist_id; });
  }

  std::expected<std::optional<TreeNodeInfo>, PdbError> find_node(Bytes image, std::uint32_t id) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    for (const PlaylistTreeNode& node : (*db)->playlist_tree) {
      if (node.id == id) return TreeNodeInfo{node.is_folder};
    }
    return std::nullopt;
  }

  MaybeU32 largest_track_serial(Bytes image) override {
    auto db = decoded(image);
    if (!db) return std::unexpected(db.error());
    std::optional<std::uint32_t> best;
    for (std::uint64_t location : (*db)->row_locations(table_kind::tracks)) {
      auto serial = load_u32(image, location + track_row::kTrackSerialOffset);
      if (!serial) return std::unexpected(serial.error());
      if (!best || *serial > *best) best = *serial;
    }
    return best;
  }

  void on_row_appended(Bytes, std::uint32_t, std::uint64_t) override { cache_.reset(); }

 private:
  // The decoding of `image`, made anew after every append. Between appends
  // the image changes only in ways the reader does not see, so one decoding
  // answers exactly as a fresh one would.
  std::expected<const Database*, PdbError> decoded(Bytes image) {
    if (!cache_) {
      auto db = Database::from_bytes(image);
      if (!db) return std::unexpected(db.error());
      cache_ = std::move(*db);
    }
    return &*cache_;
  }

  std::optional<Database> cache_;
};

}  // namespace

std::unique_ptr<EditorLookup> make_decoding_lookup() { return std::make_unique<DecodingLookup>(); }

std::unique_ptr<EditorLookup> make_default_lookup() { return make_indexed_lookup(); }

PdbError unsupported_lookup_kind(std::uint32_t kind) {
  return errors::misuse("the editor has no lookup for table kind " + std::to_string(kind));
}

std::expected<std::uint32_t, PdbError> next_number(std::optional<std::uint32_t> largest, std::string_view what) {
  if (!largest) return 1;
  if (*largest == UINT32_MAX) {
    return std::unexpected(PdbError(pdb_error::ValueOutOfRange{std::string(what), std::uint64_t{UINT32_MAX} + 1, 4}));
  }
  return *largest + 1;
}

}  // namespace vantrel_pdb
