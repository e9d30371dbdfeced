#include "testing/image_builder.h"

#include <stdexcept>

#include "format/strings.h"

namespace vantrel_pdb::testing {

namespace f = format;

ImageBuilder::ImageBuilder(std::uint32_t page_size) : page_size_(page_size), image_(page_size, 0) {
  encode_fixed32(image_.data() + f::kPageSizeOffset, page_size);
  encode_fixed32(image_.data() + f::kSequenceOffset, 1);
}

std::uint32_t ImageBuilder::new_page() {
  auto index = static_cast<std::uint32_t>(image_.size() / page_size_);
  image_.resize(image_.size() + page_size_, 0);
  return index;
}

std::size_t ImageBuilder::add_table(std::uint32_t kind) {
  std::uint32_t p = new_page();
  std::uint8_t* page = image_.data() + std::uint64_t{p} * page_size_;
  encode_fixed32(page + f::kPageIndexOffset, p);
  encode_fixed32(page + f::kPageKindOffset, kind);
  encode_fixed32(page + f::kPageSequenceOffset, 1);
  page[f::kPageFlagsOffset] = f::kHeaderPageFlags;
  encode_fixed16(page + f::kEditRowCountOffset, f::kHeaderPageEditMarker);
  encode_fixed16(page + f::kEditFirstSlotOffset, f::kHeaderPageEditMarker);
  encode_fixed32(page + f::kFirstDataPageOffset, f::kNoDataPage);
  tables_.push_back({kind, {p}});
  return tables_.size() - 1;
}

std::uint32_t ImageBuilder::add_data_page(std::size_t table) {
  std::uint32_t p = new_page();
  std::uint8_t* page = image_.data() + std::uint64_t{p} * page_size_;
  encode_fixed32(page + f::kPageIndexOffset, p);
  encode_fixed32(page + f::kPageKindOffset, tables_.at(table).kind);
  encode_fixed32(page + f::kPageSequenceOffset, 1);
  page[f::kPageFlagsOffset] = f::kDataPageFlags;
  encode_fixed16(page + f::kFreeSizeOffset, static_cast<std::uint16_t>(page_size_ - f::kPageHeaderSize));
  auto& pages = tables_[table].pages;
  if (pages.size() == 1) {
    std::uint8_t* header = image_.data() + std::uint64_t{pages[0]} * page_size_;
    encode_fixed32(header + f::kFirstDataPageOffset, p);
  }
  pages.push_back(p);
  return p;
}

std::uint64_t ImageBuilder::add_row(std::size_t table, Bytes row) {
  auto& pages = tables_.at(table).pages;
  std::uint64_t alloc = f::round_up4(row.size());
  auto fits = [&](std::uint32_t p) {
    const std::uint8_t* page = image_.data() + std::uint64_t{p} * page_size_;
    std::uint64_t slots = decode_fixed24(page + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
    std::uint64_t used = decode_fixed16(page + f::kUsedSizeOffset);
    return slots < f::kMaxSlotsPerPage &&
           f::kPageHeaderSize + used + alloc + f::row_index_size(slots + 1) <= page_size_;
  };
  if (pages.size() == 1 || !fits(pages.back())) add_data_page(table);
  std::uint32_t p = pages.back();
  std::uint64_t start = std::uint64_t{p} * page_size_;
  std::uint8_t* page = image_.data() + start;
  std::uint32_t slots = decode_fixed24(page + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
  std::uint16_t used = decode_fixed16(page + f::kUsedSizeOffset);
  std::copy(row.begin(), row.end(), page + f::kPageHeaderSize + used);
  std::uint64_t end = f::group_end(page_size_, slots / f::kSlotsPerGroup);
  std::uint32_t l = slots % f::kSlotsPerGroup;
  encode_fixed16(page + end - f::kSlotOffsetsFromGroupEnd - 2 * l, used);
  std::uint16_t present = decode_fixed16(page + end - f::kPresentFlagsFromGroupEnd);
  encode_fixed16(page + end - f::kPresentFlagsFromGroupEnd, static_cast<std::uint16_t>(present | (1u << l)));
  encode_fixed24(page + f::kPackedCountsOffset, slots + 1);
  encode_fixed16(page + f::kUsedSizeOffset, static_cast<std::uint16_t>(used + alloc));
  return start + f::kPageHeaderSize + used;
}

void ImageBuilder::set_present(std::uint32_t page_index, std::uint32_t slot, bool present) {
  std::uint8_t* page = image_.data() + std::uint64_t{page_index} * page_size_;
  std::uint64_t end = f::group_end(page_size_, slot / f::kSlotsPerGroup);
  std::uint16_t bits = decode_fixed16(page + end - f::kPresentFlagsFromGroupEnd);
  std::uint16_t bit = static_cast<std::uint16_t>(1u << (slot % f::kSlotsPerGroup));
  bits = present ? static_cast<std::uint16_t>(bits | bit) : static_cast<std::uint16_t>(bits & ~bit);
  encode_fixed16(page + end - f::kPresentFlagsFromGroupEnd, bits);
}

void ImageBuilder::set_row_index(std::uint32_t page_index, std::span<const std::uint16_t> offsets) {
  if (offsets.size() > f::kMaxSlotsPerPage) throw std::length_error("more slots than a page holds");
  std::uint8_t* page = image_.data() + std::uint64_t{page_index} * page_size_;
  const auto slots = static_cast<std::uint32_t>(offsets.size());
  for (std::uint32_t s = 0; s < slots; ++s) {
    std::uint64_t end = f::group_end(page_size_, s / f::kSlotsPerGroup);
    std::uint32_t l = s % f::kSlotsPerGroup;
    encode_fixed16(page + end - f::kSlotOffsetsFromGroupEnd - 2 * l, offsets[s]);
    std::uint16_t present = decode_fixed16(page + end - f::kPresentFlagsFromGroupEnd);
    encode_fixed16(page + end - f::kPresentFlagsFromGroupEnd, static_cast<std::uint16_t>(present | (1u << l)));
  }
  encode_fixed24(page + f::kPackedCountsOffset, slots);
}

std::vector<std::uint8_t> ImageBuilder::finish() {
  auto page_count = static_cast<std::uint32_t>(image_.size() / page_size_);
  encode_fixed32(image_.data() + f::kTableCountOffset, static_cast<std::uint32_t>(tables_.size()));
  encode_fixed32(image_.data() + f::kNextUnusedPageOffset, page_count + static_cast<std::uint32_t>(tables_.size()));
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    const Table& t = tables_[i];
    auto empty_candidate = page_count + static_cast<std::uint32_t>(i);
    for (std::size_t k = 0; k < t.pages.size(); ++k) {
      std::uint32_t next = k + 1 < t.pages.size() ? t.pages[k + 1] : empty_candidate;
      std::uint8_t* page = image_.data() + std::uint64_t{t.pages[k]} * page_size_;
      encode_fixed32(page + f::kNextPageOffset, next);
      if (k == 0) continue;
      // Packed counts: recount present bits; free_size from the space rules.
      std::uint32_t slots = decode_fixed24(page + f::kPackedCountsOffset) & f::kSlotCountMask;
      std::uint32_t present = 0;
      for (std::uint32_t s = 0; s < slots; ++s) {
        std::uint64_t end = f::group_end(page_size_, s / f::kSlotsPerGroup);
        std::uint32_t flags = decode_fixed16(page + end - f::kPresentFlagsFromGroupEnd);
        present += (flags >> (s % f::kSlotsPerGroup)) & 1u;
      }
      encode_fixed24(page + f::kPackedCountsOffset, slots | (present << f::kPresentRowCountShift));
      std::uint64_t used = decode_fixed16(page + f::kUsedSizeOffset);
      encode_fixed16(page + f::kFreeSizeOffset,
                     static_cast<std::uint16_t>(page_size_ - f::kPageHeaderSize - used - f::row_index_size(slots)));
    }
    std::uint64_t entry = f::kDirectoryOffset + f::kTableEntrySize * i;
    if (entry + f::kTableEntrySize > page_size_) throw std::length_error("directory does not fit page 0");
    encode_fixed32(image_.data() + entry + f::kEntryKindOffset, t.kind);
    encode_fixed32(image_.data() + entry + f::kEntryEmptyCandidateOffset, empty_candidate);
    encode_fixed32(image_.data() + entry + f::kEntryFirstPageOffset, t.pages.front());
    encode_fixed32(image_.data() + entry + f::kEntryLastPageOffset, t.pages.back());
  }
  return image_;
}

std::vector<std::uint8_t> pdb_string(std::string_view utf8) {
  auto encoded = encode_string(utf8);
  if (!encoded) throw std::invalid_argument("text too long for a PDB string");
  return *encoded;
}

namespace {
void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}
std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n, 0); }
}  // namespace

std::vector<std::uint8_t> id_name_row(std::uint32_t id, std::string_view name) {
  auto row = zeros(4);
  encode_fixed32(row.data(), id);
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> artist_row(std::uint32_t id, std::string_view name) {
  auto row = zeros(10);
  encode_fixed16(row.data(), 0x60);
  encode_fixed32(row.data() + 4, id);
  row[8] = 3;
  row[9] = 10;
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> album_row(std::uint32_t id, std::uint32_t artist_id, std::string_view name) {
  auto row = zeros(22);
  encode_fixed16(row.data(), 0x80);
  encode_fixed32(row.data() + 8, artist_id);
  encode_fixed32(row.data() + 12, id);
  row[20] = 3;
  row[21] = 22;
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> key_row(std::uint32_t id, std::string_view name) {
  auto row = zeros(8);
  encode_fixed32(row.data(), id);
  encode_fixed32(row.data() + 4, id);
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> color_row(std::uint16_t id, std::string_view name) {
  auto row = zeros(8);
  encode_fixed16(row.data() + 5, id);
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> kind16_row(std::uint16_t id, std::string_view name) {
  auto row = zeros(4);
  encode_fixed16(row.data(), id);
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> tree_row(std::uint32_t parent_id, std::uint32_t sort_order, std::uint32_t id, bool is_folder,
                                   std::string_view name) {
  auto row = zeros(20);
  encode_fixed32(row.data(), parent_id);
  encode_fixed32(row.data() + 8, sort_order);
  encode_fixed32(row.data() + 12, id);
  encode_fixed32(row.data() + 16, is_folder ? 1 : 0);
  append(row, pdb_string(name));
  return row;
}

std::vector<std::uint8_t> entry_row(std::uint32_t entry_index, std::uint32_t track_id, std::uint32_t playlist_id) {
  auto row = zeros(12);
  encode_fixed32(row.data(), entry_index);
  encode_fixed32(row.data() + 4, track_id);
  encode_fixed32(row.data() + 8, playlist_id);
  return row;
}

std::vector<std::uint8_t> track_row(const TrackRowFields& s) {
  auto row = zeros(136);
  std::uint8_t* r = row.data();
  encode_fixed16(r, 0x24);
  encode_fixed32(r + 8, s.sample_rate);
  encode_fixed32(r + 16, s.file_size);
  encode_fixed32(r + 28, s.artwork_id);
  encode_fixed32(r + 32, s.key_id);
  encode_fixed32(r + 40, s.label_id);
  encode_fixed32(r + 48, s.bitrate);
  encode_fixed32(r + 56, s.tempo);
  encode_fixed32(r + 60, s.genre_id);
  encode_fixed32(r + 64, s.album_id);
  encode_fixed32(r + 68, s.artist_id);
  encode_fixed32(r + 72, s.id);
  encode_fixed16(r + 82, s.sample_depth);
  encode_fixed16(r + 84, s.duration);
  r[89] = s.rating;
  for (std::size_t i = 0; i < s.strings.size(); ++i) {
    encode_fixed16(row.data() + 94 + 2 * i, static_cast<std::uint16_t>(row.size()));
    append(row, pdb_string(s.strings[i]));
  }
  return row;
}

void put_u8(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint8_t v) { image.at(pos) = v; }
void put_u16(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint16_t v) {
  (void)image.at(pos + 1);
  encode_fixed16(image.data() + pos, v);
}
void put_u32(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint32_t v) {
  (void)image.at(pos + 3);
  encode_fixed32(image.data() + pos, v);
}
std::uint32_t get_u32(const std::vector<std::uint8_t>& image, std::uint64_t pos) {
  (void)image.at(pos + 3);
  return decode_fixed32(image.data() + pos);
}
std::uint16_t get_u16(const std::vector<std::uint8_t>& image, std::uint64_t pos) {
  (void)image.at(pos + 1);
  return decode_fixed16(image.data() + pos);
}

}  // namespace vantrel_pdb::testing
