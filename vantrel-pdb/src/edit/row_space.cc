#include "edit/row_space.h"

#include <algorithm>
#include <optional>
#include <string>

#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_writer.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

bool is_present(Bytes page, std::uint64_t slot) {
  const std::uint8_t* end = page.data() + f::group_end(page.size(), slot / f::kSlotsPerGroup);
  const std::uint32_t flags = decode_fixed16(end - f::kPresentFlagsFromGroupEnd);
  return (flags >> (slot % f::kSlotsPerGroup)) & 1u;
}

}  // namespace

std::expected<RowPlace, PdbError> place_of_row(Bytes image, std::uint64_t page_size, std::uint64_t location) {
  const auto not_found = [location] {
    return std::unexpected(errors::damaged("no live row lies at byte " + std::to_string(location)));
  };
  if (page_size < f::kPageHeaderSize + f::kRowGroupSize) return not_found();
  const std::uint64_t start = location / page_size * page_size;
  if (!in_bounds(image, start, page_size) || location < start + f::kPageHeaderSize) return not_found();
  const Bytes page = image.subspan(start, page_size);
  if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) return not_found();
  // The reader lists 9 bits of the slot count; a recount touches all 13.
  const std::uint32_t n = f::slot_count(page) & f::kLibrarySlotCountMask;
  if (!f::row_index_in_page(page_size, f::slot_count(page))) return not_found();
  const std::uint64_t offset = location - start - f::kPageHeaderSize;
  const std::uint64_t used = decode_fixed16(page.data() + f::kUsedSizeOffset);
  std::uint64_t bound = used;
  std::optional<std::uint32_t> slot;
  bool shared = false;
  for (std::uint32_t s = 0; s < n; ++s) {
    const std::uint64_t o = f::slot_row_offset(page, s);
    if (o > offset) bound = std::min(bound, o);
    if (o != offset || !is_present(page, s)) continue;
    if (slot)
      shared = true;
    else
      slot = s;
  }
  if (!slot) return not_found();
  const std::uint64_t room = shared || bound <= offset ? 0 : std::min(bound, page_size - f::kPageHeaderSize) - offset;
  return RowPlace{start, *slot, room};
}

std::expected<void, PdbError> mark_rows_absent(std::vector<std::uint8_t>& image, std::uint64_t page_size,
                                               std::span<const std::uint64_t> locations, UndoLog& undo) {
  std::vector<RowPlace> places;
  places.reserve(locations.size());
  for (std::uint64_t location : locations) {
    auto place = place_of_row(image, page_size, location);
    if (!place) return std::unexpected(place.error());
    places.push_back(*place);
  }
  for (const RowPlace& place : places) {
    const MutableBytes page = MutableBytes(image).subspan(place.page_start, page_size);
    const std::uint64_t group_end = f::group_end(page_size, place.slot / f::kSlotsPerGroup);
    undo.save(image, place.page_start + group_end - f::kPresentFlagsFromGroupEnd, 2);
    f::clear_present(page, place.slot);
    undo.save(image, place.page_start + f::kPackedCountsOffset, 3);
    f::recount(page, f::slot_count(page));
  }
  return {};
}

void rewrite_row(MutableBytes image, std::uint64_t location, Bytes row, std::uint64_t room) {
  const MutableBytes dest = image.subspan(location, room);
  std::copy(row.begin(), row.end(), dest.begin());
  std::fill(dest.begin() + static_cast<std::ptrdiff_t>(row.size()), dest.end(), std::uint8_t{0});
}

}  // namespace vantrel_pdb
