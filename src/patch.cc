#include "patch.h"

#include <cstdint>
#include <unordered_set>

#include "validate.h"
#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/track.h"

namespace dovrel {

namespace {

namespace f = vantrel_pdb::format;
namespace kind = vantrel_pdb::table_kind;
using IdSet = std::unordered_set<std::uint32_t>;
using LocationSet = std::unordered_set<std::uint64_t>;

// Clears the present bit of every slot whose row location is in `removed`
// and rewrites every data page's packed counts from its flags.
Result<void> mark_absent_and_recount(std::vector<std::uint8_t>& image, const LocationSet& removed) {
  const std::uint64_t page_size = f::kToolPageSize;
  const std::uint64_t page_count = image.size() / page_size;
  for (std::uint64_t p = 1; p < page_count; ++p) {
    std::uint8_t* page = image.data() + p * page_size;
    if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) continue;
    const std::uint32_t n = vantrel_pdb::decode_fixed24(page + f::kPackedCountsOffset) & f::kSlotCountMask;
    std::uint32_t present_count = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
      const std::uint64_t g = s / f::kSlotsPerGroup;
      const std::uint32_t l = s % f::kSlotsPerGroup;
      // The slot's offset word must lie at or above the end of the header.
      if (f::kRowGroupSize * g + f::kPageHeaderSize + f::kSlotOffsetsFromGroupEnd + 2 * l > page_size) {
        return fail("Invalid row directory");
      }
      std::uint8_t* end = page + f::group_end(page_size, g);
      std::uint16_t flags = vantrel_pdb::decode_fixed16(end - f::kPresentFlagsFromGroupEnd);
      const std::uint16_t offset = vantrel_pdb::decode_fixed16(end - f::kSlotOffsetsFromGroupEnd - 2 * l);
      const auto bit = static_cast<std::uint16_t>(1u << l);
      if (!removed.empty() && removed.contains(p * page_size + f::kPageHeaderSize + offset)) {
        flags = static_cast<std::uint16_t>(flags & ~bit);
        vantrel_pdb::encode_fixed16(end - f::kPresentFlagsFromGroupEnd, flags);
      }
      if (flags & bit) ++present_count;
    }
    vantrel_pdb::encode_fixed24(page + f::kPackedCountsOffset, n + (present_count << f::kPresentRowCountShift));
  }
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request) {
  if (auto ok = validate(image); !ok) return std::unexpected(ok.error());
  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) return std::unexpected(Error(db.error()));

  IdSet keep_tracks;
  if (request.keep_tracks) {
    keep_tracks.insert(request.keep_tracks->begin(), request.keep_tracks->end());
  } else {
    for (const auto& t : db->tracks) keep_tracks.insert(t.id);
  }
  IdSet keep_playlists;
  if (request.keep_playlists) {
    keep_playlists.insert(request.keep_playlists->begin(), request.keep_playlists->end());
  } else {
    for (const auto& node : db->playlist_tree) keep_playlists.insert(node.id);
  }

  LocationSet removed;
  auto track_rows = db->row_locations(kind::tracks);
  for (std::size_t i = 0; i < track_rows.size() && i < db->tracks.size(); ++i) {
    const std::uint32_t id = db->tracks[i].id;
    if (!keep_tracks.contains(id)) {
      removed.insert(track_rows[i]);
      continue;
    }
    if (request.tempos.empty()) continue;
    if (auto tempo = request.tempos.find(id); tempo != request.tempos.end()) {
      vantrel_pdb::encode_fixed32(image.data() + track_rows[i] + vantrel_pdb::track_row::kTempoOffset, tempo->second);
    }
  }
  auto tree_rows = db->row_locations(kind::playlist_tree);
  for (std::size_t i = 0; i < tree_rows.size() && i < db->playlist_tree.size(); ++i) {
    if (!keep_playlists.contains(db->playlist_tree[i].id)) removed.insert(tree_rows[i]);
  }
  auto entry_rows = db->row_locations(kind::playlist_entries);
  for (std::size_t i = 0; i < entry_rows.size() && i < db->playlist_entries.size(); ++i) {
    const auto& e = db->playlist_entries[i];
    if (!keep_playlists.contains(e.playlist_id) || !keep_tracks.contains(e.track_id)) removed.insert(entry_rows[i]);
  }
  // The history goes whenever the kept tracks are not exactly as many as the decoded ones.
  if (keep_tracks.size() != db->tracks.size()) {
    for (std::uint64_t row : db->row_locations(kind::history_entries)) removed.insert(row);
    for (std::uint64_t row : db->row_locations(kind::history_playlists)) removed.insert(row);
  }

  if (auto ok = mark_absent_and_recount(image, removed); !ok) return std::unexpected(ok.error());
  return image;
}

}  // namespace dovrel
