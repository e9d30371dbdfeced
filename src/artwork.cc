#include "artwork.h"

#include <algorithm>
#include <span>

#include "id_map.h"
#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/named_rows.h"
#include "vantrel_pdb/strings.h"
#include "vantrel_pdb/track.h"

namespace dovrel {

namespace f = vantrel_pdb::format;
using vantrel_pdb::decode_fixed16;
using vantrel_pdb::decode_fixed32;
using vantrel_pdb::encode_fixed16;
using vantrel_pdb::encode_fixed24;
using vantrel_pdb::encode_fixed32;

namespace {

constexpr std::uint64_t kPageSize = f::kToolPageSize;
// The artwork table's directory entry is addressed by position, not by kind.
constexpr std::uint64_t kArtworkEntryIndex = 13;
constexpr std::uint64_t kArtworkEntry = f::kDirectoryOffset + f::kTableEntrySize * kArtworkEntryIndex;

bool is_short_ascii(const std::string& path) {
  return path.size() <= vantrel_pdb::kMaxShortAsciiLength &&
         std::all_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Heap bytes of one artwork row: u32 id, short-string header, path; rounded to 4.
std::uint64_t row_allocation(std::size_t path_length) { return f::round_up4(vantrel_pdb::id_name_row::kNameOffset + 1 + path_length); }

// The tracks that get artwork, in request order.
Result<std::vector<const Track*>> select(const std::vector<Track>& tracks) {
  std::vector<const Track*> selected;
  for (const Track& t : tracks) {
    if (t.artwork_path.empty()) continue;
    // artwork_id 0 means "no artwork": an artwork row with id 0 would be
    // reported as the artwork of every track that has none.
    if (t.id == 0) return fail("Track with artwork must not have ID 0");
    selected.push_back(&t);
  }
  return selected;
}

// Writes the artwork ids and then the artwork rows of `selected`.
// `track_ids[i]` is the id of the track row at `track_rows[i]`; the first
// row with a selected track's id gets its artwork id.
Result<void> attach(std::vector<std::uint8_t>& image, const std::vector<const Track*>& selected,
                    std::span<const std::uint64_t> track_rows, std::span<const std::uint32_t> track_ids) {
  // Row indices fit a u32: each track row takes 136 bytes of an image in memory.
  IdMap first_track_with_id(IdMap::dense_bound_for(track_ids));
  for (std::size_t i = 0; i < track_ids.size(); ++i) {
    first_track_with_id.emplace(track_ids[i], static_cast<std::uint32_t>(i));
  }
  for (const Track* t : selected) {
    auto found = first_track_with_id.find(t->id);
    if (!found || *found >= track_rows.size()) return fail("Missing artwork track");
    std::uint64_t field = track_rows[*found] + vantrel_pdb::track_row::kArtworkIdOffset;
    if (!vantrel_pdb::in_bounds(image, field, 4)) return fail("Missing artwork track");
    encode_fixed32(image.data() + field, t->id);
  }

  if (!vantrel_pdb::in_bounds(image, kArtworkEntry, f::kTableEntrySize)) return fail("Artwork table is missing");
  std::uint32_t w = decode_fixed32(image.data() + kArtworkEntry + f::kEntryEmptyCandidateOffset);
  const std::uint32_t header_page = decode_fixed32(image.data() + kArtworkEntry + f::kEntryFirstPageOffset);
  if (!vantrel_pdb::in_bounds(image, header_page * kPageSize + f::kFirstDataPageOffset, 4)) {
    return fail("Artwork table is missing");
  }
  bool first_page = true;
  std::size_t next = 0;  // first waiting track
  while (next < selected.size()) {
    const std::uint64_t P = std::uint64_t{w} * kPageSize;
    if (image.size() < P + kPageSize) image.resize(P + kPageSize, 0);
    std::uint8_t* page = image.data() + P;
    encode_fixed32(page + f::kPageIndexOffset, w);
    encode_fixed32(page + f::kPageKindOffset, vantrel_pdb::table_kind::artwork);
    encode_fixed32(page + f::kPageSequenceOffset, 1);
    page[f::kPageFlagsOffset] = f::kDataPageFlags;

    std::uint64_t used = 0;
    std::uint32_t count = 0;
    for (; next < selected.size(); ++next) {
      const Track& t = *selected[next];
      if (!is_short_ascii(t.artwork_path)) return fail("Artwork path must be short ASCII");
      std::uint64_t alloc = row_allocation(t.artwork_path.size());
      if (f::kPageHeaderSize + used + alloc + f::row_index_size(count + 1) > kPageSize) break;  // page full

      std::uint8_t* row = page + f::kPageHeaderSize + used;
      encode_fixed32(row + vantrel_pdb::id_name_row::kIdOffset, t.id);
      row[vantrel_pdb::id_name_row::kNameOffset] = static_cast<std::uint8_t>(2 * t.artwork_path.size() + 3);
      std::copy(t.artwork_path.begin(), t.artwork_path.end(), row + vantrel_pdb::id_name_row::kNameOffset + 1);

      std::uint64_t group = count / f::kSlotsPerGroup;
      std::uint32_t l = count % f::kSlotsPerGroup;
      std::uint8_t* end = page + f::group_end(kPageSize, group);
      encode_fixed16(end - f::kSlotOffsetsFromGroupEnd - 2 * l, static_cast<std::uint16_t>(used));
      auto present = static_cast<std::uint16_t>(decode_fixed16(end - f::kPresentFlagsFromGroupEnd) | (1u << l));
      encode_fixed16(end - f::kPresentFlagsFromGroupEnd, present);
      encode_fixed16(end - f::kEditFlagsFromGroupEnd, present);
      used += alloc;
      ++count;
    }

    encode_fixed24(page + f::kPackedCountsOffset, count + (count << f::kPresentRowCountShift));
    encode_fixed16(page + f::kFreeSizeOffset,
                   static_cast<std::uint16_t>(kPageSize - f::kPageHeaderSize - used - f::row_index_size(count)));
    encode_fixed16(page + f::kUsedSizeOffset, static_cast<std::uint16_t>(used));
    encode_fixed16(page + f::kEditRowCountOffset, static_cast<std::uint16_t>(count));

    // Link: the next unused page becomes this page's successor and the table's empty_candidate.
    std::uint32_t u = decode_fixed32(image.data() + f::kNextUnusedPageOffset);
    encode_fixed32(page + f::kNextPageOffset, u);
    encode_fixed32(image.data() + f::kNextUnusedPageOffset, u + 1);
    encode_fixed32(image.data() + kArtworkEntry + f::kEntryEmptyCandidateOffset, u);
    encode_fixed32(image.data() + kArtworkEntry + f::kEntryLastPageOffset, w);
    if (first_page) {
      encode_fixed32(image.data() + std::uint64_t{header_page} * kPageSize + f::kFirstDataPageOffset, w);
      first_page = false;
    }
    w = u;
  }
  return {};
}

}  // namespace

Result<void> add_artwork(std::vector<std::uint8_t>& image, const std::vector<Track>& tracks) {
  auto selected = select(tracks);
  if (!selected) return std::unexpected(std::move(selected.error()));
  if (selected->empty()) return {};

  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) return std::unexpected(Error(db.error()));
  std::vector<std::uint32_t> ids;
  ids.reserve(db->tracks.size());
  for (const auto& t : db->tracks) ids.push_back(t.id);
  return attach(image, *selected, db->row_locations(vantrel_pdb::table_kind::tracks), ids);
}

Result<void> add_artwork(std::vector<std::uint8_t>& image, const std::vector<Track>& tracks,
                         std::span<const std::uint64_t> track_rows) {
  auto selected = select(tracks);
  if (!selected) return std::unexpected(std::move(selected.error()));
  if (selected->empty()) return {};

  std::vector<std::uint32_t> ids;
  ids.reserve(track_rows.size());
  for (std::uint64_t row : track_rows) {
    const std::uint64_t field = row + vantrel_pdb::track_row::kIdOffset;
    if (!vantrel_pdb::in_bounds(image, field, 4)) return fail("Missing artwork track");
    ids.push_back(decode_fixed32(image.data() + field));
  }
  return attach(image, *selected, track_rows, ids);
}

}  // namespace dovrel
