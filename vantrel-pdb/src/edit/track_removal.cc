#include "edit/track_removal.h"

#include "edit/keep_only.h"
#include "edit/row_space.h"
#include "format/coding.h"
#include "format/format.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "util/id_map.h"

namespace vantrel_pdb {

namespace kind = table_kind;

std::expected<void, PdbError> remove_tracks(std::vector<std::uint8_t>& image, const Database& db,
                                            std::span<const std::uint32_t> ids, UndoLog& undo) {
  const auto track_rows = db.row_locations(kind::tracks);
  auto track_ids = u32_fields(image, track_rows, track_row::kIdOffset);
  if (!track_ids) return std::unexpected(track_ids.error());
  auto artwork_ids = u32_fields(image, track_rows, track_row::kArtworkIdOffset);
  if (!artwork_ids) return std::unexpected(artwork_ids.error());
  const IdSet present = id_set_of(*track_ids);
  for (std::uint32_t id : ids) {
    if (!present.contains(id)) return std::unexpected(PdbError(pdb_error::TrackNotFound{id}));
  }
  const IdSet removed = id_set_of(ids);

  std::vector<std::uint64_t> absent;
  IdSet shown_by_removed, shown_by_kept;
  for (std::size_t i = 0; i < track_rows.size(); ++i) {
    if (removed.contains((*track_ids)[i])) {
      absent.push_back(track_rows[i]);
      shown_by_removed.emplace((*artwork_ids)[i]);
    } else {
      shown_by_kept.emplace((*artwork_ids)[i]);
    }
  }
  const struct {
    std::uint32_t kind;
    std::uint64_t offset;
  } naming[] = {{kind::playlist_entries, entry_row::kTrackIdOffset},
                {kind::history_entries, entry_row::kTrackIdOffset}};
  for (const auto& table : naming) {
    const auto rows = db.row_locations(table.kind);
    auto tracks = u32_fields(image, rows, table.offset);
    if (!tracks) return std::unexpected(tracks.error());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (removed.contains((*tracks)[i])) absent.push_back(rows[i]);
    }
  }
  const auto art_rows = db.row_locations(kind::artwork);
  auto art_ids = u32_fields(image, art_rows, id_name_row::kIdOffset);
  if (!art_ids) return std::unexpected(art_ids.error());
  for (std::size_t i = 0; i < art_rows.size(); ++i) {
    const std::uint32_t id = (*art_ids)[i];
    if (id != 0 && shown_by_removed.contains(id) && !shown_by_kept.contains(id)) absent.push_back(art_rows[i]);
  }
  return mark_rows_absent(image, db.page_size, absent, undo);
}

}  // namespace vantrel_pdb
