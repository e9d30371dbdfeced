#include "edit/keep_only.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_writer.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "util/id_map.h"
#include "util/prefetch.h"

namespace vantrel_pdb {

namespace {

namespace f = format;
namespace kind = table_kind;

// The row locations to mark absent, sorted once all are known; each data
// page then looks up only the locations its slots can name.
class LocationSet {
 public:
  void insert(std::uint64_t location) { locations_.push_back(location); }
  // Makes room for `n` locations at once.
  void reserve(std::size_t n) { locations_.reserve(n); }
  void seal() {
    // Rows are added table by table in table order, so the list is a few
    // ascending runs (one per table, more where a table's pages come back
    // after a wrap): those are merged in linear time; anything else sorted.
    constexpr std::size_t kMergedRuns = 16;
    std::vector<std::size_t> run_ends;
    for (std::size_t i = 1; i < locations_.size() && run_ends.size() < kMergedRuns; ++i) {
      if (locations_[i] < locations_[i - 1]) run_ends.push_back(i);
    }
    if (run_ends.size() >= kMergedRuns) {
      std::sort(locations_.begin(), locations_.end());
      return;
    }
    run_ends.push_back(locations_.size());
    for (std::size_t r = 0; r + 1 < run_ends.size(); ++r) {
      std::inplace_merge(locations_.begin(), locations_.begin() + static_cast<std::ptrdiff_t>(run_ends[r]),
                         locations_.begin() + static_cast<std::ptrdiff_t>(run_ends[r + 1]));
    }
  }
  bool empty() const { return locations_.empty(); }
  std::size_t size() const { return locations_.size(); }
  // The sealed locations from `first` up to, not including, `last`.
  std::span<const std::uint64_t> range(std::uint64_t first, std::uint64_t last) const {
    auto lo = std::lower_bound(locations_.begin(), locations_.end(), first);
    auto hi = std::lower_bound(lo, locations_.end(), last);
    return {lo, hi};
  }

 private:
  std::vector<std::uint64_t> locations_;
};

// How many pages ahead of the one marked its two ends are fetched, and how
// much of its end: the row index of a page of a few dozen rows.
constexpr std::uint64_t kPagesAhead = 2;
constexpr std::uint64_t kRowIndexTailBytes = 128;

// How many rows ahead of the one read u32_fields fetches.
constexpr std::size_t kRowsAhead = 16;

// Candidates stepped over, one by one, before the rest is searched.
constexpr int kStepsBeforeSearch = 8;

// Clears the present bit of every slot whose row location is in `removed`
// (sealed) and rewrites every data page's packed counts from its flags.
std::expected<void, PdbError> mark_absent_and_recount(std::vector<std::uint8_t>& image, std::uint64_t page_size,
                                                      const LocationSet& removed, UndoLog* undo) {
  if (page_size < f::kPageHeaderSize)
    return std::unexpected(errors::damaged("page size " + std::to_string(page_size) + " is too small"));
  const std::uint64_t page_count = image.size() / page_size;
  // A record for each removed row's flags and for each page's counts.
  if (undo) undo->reserve(removed.size() + page_count);
  for (std::uint64_t p = 1; p < page_count; ++p) {
    // A page's header and its row index, at its two ends, are what is read
    // and written here: those of a page ahead are fetched meanwhile.
    if (p + kPagesAhead < page_count) {
      const std::uint64_t ahead = (p + kPagesAhead) * page_size;
      prefetch_bytes(image, ahead, f::kPageHeaderSize);
      prefetch_bytes(image, ahead + page_size - kRowIndexTailBytes, kRowIndexTailBytes);
    }
    const MutableBytes page = MutableBytes(image).subspan(p * page_size, page_size);
    if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) continue;
    const std::uint32_t n = f::slot_count(page);
    // Every slot's offset word must lie at or above the end of the header.
    if (!f::row_index_in_page(page_size, n)) return std::unexpected(errors::invalid(kInvalidRowDirectory));
    // A slot names a location from the heap start up to a u16 offset past it.
    const std::uint64_t heap = p * page_size + f::kPageHeaderSize;
    const auto candidates = removed.range(heap, heap + std::numeric_limits<std::uint16_t>::max() + 1);
    if (!candidates.empty()) {
      // Slots usually name their rows in ascending order: while they do,
      // the first candidate not below a slot's row is looked for a few
      // steps on from the last slot's, then searched for (so that slots
      // out of order cost a search each, never a walk).
      auto next = candidates.begin();
      std::uint64_t previous = 0;
      for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint64_t location = heap + f::slot_row_offset(page, s);
        if (location < previous) next = candidates.begin();
        previous = location;
        for (int step = 0; step < kStepsBeforeSearch && next != candidates.end() && *next < location; ++step) ++next;
        if (next != candidates.end() && *next < location) next = std::lower_bound(next, candidates.end(), location);
        if (next == candidates.end() || *next != location) continue;
        if (undo) {
          const std::uint64_t group_end = f::group_end(page_size, s / f::kSlotsPerGroup);
          undo->save(image, p * page_size + group_end - f::kPresentFlagsFromGroupEnd, 2);
        }
        f::clear_present(page, s);
      }
    }
    if (undo) undo->save(image, p * page_size + f::kPackedCountsOffset, 3);
    f::recount(page, n);
  }
  return {};
}

}  // namespace

std::expected<std::vector<std::uint32_t>, PdbError> u32_fields(Bytes image, std::span<const std::uint64_t> rows,
                                                               std::uint64_t offset) {
  std::vector<std::uint32_t> values;
  values.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint64_t row = rows[i];
    // Each row is a cache line of its own, and far from the cache: those
    // some way ahead are fetched meanwhile.
    if (i + kRowsAhead < rows.size()) prefetch_bytes(image, rows[i + kRowsAhead] + offset, sizeof(std::uint32_t));
    auto value = load_u32(image, row + offset);
    if (!value) return std::unexpected(value.error());
    values.push_back(*value);
  }
  return values;
}

std::expected<std::vector<std::uint32_t>, PdbError> row_ids(Bytes image, const Database& db, std::uint32_t kind) {
  std::uint64_t offset = 0;
  switch (kind) {
    case kind::tracks: offset = track_row::kIdOffset; break;
    case kind::playlist_tree: offset = playlist_tree_row::kIdOffset; break;
    case kind::artwork: offset = id_name_row::kIdOffset; break;
    case kind::history_playlists: offset = id_name_row::kIdOffset; break;
    default: return std::unexpected(errors::misuse("no id field is known for table kind " + std::to_string(kind)));
  }
  return u32_fields(image, db.row_locations(kind), offset);
}

std::expected<std::size_t, PdbError> set_tempo(std::vector<std::uint8_t>& image, const Database& db,
                                               std::uint32_t track_id, std::uint32_t tempo, UndoLog& undo) {
  const auto rows = db.row_locations(kind::tracks);
  auto ids = u32_fields(image, rows, track_row::kIdOffset);
  if (!ids) return std::unexpected(ids.error());
  std::size_t changed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if ((*ids)[i] != track_id) continue;
    undo.save(image, rows[i] + track_row::kTempoOffset, 4);
    encode_fixed32(image.data() + rows[i] + track_row::kTempoOffset, tempo);
    ++changed;
  }
  return changed;
}

std::expected<void, PdbError> keep_only(std::vector<std::uint8_t>& image, const Database& db,
                                        const std::optional<std::vector<std::uint32_t>>& keep_tracks,
                                        const std::optional<std::vector<std::uint32_t>>& keep_playlists,
                                        const TempoMap& tempos, UndoLog* undo) {
  // Each row passed its decoder, so its fixed fields lie inside the image;
  // they are read where the decoders read them, all before the first write.
  const auto track_rows = db.row_locations(kind::tracks);
  const auto tree_rows = db.row_locations(kind::playlist_tree);
  const auto entry_rows = db.row_locations(kind::playlist_entries);
  auto track_ids = u32_fields(image, track_rows, track_row::kIdOffset);
  if (!track_ids) return std::unexpected(track_ids.error());
  auto node_ids = u32_fields(image, tree_rows, playlist_tree_row::kIdOffset);
  if (!node_ids) return std::unexpected(node_ids.error());
  auto entry_playlists = u32_fields(image, entry_rows, entry_row::kPlaylistIdOffset);
  if (!entry_playlists) return std::unexpected(entry_playlists.error());
  auto entry_tracks = u32_fields(image, entry_rows, entry_row::kTrackIdOffset);
  if (!entry_tracks) return std::unexpected(entry_tracks.error());

  const IdSet kept_tracks = id_set_of(keep_tracks ? *keep_tracks : *track_ids);
  const IdSet kept_playlists = id_set_of(keep_playlists ? *keep_playlists : *node_ids);

  LocationSet removed;
  removed.reserve(track_rows.size() + tree_rows.size() + entry_rows.size() +
                  db.row_locations(kind::history_entries).size() + db.row_locations(kind::history_playlists).size());
  for (std::size_t i = 0; i < track_rows.size(); ++i) {
    const std::uint32_t id = (*track_ids)[i];
    if (!kept_tracks.contains(id)) {
      removed.insert(track_rows[i]);
      continue;
    }
    if (tempos.empty()) continue;
    if (auto tempo = tempos.find(id); tempo != tempos.end()) {
      if (undo) undo->save(image, track_rows[i] + track_row::kTempoOffset, 4);
      encode_fixed32(image.data() + track_rows[i] + track_row::kTempoOffset, tempo->second);
    }
  }
  for (std::size_t i = 0; i < tree_rows.size(); ++i) {
    if (!kept_playlists.contains((*node_ids)[i])) removed.insert(tree_rows[i]);
  }
  for (std::size_t i = 0; i < entry_rows.size(); ++i) {
    if (!kept_playlists.contains((*entry_playlists)[i]) || !kept_tracks.contains((*entry_tracks)[i])) {
      removed.insert(entry_rows[i]);
    }
  }
  // The history goes whenever the kept tracks are not exactly as many as the decoded ones.
  if (kept_tracks.size() != track_rows.size()) {
    for (std::uint64_t row : db.row_locations(kind::history_entries)) removed.insert(row);
    for (std::uint64_t row : db.row_locations(kind::history_playlists)) removed.insert(row);
  }

  removed.seal();
  return mark_absent_and_recount(image, db.page_size, removed, undo);
}

}  // namespace vantrel_pdb
