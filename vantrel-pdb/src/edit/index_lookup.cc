#include "edit/index_lookup.h"

#include <algorithm>
#include <utility>

#include "format/directory.h"
#include "format/format.h"
#include "format/page_chain.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "read/track_check.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// The kinds the reader decodes into records; rows of other kinds are only
// listed, never read.
constexpr std::array<std::uint32_t, 13> kDecodedKinds = {
    table_kind::tracks,           table_kind::genres,  table_kind::artists,     table_kind::albums,
    table_kind::labels,           table_kind::keys,    table_kind::colors,      table_kind::playlist_tree,
    table_kind::playlist_entries, table_kind::artwork, table_kind::kind16_rows, table_kind::history_playlists,
    table_kind::history_entries};

bool is_decoded_kind(std::uint32_t kind) {
  return std::find(kDecodedKinds.begin(), kDecodedKinds.end(), kind) != kDecodedKinds.end();
}

bool has_id_index(std::uint32_t kind) { return kind <= table_kind::keys || kind == table_kind::playlist_tree; }

bool has_name_index(std::uint32_t kind) { return kind >= table_kind::genres && kind <= table_kind::keys; }

template <class Record>
bool decodes(Bytes view, std::uint64_t location) {
  return Record::parse(view, location).has_value();
}

// Decodes the row at `location` as the reader decodes rows of `kind`, only
// to learn whether it decodes within `view`.
bool decodes_as(std::uint32_t kind, Bytes view, std::uint64_t location) {
  switch (kind) {
    case table_kind::tracks: return check_track_row(view, location).has_value();
    case table_kind::genres: return decodes<Genre>(view, location);
    case table_kind::artists: return decodes<Artist>(view, location);
    case table_kind::albums: return decodes<Album>(view, location);
    case table_kind::labels: return decodes<Label>(view, location);
    case table_kind::keys: return decodes<Key>(view, location);
    case table_kind::colors: return decodes<Color>(view, location);
    case table_kind::playlist_tree: return decodes<PlaylistTreeNode>(view, location);
    case table_kind::playlist_entries: return decodes<PlaylistEntry>(view, location);
    case table_kind::artwork: return decodes<Artwork>(view, location);
    case table_kind::kind16_rows: return decodes<Kind16Row>(view, location);
    case table_kind::history_playlists: return decodes<HistoryPlaylist>(view, location);
    case table_kind::history_entries: return decodes<HistoryEntry>(view, location);
    default: return true;
  }
}

// The image up to the end of the used heap of page `page`, which holds
// `location` (never past the page's end), or nullopt when `location` is not
// in that heap or the page is not a data page.
std::optional<Bytes> heap_view(Bytes image, std::uint64_t page_size, std::uint64_t page, std::uint64_t location) {
  const std::uint64_t start = page * page_size;
  if (!in_bounds(image, start, page_size) || location < start + f::kPageHeaderSize) return std::nullopt;
  if (image[start + f::kPageFlagsOffset] & f::kPageFlagNoRows) return std::nullopt;
  const std::uint64_t used = decode_fixed16(image.data() + start + f::kUsedSizeOffset);
  return image.first(start + std::min<std::uint64_t>(f::kPageHeaderSize + used, page_size));
}

}  // namespace

std::expected<void, PdbError> IndexedLookup::ensure_loaded(Bytes image) {
  if (stale_) load(image);
  if (error_) return std::unexpected(*error_);
  return {};
}

void IndexedLookup::load(Bytes image) {
  stale_ = false;
  incremental_ = false;
  error_.reset();
  serial_error_.reset();
  placements_.fill(std::nullopt);
  last_pages_.clear();
  chain_pages_.clear();
  largest_ids_ = {};
  for (NameTable& names : names_) names.clear();
  largest_sort_orders_.clear();
  largest_entry_indices_.clear();
  first_nodes_.clear();
  largest_track_serial_.reset();

  auto db = Database::from_bytes(image);
  if (!db) {
    error_ = db.error();
    fell_back_ = true;
    return;
  }
  page_size_ = db->page_size;
  for (const Track& t : db->tracks) note_id(table_kind::tracks, t.id);
  for (const Genre& g : db->genres) note_name(table_kind::genres, g.name, g.id);
  for (const Artist& a : db->artists) note_name(table_kind::artists, a.name, a.id);
  for (const Album& a : db->albums) note_name(table_kind::albums, a.name, a.id);
  for (const Label& l : db->labels) note_name(table_kind::labels, l.name, l.id);
  for (const Key& k : db->keys) note_name(table_kind::keys, k.name, k.id);
  for (const PlaylistTreeNode& n : db->playlist_tree) note_node(n.id, n.parent_id, n.sort_order, n.is_folder);
  for (const PlaylistEntry& e : db->playlist_entries) note_entry(e.playlist_id, e.entry_index);
  for (std::uint64_t location : db->row_locations(table_kind::tracks)) {
    auto serial = load_u32(image, location + track_row::kTrackSerialOffset);
    if (!serial) {
      // Cannot happen after Track::parse read the fixed part; kept exact.
      serial_error_ = serial.error();
      fell_back_ = true;
      return;
    }
    note_track_serial(*serial);
  }
  // Once the index has had to fall back it stays a decoding lookup for the
  // rest of the edit, instead of checking every row again after each append.
  incremental_ = !fell_back_ && check_sound(image, *db);
  fell_back_ = !incremental_;
}

bool IndexedLookup::check_sound(Bytes image, const Database& db) {
  const std::uint64_t page_size = db.page_size;
  if (page_size < f::kPageHeaderSize || f::entry_offset(db.tables.size()) > page_size) return false;
  chain_pages_.assign(image.size() / page_size, false);
  for (std::size_t i = 0; i < db.tables.size(); ++i) {
    const TableEntry& entry = db.tables[i];
    // Beyond the walk's own bounds: no chain passes page 0 or a page that
    // an earlier chain (or this one) already holds.
    f::PageChain chain(image, page_size, entry);
    while (chain.next()) {
      const std::uint32_t p = chain.index();
      if (p == 0 || chain_pages_[p]) return false;
      chain_pages_[p] = true;
    }
    if (!chain.status()) return false;
    last_pages_.push_back(entry.last_page);
    if (entry.kind >= table_kind::kFormatBound) continue;
    if (std::optional<Placement>& placement = placements_[entry.kind]) {
      placement->seen = false;
    } else {
      placement = Placement{i, true};
    }
  }
  // Every decoded row must read only the used heap of a data page of some
  // chain: the editor writes nowhere there.
  for (std::uint32_t kind : kDecodedKinds) {
    for (std::uint64_t location : db.row_locations(kind)) {
      const std::uint64_t page = location / page_size;
      auto view = heap_view(image, page_size, page, location);
      if (!view || !is_chain_page(page) || !decodes_as(kind, *view, location)) return false;
    }
  }
  return true;
}

void IndexedLookup::add_chain_page(std::uint64_t page) {
  if (page >= chain_pages_.size()) chain_pages_.resize(page + 1, false);
  chain_pages_[page] = true;
}

bool IndexedLookup::apply_append(Bytes image, std::uint32_t kind, std::uint64_t location) {
  if (kind >= table_kind::kFormatBound || !placements_[kind]) return false;
  const Placement* placement = &*placements_[kind];
  const std::size_t entry = placement->first_entry;
  const std::uint64_t page = location / page_size_;
  if (page != last_pages_[entry]) {
    // The row opened a page: a fresh one, now the last of the entry's chain
    // and linked from the old last page.
    const std::uint64_t entry_at = f::entry_offset(entry);
    auto old_next = load_u32(image, std::uint64_t{last_pages_[entry]} * page_size_ + f::kNextPageOffset);
    auto last = load_u32(image, entry_at + f::kEntryLastPageOffset);
    if (page == 0 || is_chain_page(page) || !old_next || *old_next != page || !last || *last != page) return false;
    add_chain_page(page);
    last_pages_[entry] = static_cast<std::uint32_t>(page);
  }
  auto view = heap_view(image, page_size_, page, location);
  if (!view) return false;
  if (!placement->seen) return true;
  return take_row(*view, kind, location);
}

bool IndexedLookup::take_row(Bytes view, std::uint32_t kind, std::uint64_t location) {
  switch (kind) {
    case table_kind::tracks: {
      // The index needs only the id and the serial; the texts are checked,
      // not built.
      if (!check_track_row(view, location)) return false;
      // Both inside the 136 fixed bytes that the check found in the view.
      note_id(kind, decode_fixed32(view.data() + location + track_row::kIdOffset));
      note_track_serial(decode_fixed32(view.data() + location + track_row::kTrackSerialOffset));
      return true;
    }
    case table_kind::genres: {
      auto r = Genre::parse(view, location);
      if (!r) return false;
      note_name(kind, r->name, r->id);
      return true;
    }
    case table_kind::labels: {
      auto r = Label::parse(view, location);
      if (!r) return false;
      note_name(kind, r->name, r->id);
      return true;
    }
    case table_kind::artists: {
      auto r = Artist::parse(view, location);
      if (!r) return false;
      note_name(kind, r->name, r->id);
      return true;
    }
    case table_kind::albums: {
      auto r = Album::parse(view, location);
      if (!r) return false;
      note_name(kind, r->name, r->id);
      return true;
    }
    case table_kind::keys: {
      auto r = Key::parse(view, location);
      if (!r) return false;
      note_name(kind, r->name, r->id);
      return true;
    }
    case table_kind::playlist_tree: {
      auto n = PlaylistTreeNode::parse(view, location);
      if (!n) return false;
      note_node(n->id, n->parent_id, n->sort_order, n->is_folder);
      return true;
    }
    case table_kind::playlist_entries: {
      auto e = PlaylistEntry::parse(view, location);
      if (!e) return false;
      note_entry(e->playlist_id, e->entry_index);
      return true;
    }
    default:
      // Decoded kinds without an index still have to decode, or the whole
      // image would fail to load.
      return is_decoded_kind(kind) ? decodes_as(kind, view, location) : true;
  }
}

void IndexedLookup::note_id(std::uint32_t kind, std::uint32_t id) {
  auto& largest = largest_ids_[kind];
  if (!largest || id > *largest) largest = id;
}

void IndexedLookup::note_name(std::uint32_t kind, std::string_view name, std::uint32_t id) {
  note_id(kind, id);
  names_[kind].insert(name, id);  // the first row with the name wins
}

void IndexedLookup::note_node(std::uint32_t id, std::uint32_t parent_id, std::uint32_t sort_order, bool is_folder) {
  note_id(table_kind::playlist_tree, id);
  auto [sort, fresh] = largest_sort_orders_.try_emplace(parent_id, sort_order);
  if (!fresh) sort->second = std::max(sort->second, sort_order);
  first_nodes_.try_emplace(id, TreeNodeInfo{is_folder});
}

void IndexedLookup::note_entry(std::uint32_t playlist_id, std::uint32_t entry_index) {
  auto [largest, fresh] = largest_entry_indices_.try_emplace(playlist_id, entry_index);
  if (!fresh) largest->second = std::max(largest->second, entry_index);
}

void IndexedLookup::note_track_serial(std::uint32_t serial) {
  if (!largest_track_serial_ || serial > *largest_track_serial_) largest_track_serial_ = serial;
}

EditorLookup::MaybeU32 IndexedLookup::largest_id(Bytes image, std::uint32_t kind) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  if (!has_id_index(kind)) return std::unexpected(unsupported_lookup_kind(kind));
  return largest_ids_[kind];
}

EditorLookup::MaybeU32 IndexedLookup::find_name(Bytes image, std::uint32_t kind, std::string_view name) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  if (!has_name_index(kind)) return std::unexpected(unsupported_lookup_kind(kind));
  return names_[kind].find(name);
}

EditorLookup::MaybeU32 IndexedLookup::largest_sort_order(Bytes image, std::uint32_t parent_id) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  auto found = largest_sort_orders_.find(parent_id);
  if (found == largest_sort_orders_.end()) return std::nullopt;
  return found->second;
}

EditorLookup::MaybeU32 IndexedLookup::largest_entry_index(Bytes image, std::uint32_t playlist_id) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  auto found = largest_entry_indices_.find(playlist_id);
  if (found == largest_entry_indices_.end()) return std::nullopt;
  return found->second;
}

std::expected<std::optional<TreeNodeInfo>, PdbError> IndexedLookup::find_node(Bytes image, std::uint32_t id) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  auto found = first_nodes_.find(id);
  if (found == first_nodes_.end()) return std::nullopt;
  return found->second;
}

EditorLookup::MaybeU32 IndexedLookup::largest_track_serial(Bytes image) {
  if (auto ok = ensure_loaded(image); !ok) return std::unexpected(ok.error());
  if (serial_error_) return std::unexpected(*serial_error_);
  return largest_track_serial_;
}

void IndexedLookup::on_row_appended(Bytes image, std::uint32_t kind, std::uint64_t location) {
  if (stale_) return;  // the next question decodes anyway
  if (incremental_ && apply_append(image, kind, location)) return;
  stale_ = true;
  fell_back_ = true;
}

std::unique_ptr<EditorLookup> make_indexed_lookup() { return std::make_unique<IndexedLookup>(); }

}  // namespace vantrel_pdb
