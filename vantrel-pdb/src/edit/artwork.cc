#include "edit/artwork.h"

#include <algorithm>
#include <string>

#include "edit/editor.h"
#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_writer.h"
#include "format/strings.h"
#include "read/named_rows.h"
#include "read/track.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// New artwork pages carry this page_sequence: the step does not stamp them.
constexpr std::uint32_t kArtworkPageSequence = 1;

bool is_short_ascii(std::string_view path) {
  return path.size() <= kMaxShortAsciiLength &&
         std::all_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Heap bytes of one artwork row: u32 id, short-string header, path; rounded to 4.
std::uint64_t row_allocation(std::size_t path_length) {
  return f::round_up4(id_name_row::kNameOffset + 1 + path_length);
}

}  // namespace

std::expected<void, PdbError> attach_artwork(std::vector<std::uint8_t>& image, std::span<const ArtworkRow> rows) {
  if (rows.empty()) return {};
  for (const ArtworkRow& row : rows) {
    const std::uint64_t field = row.track_row + track_row::kArtworkIdOffset;
    if (!in_bounds(image, field, 4))
      return std::unexpected(
          errors::misuse("track row at " + std::to_string(row.track_row) + " lies outside the image"));
    encode_fixed32(image.data() + field, row.id);
  }

  auto entry = PdbEditor::table_entry_offset(image, table_kind::artwork);
  if (!entry) return std::unexpected(entry.error());
  const std::uint64_t page_size = decode_fixed32(image.data() + f::kPageSizeOffset);
  if (page_size < f::kPageHeaderSize + f::kRowGroupSize + row_allocation(kMaxShortAsciiLength) || page_size > 65536) {
    return std::unexpected(errors::damaged("page size " + std::to_string(page_size) + " cannot hold artwork rows"));
  }
  const auto entry_field = [&](std::uint64_t offset) { return decode_fixed32(image.data() + *entry + offset); };
  const std::uint64_t page_count = image.size() / page_size;
  const std::uint64_t table_count = decode_fixed32(image.data() + f::kTableCountOffset);
  const std::uint32_t last = entry_field(f::kEntryLastPageOffset);
  if (last == 0 || last >= page_count)
    return std::unexpected(
        errors::damaged("artwork table's last page " + std::to_string(last) + " is not inside the image"));

  // Rows go onto the table's last page while it is a data page with room.
  std::uint32_t w = last;
  std::uint64_t used = 0;
  std::uint32_t count = 0;
  std::uint32_t appended = 0;
  bool fresh = false;
  {
    const std::uint8_t* page = image.data() + std::uint64_t{last} * page_size;
    if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) {
      w = entry_field(f::kEntryEmptyCandidateOffset);
      fresh = true;
    } else {
      count = decode_fixed24(page + f::kPackedCountsOffset) & f::kSlotCountMask;
      used = decode_fixed16(page + f::kUsedSizeOffset);
      appended = decode_fixed16(page + f::kEditRowCountOffset);
      if (count > f::kMaxSlotsPerPage || f::kPageHeaderSize + used + f::row_index_size(count) > page_size) {
        return std::unexpected(
            errors::damaged("last artwork page " + std::to_string(last) + " has an unsound row index"));
      }
    }
  }

  std::size_t next = 0;  // first row still to place
  std::vector<std::uint8_t> row;
  while (next < rows.size()) {
    if (fresh) {
      // The candidate must be a free page below next_unused_page, close to
      // the end of the image (every page past it is some table's candidate).
      const std::uint32_t u = decode_fixed32(image.data() + f::kNextUnusedPageOffset);
      if (w == 0 || w >= u || u == UINT32_MAX || w > image.size() / page_size + table_count) {
        return std::unexpected(
            errors::damaged("artwork table's empty_candidate " + std::to_string(w) + " is not a free page"));
      }
      const std::uint64_t start = std::uint64_t{w} * page_size;
      if (image.size() < start + page_size) image.resize(start + page_size, 0);
      f::init_data_page(MutableBytes(image).subspan(start, page_size), {w, table_kind::artwork, kArtworkPageSequence});
      used = 0;
      count = 0;
      appended = 0;
    }
    const MutableBytes page = MutableBytes(image).subspan(std::uint64_t{w} * page_size, page_size);

    const std::uint32_t before = count;
    for (; next < rows.size(); ++next) {
      const ArtworkRow& art = rows[next];
      if (!is_short_ascii(art.path)) return std::unexpected(errors::refused(kArtworkPathNotShortAscii));
      const std::uint64_t alloc = row_allocation(art.path.size());
      if (count >= f::kMaxSlotsPerPage || !f::row_fits(page_size, count, used, alloc)) break;  // page full
      row.assign(id_name_row::kNameOffset + 1, 0);
      encode_fixed32(row.data() + id_name_row::kIdOffset, art.id);
      row[id_name_row::kNameOffset] = static_cast<std::uint8_t>(2 * art.path.size() + 3);  // short ASCII kind
      row.insert(row.end(), art.path.begin(), art.path.end());
      f::put_row(page, count, used, row, alloc);
      used += alloc;
      ++count;
    }
    if (fresh && count == 0) return std::unexpected(errors::damaged("an artwork row does not fit an empty page"));
    appended += count - before;
    f::recount(page, count);
    f::set_heap_use(page, count, used);
    f::set_edit_counts(page, appended, fresh ? 0 : decode_fixed16(page.data() + f::kEditFirstSlotOffset));

    if (fresh) {
      // The next unused page becomes this page's successor and the table's
      // empty_candidate, where the rows that did not fit go.
      f::link_page(image, page_size, *entry, w, entry_field(f::kEntryLastPageOffset));
      w = entry_field(f::kEntryEmptyCandidateOffset);
    } else {
      // The last page is full: the next rows go to the table's candidate,
      // which the last page must already name as its successor.
      const std::uint32_t candidate = entry_field(f::kEntryEmptyCandidateOffset);
      if (next < rows.size() && decode_fixed32(page.data() + f::kNextPageOffset) != candidate) {
        return std::unexpected(
            errors::damaged("last artwork page " + std::to_string(w) + " does not link to its empty_candidate"));
      }
      w = candidate;
      fresh = true;
    }
  }
  return {};
}

}  // namespace vantrel_pdb
