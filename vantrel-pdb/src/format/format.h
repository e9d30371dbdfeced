// The page file layout: every fixed offset, width, flag and constant of the
// file header, the table directory, page headers, row groups and the table
// header page. Code elsewhere names these constants instead of numbers.
#ifndef VANTREL_PDB_FORMAT_FORMAT_H_
#define VANTREL_PDB_FORMAT_FORMAT_H_

#include <cstdint>

namespace vantrel_pdb {

// Table kinds: the u32 that names a table.
namespace table_kind {
inline constexpr std::uint32_t tracks = 0;
inline constexpr std::uint32_t genres = 1;
inline constexpr std::uint32_t artists = 2;
inline constexpr std::uint32_t albums = 3;
inline constexpr std::uint32_t labels = 4;
inline constexpr std::uint32_t keys = 5;
inline constexpr std::uint32_t colors = 6;
inline constexpr std::uint32_t playlist_tree = 7;
inline constexpr std::uint32_t playlist_entries = 8;
inline constexpr std::uint32_t history_playlists = 11;
inline constexpr std::uint32_t history_entries = 12;
inline constexpr std::uint32_t artwork = 13;
inline constexpr std::uint32_t kind16_rows = 16;
// Every kind above, and every kind of the blank image's directory, is below
// this: what the editor keeps for each kind it writes fits an array.
inline constexpr std::uint32_t kFormatBound = 32;
}  // namespace table_kind

// One 16-byte entry of the table directory.
struct TableEntry {
  std::uint32_t kind = 0;
  std::uint32_t empty_candidate = 0;
  std::uint32_t first_page = 0;
  std::uint32_t last_page = 0;
  friend bool operator==(const TableEntry&, const TableEntry&) = default;
};

namespace format {

// File header (page 0), offsets from the start of the file.
inline constexpr std::uint64_t kPageSizeOffset = 4;
inline constexpr std::uint64_t kTableCountOffset = 8;
inline constexpr std::uint64_t kNextUnusedPageOffset = 12;
inline constexpr std::uint64_t kSequenceOffset = 20;
inline constexpr std::uint64_t kDirectoryOffset = 28;
inline constexpr std::uint64_t kFileHeaderSize = 28;

// TableEntry, offsets from the start of the entry.
inline constexpr std::uint64_t kTableEntrySize = 16;
inline constexpr std::uint64_t kEntryKindOffset = 0;
inline constexpr std::uint64_t kEntryEmptyCandidateOffset = 4;
inline constexpr std::uint64_t kEntryFirstPageOffset = 8;
inline constexpr std::uint64_t kEntryLastPageOffset = 12;

// Page header, offsets from the start of the page.
inline constexpr std::uint64_t kPageIndexOffset = 4;
inline constexpr std::uint64_t kPageKindOffset = 8;
inline constexpr std::uint64_t kNextPageOffset = 12;
inline constexpr std::uint64_t kPageSequenceOffset = 16;
inline constexpr std::uint64_t kPackedCountsOffset = 24;  // 3 bytes, little-endian
inline constexpr std::uint64_t kPageFlagsOffset = 27;
inline constexpr std::uint64_t kFreeSizeOffset = 28;
inline constexpr std::uint64_t kUsedSizeOffset = 30;
inline constexpr std::uint64_t kEditRowCountOffset = 32;
inline constexpr std::uint64_t kEditFirstSlotOffset = 34;
inline constexpr std::uint64_t kPageHeaderSize = 40;  // the heap starts here

// Packed counts: slot_count in bits 0 to 12, present_row_count in bits 13 to 23.
inline constexpr std::uint32_t kSlotCountMask = 0x1FFF;
inline constexpr std::uint32_t kPresentRowCountShift = 13;
// The library itself reads and writes slot_count as 9 bits.
inline constexpr std::uint32_t kLibrarySlotCountMask = 0x1FF;
inline constexpr std::uint32_t kMaxSlotsPerPage = 511;

// page_flags.
inline constexpr std::uint8_t kPageFlagNoRows = 0x40;  // table header page: no row slots
inline constexpr std::uint8_t kDataPageFlags = 0x24;
inline constexpr std::uint8_t kHeaderPageFlags = 0x64;

// Row groups: 16 slots each, stored backwards from the end of the page.
inline constexpr std::uint64_t kRowGroupSize = 36;
inline constexpr std::uint32_t kSlotsPerGroup = 16;
inline constexpr std::uint64_t kEditFlagsFromGroupEnd = 2;
inline constexpr std::uint64_t kPresentFlagsFromGroupEnd = 4;
inline constexpr std::uint64_t kSlotOffsetsFromGroupEnd = 6;  // slot l at end - 6 - 2 l
// Bytes that a page needs beyond one row's allocation: header, one slot, one group's flags.
inline constexpr std::uint64_t kRowOverhead = kPageHeaderSize + 2 + 4;

// Table header page, offsets from the start of the page.
inline constexpr std::uint64_t kHeaderPageReservedCountOffset = 36;
inline constexpr std::uint64_t kHeaderPageIndexAgainOffset = 40;
inline constexpr std::uint64_t kFirstDataPageOffset = 44;
inline constexpr std::uint64_t kHeaderPageReserved48Offset = 48;
inline constexpr std::uint64_t kHeaderPageReserved58Offset = 58;
inline constexpr std::uint64_t kHeaderPageFillStart = 60;
inline constexpr std::uint64_t kHeaderPageFillEnd = 4076;
inline constexpr std::uint32_t kHeaderPageFillWord = 0x1FFFFFF8;
inline constexpr std::uint16_t kHeaderPageReservedCount = 1004;
inline constexpr std::uint16_t kHeaderPageEditMarker = 0x1FFF;
inline constexpr std::uint32_t kNoDataPage = 0x03FFFFFF;

// The page size of every image the library opens, checks and makes: the
// structure check (and so Library::open) refuses any other, the blank image
// has it, and a change in place relies on it. The editor alone lays out
// rows on other page sizes too (from 76 to 65536 bytes).
inline constexpr std::uint32_t kPageSize = 4096;

// Number of row groups that n slots occupy.
constexpr std::uint64_t groups_for_slots(std::uint64_t n) { return (n + kSlotsPerGroup - 1) / kSlotsPerGroup; }
// Row index bytes charged for n slots: 2 per slot plus 4 per group begun.
constexpr std::uint64_t row_index_size(std::uint64_t n) { return 2 * n + 4 * groups_for_slots(n); }
// Offset from the page start of the end of row group g.
constexpr std::uint64_t group_end(std::uint64_t page_size, std::uint64_t g) { return page_size - kRowGroupSize * g; }
// Rounds n up to a multiple of 4.
constexpr std::uint64_t round_up4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

}  // namespace format
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_FORMAT_H_
