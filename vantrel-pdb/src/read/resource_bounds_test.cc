// Loading an image never takes memory (or time) out of proportion to the
// image: slots that share a row, strings that share bytes, tables that share
// pages and chains that loop are stopped by the decode budget or the walk
// bound, while sound images packed as densely as the format allows still load.
//
// Allocations are measured exactly: this test binary replaces the global
// operator new and delete with counting versions.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "format/format.h"
#include "format/strings.h"
#include "read/database.h"
#include "read/track.h"
#include "testing/image_builder.h"

namespace {

// Every block carries its size in front, so that the live total is exact
// whichever form of delete frees it.
constexpr std::size_t kHeader = alignof(std::max_align_t);
std::size_t g_live = 0;
std::size_t g_peak = 0;

void* counted_new(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (!block) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  g_live += size;
  if (g_live > g_peak) g_peak = g_live;
  return static_cast<char*>(block) + kHeader;
}

void counted_delete(void* p) noexcept {
  if (!p) return;
  void* block = static_cast<char*>(p) - kHeader;
  g_live -= *static_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void operator delete(void* p) noexcept { counted_delete(p); }
void operator delete[](void* p) noexcept { counted_delete(p); }
void operator delete(void* p, std::size_t) noexcept { counted_delete(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_delete(p); }
// The nothrow forms too (std::stable_sort takes its buffer through them):
// a block from the library's own nothrow new must never reach the counted
// delete, which reads a size in front of it.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* block = std::malloc(size + kHeader);
  if (!block) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  g_live += size;
  if (g_live > g_peak) g_peak = g_live;
  return static_cast<char*>(block) + kHeader;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_delete(p); }

namespace vantrel_pdb {
namespace {

namespace f = format;
using testing::ImageBuilder;
using Image = std::vector<std::uint8_t>;

constexpr std::uint32_t kPage = 4096;

// The most that was allocated at once while `run` ran, beyond what was
// allocated before it.
std::size_t peak_allocation(const std::function<void()>& run) {
  const std::size_t before = g_live;
  g_peak = g_live;
  run();
  return g_peak - before;
}

struct Load {
  bool ok = false;
  std::string error;
  std::size_t peak = 0;  // bytes
};

Load load(const Image& image) {
  Load result;
  result.peak = peak_allocation([&] {
    auto db = Database::from_bytes(image);
    result.ok = db.has_value();
    if (!db) result.error = db.error().message();
  });
  return result;
}

// The text of the record being decoded when the budget runs out is charged
// only once it exists: at most 21 strings of 65,531 bytes, each byte grown
// threefold.
constexpr std::size_t kLargestRecordText = track_row::kStringCount * 65531 * 3;

// Memory that a load may hold at its peak: the budget, what the vectors of
// row locations hold in reserve, and the last record's text.
std::size_t allowed_peak(const Image& image) { return 2 * decode_budget(image.size()) + kLargestRecordText; }

const std::string kOverBudget = "the image repeats rows or strings";

// An image of one table of `kind` whose data pages are the caller's to fill;
// `spare_pages` zero pages follow, so that strings may run on past the last
// data page.
struct Crafted {
  Image image;
  std::vector<std::uint32_t> data_pages;
};

Crafted one_table(std::uint32_t kind, std::size_t data_pages, std::size_t spare_pages,
                  const std::function<void(ImageBuilder&, std::uint32_t)>& fill) {
  ImageBuilder b;
  auto t = b.add_table(kind);
  Crafted c;
  for (std::size_t i = 0; i < data_pages; ++i) {
    std::uint32_t p = b.add_data_page(t);
    fill(b, p);
    c.data_pages.push_back(p);
  }
  c.image = b.finish();
  c.image.resize(c.image.size() + spare_pages * kPage, 0);
  return c;
}

std::uint8_t* heap(Image& image, std::uint32_t page) {
  return image.data() + std::uint64_t{page} * kPage + f::kPageHeaderSize;
}

// ---------------------------------------------------------------------------
// Hostile images: each would decode to far more than its size without the
// budget. All of them must end, allocating at most a small multiple of the
// image, and those that fail name the reason.

struct HostileCase {
  std::string name;
  std::function<Image()> make;
  bool over_budget;  // fails because of the budget (else: any outcome)
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

// 511 slots all naming one track row, whose 21 string offsets all name one
// long string of 65,535 bytes: 700 MB of text from one page.
Image shared_track_and_string() {
  const std::vector<std::uint16_t> same_row(f::kMaxSlotsPerPage, 0);
  auto c = one_table(table_kind::tracks, 1, 16, [&](ImageBuilder& b, std::uint32_t p) {
    b.set_row_index(p, same_row);
    std::uint8_t* row = heap(b.bytes(), p);
    for (std::size_t i = 0; i < track_row::kStringCount; ++i) {
      encode_fixed16(row + track_row::kStringOffsetsOffset + 2 * i, track_row::kFixedSize);
    }
    row[track_row::kFixedSize] = kLongAsciiKind;
    encode_fixed16(row + track_row::kFixedSize + 1, 0xFFFF);
  });
  return c.image;
}

// Every slot of many pages naming the same artist row whose name is a
// short string of 126 bytes, each one invalid UTF-8 (three bytes out each).
Image shared_invalid_name() {
  const std::vector<std::uint16_t> same_row(f::kMaxSlotsPerPage, 0);
  auto c = one_table(table_kind::artists, 32, 0, [&](ImageBuilder& b, std::uint32_t p) {
    b.set_row_index(p, same_row);
    std::uint8_t* row = heap(b.bytes(), p);
    row[artist_row::kNearNameOffset] = artist_row::kNameStart;
    row[artist_row::kNameStart] = 0xFF;  // short string of 126 bytes
    std::fill(row + artist_row::kNameStart + 1, row + artist_row::kNameStart + 127, 0xFF);
  });
  return c.image;
}

// 200 directory entries (the most the tool accepts), all naming the same
// chain of pages full of slots.
Image tables_sharing_pages(bool same_kind) {
  const std::vector<std::uint16_t> slots(f::kMaxSlotsPerPage, 0);
  auto c = one_table(table_kind::playlist_entries, 16, 0, [&](ImageBuilder& b, std::uint32_t p) {
    b.set_row_index(p, slots);
    std::fill(heap(b.bytes(), p), heap(b.bytes(), p) + testing::entry_row(0, 0, 0).size(), 1);
  });
  Image& image = c.image;
  const std::uint64_t first = f::kDirectoryOffset;
  constexpr std::uint32_t kTables = 200;
  testing::put_u32(image, f::kTableCountOffset, kTables);
  for (std::uint32_t i = 1; i < kTables; ++i) {
    std::uint64_t entry = f::kDirectoryOffset + f::kTableEntrySize * i;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(first), f::kTableEntrySize,
                image.begin() + static_cast<std::ptrdiff_t>(entry));
    if (!same_kind) testing::put_u32(image, entry + f::kEntryKindOffset, 100 + i);
  }
  return image;
}

// A directory that claims every entry the first half of a 2 MiB image can
// hold, each entry walking the 256 pages of the second half, whose slots are
// all deleted: without the charge per page walked the walks would take
// seconds, though they find no row.
Image huge_directory_over_deleted_slots() {
  constexpr std::uint32_t kPages = 512;
  constexpr std::uint32_t kFirst = kPages / 2;
  Image image(std::uint64_t{kPages} * kPage, 0);
  encode_fixed32(image.data() + f::kPageSizeOffset, kPage);
  const auto entries = static_cast<std::uint32_t>((kFirst * kPage - f::kDirectoryOffset) / f::kTableEntrySize);
  encode_fixed32(image.data() + f::kTableCountOffset, entries);
  for (std::uint32_t i = 0; i < entries; ++i) {
    std::uint8_t* entry = image.data() + f::kDirectoryOffset + f::kTableEntrySize * i;
    encode_fixed32(entry + f::kEntryKindOffset, table_kind::genres);
    encode_fixed32(entry + f::kEntryFirstPageOffset, kFirst);
    encode_fixed32(entry + f::kEntryLastPageOffset, kPages - 1);
  }
  for (std::uint32_t p = kFirst; p < kPages; ++p) {
    std::uint8_t* page = image.data() + std::uint64_t{p} * kPage;
    encode_fixed32(page + f::kPageIndexOffset, p);
    encode_fixed32(page + f::kPageKindOffset, table_kind::genres);
    encode_fixed32(page + f::kNextPageOffset, p + 1);
    page[f::kPageFlagsOffset] = f::kDataPageFlags;
    encode_fixed24(page + f::kPackedCountsOffset, f::kMaxSlotsPerPage);
  }
  return image;
}

// Pages of random bytes claiming 511 present slots each: rows anywhere,
// strings of any kind and length.
Image garbage_slots(std::uint32_t seed) {
  std::mt19937 random(seed);
  auto c = one_table(table_kind::tracks, 24, 16, [&](ImageBuilder& b, std::uint32_t p) {
    std::uint8_t* page = b.bytes().data() + std::uint64_t{p} * kPage;
    for (std::uint64_t i = f::kPageHeaderSize; i < kPage; ++i) page[i] = static_cast<std::uint8_t>(random());
    std::vector<std::uint16_t> offsets(f::kMaxSlotsPerPage);
    // Mostly near the heap start, where rows of a real page would be.
    for (auto& o : offsets) o = static_cast<std::uint16_t>(random() % 512);
    b.set_row_index(p, offsets);
  });
  return c.image;
}

class HostileImage : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileImage, EndsWithinASmallMultipleOfItsSize) {
  const Image image = GetParam().make();
  const Load result = load(image);
  EXPECT_LE(result.peak, allowed_peak(image)) << "image of " << image.size() << " bytes";
  if (GetParam().over_budget) {
    ASSERT_FALSE(result.ok);
    EXPECT_TRUE(result.error.starts_with("io error: decoded rows and text exceed " +
                                         std::to_string(decode_budget(image.size())) + " bytes"))
        << result.error;
    EXPECT_TRUE(result.error.ends_with(kOverBudget)) << result.error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, HostileImage,
    ::testing::Values(HostileCase{"SharedTrackRowAndString", shared_track_and_string, true},
                      HostileCase{"SharedInvalidName", shared_invalid_name, true},
                      HostileCase{"TwoHundredTablesOfOneKindSharingPages", [] { return tables_sharing_pages(true); },
                                  true},
                      HostileCase{"TwoHundredKindsSharingPages", [] { return tables_sharing_pages(false); }, true},
                      HostileCase{"HugeDirectoryOverDeletedSlots", huge_directory_over_deleted_slots, true},
                      HostileCase{"GarbageSlots1", [] { return garbage_slots(1); }, false},
                      HostileCase{"GarbageSlots2", [] { return garbage_slots(2); }, false},
                      HostileCase{"GarbageSlots3", [] { return garbage_slots(3); }, false}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Sound images packed as densely as the format allows stay well inside the
// budget: the budget refuses only repetition.

struct DenseCase {
  std::string name;
  std::uint32_t kind;
  std::vector<std::uint8_t> row;
};

void PrintTo(const DenseCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::uint8_t> smallest_track() { return testing::track_row(testing::TrackRowFields{}); }

// A genre row whose name is a short string of 126 invalid bytes: text grows
// threefold, the most any stored byte can.
std::vector<std::uint8_t> genre_with_invalid_name() {
  std::vector<std::uint8_t> row(4 + 1 + 126, 0xFF);
  encode_fixed32(row.data(), 7);
  return row;
}

// A track whose 21 strings are each 126 invalid bytes.
std::vector<std::uint8_t> track_with_invalid_strings() {
  std::vector<std::uint8_t> row = smallest_track();
  row.resize(track_row::kFixedSize);
  for (std::size_t i = 0; i < track_row::kStringCount; ++i) {
    encode_fixed16(row.data() + track_row::kStringOffsetsOffset + 2 * i, static_cast<std::uint16_t>(row.size()));
    row.push_back(0xFF);
    row.insert(row.end(), 126, 0xFF);
  }
  return row;
}

class DenseSoundImage : public ::testing::TestWithParam<DenseCase> {};

TEST_P(DenseSoundImage, LoadsWithinTheBudget) {
  const DenseCase& c = GetParam();
  ImageBuilder b;
  std::size_t t = b.add_table(c.kind);
  std::size_t rows = 0;
  while (b.bytes().size() < (std::size_t{512} << 10)) {
    b.add_row(t, c.row);
    ++rows;
  }
  const Image image = b.finish();
  const Load result = load(image);
  ASSERT_TRUE(result.ok) << result.error;
  // Under 6 bytes per image byte at the peak, counting what the vectors hold
  // in reserve; the budget allows 8 and the allowance on top.
  EXPECT_LE(result.peak, 6 * image.size()) << rows << " rows";
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->row_locations(c.kind).size(), rows);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DenseSoundImage,
    ::testing::Values(DenseCase{"SmallestTracks", table_kind::tracks, smallest_track()},
                      DenseCase{"TracksOfInvalidText", table_kind::tracks, track_with_invalid_strings()},
                      DenseCase{"SmallestGenres", table_kind::genres, testing::id_name_row(1, "")},
                      DenseCase{"GenresOfInvalidText", table_kind::genres, genre_with_invalid_name()},
                      DenseCase{"SmallestArtists", table_kind::artists, testing::artist_row(1, "")},
                      DenseCase{"SmallestAlbums", table_kind::albums, testing::album_row(1, 1, "")},
                      DenseCase{"SmallestKeys", table_kind::keys, testing::key_row(1, "")},
                      DenseCase{"SmallestColors", table_kind::colors, testing::color_row(1, "")},
                      DenseCase{"SmallestKind16Rows", table_kind::kind16_rows, testing::kind16_row(1, "")},
                      DenseCase{"SmallestTreeNodes", table_kind::playlist_tree, testing::tree_row(0, 0, 1, false, "")},
                      DenseCase{"Entries", table_kind::playlist_entries, testing::entry_row(1, 1, 1)},
                      DenseCase{"HistoryEntries", table_kind::history_entries, testing::entry_row(1, 1, 1)},
                      DenseCase{"UndecodedRows", 19, testing::entry_row(1, 1, 1)}),
    [](const auto& test) { return test.param.name; });

TEST(DecodeBudget, IsEightBytesPerImageBytePlusOneMebibyte) {
  EXPECT_EQ(decode_budget(0), std::uint64_t{1} << 20);
  EXPECT_EQ(decode_budget(4096), 8 * 4096 + (std::uint64_t{1} << 20));
}

// Track slots that all name one row of empty strings, spread over as few
// pages as hold them: each slot costs exactly one location and one record.
Image tracks_sharing_one_row(std::size_t slots) {
  ImageBuilder b;
  auto t = b.add_table(table_kind::tracks);
  const auto row = smallest_track();
  while (slots > 0) {
    const std::size_t here = std::min<std::size_t>(slots, f::kMaxSlotsPerPage);
    const std::uint32_t p = b.add_data_page(t);
    b.set_row_index(p, std::vector<std::uint16_t>(here, 0));
    std::copy(row.begin(), row.end(), heap(b.bytes(), p));
    slots -= here;
  }
  return b.finish();
}

// Just inside the budget such an image still loads; one slot more and it
// fails. The budget grows with the image, so look for a page count whose
// last page holds the edge.
TEST(DecodeBudget, RefusesTheFirstSlotBeyondIt) {
  constexpr std::uint64_t kPerSlot = sizeof(std::uint64_t) + sizeof(Track);
  for (std::uint64_t pages = 1; pages <= 8; ++pages) {
    const std::uint64_t size = (2 + pages) * std::uint64_t{kPage};  // file header, table header, data
    const std::uint64_t walked = (1 + pages) * kDecodeCostPerPageWalked;
    const std::uint64_t slots = (decode_budget(size) - walked) / kPerSlot;
    if (slots + 1 > pages * f::kMaxSlotsPerPage || slots <= (pages - 1) * f::kMaxSlotsPerPage) continue;
    const Image fits = tracks_sharing_one_row(slots);
    ASSERT_EQ(fits.size(), size);
    auto loaded = Database::from_bytes(fits);
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->tracks.size(), slots);
    auto refused = Database::from_bytes(tracks_sharing_one_row(slots + 1));
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().message().ends_with(kOverBudget)) << refused.error().message();
    return;
  }
  FAIL() << "no page count puts the budget's edge inside its slots";
}

// ---------------------------------------------------------------------------
// Chains: a walk never takes more steps than the image has pages.

TEST(ChainWalk, LoopsAndRunawayChainsEndWithAnError) {
  ImageBuilder b;
  auto t = b.add_table(table_kind::genres);
  std::uint32_t p1 = b.add_data_page(t);
  std::uint32_t p2 = b.add_data_page(t);
  b.add_row(t, testing::id_name_row(1, "x"));
  Image good = b.finish();
  ASSERT_TRUE(Database::from_bytes(good));
  const std::string kRunaway = "io error: page chain of table kind 1 leaves the image or never reaches its last page";

  struct Damage {
    std::string what;
    std::uint32_t page;
    std::uint32_t next;
  };
  for (const Damage& d :
       {Damage{"two-page loop", p2, p1}, Damage{"page loops onto itself", p1, p1},
        Damage{"back to the header page", p2, 1}, Damage{"past the end", p1, 0xFFFFFFFF}, Damage{"to page 0", p1, 0}}) {
    Image image = good;
    testing::put_u32(image, std::uint64_t{d.page} * kPage + f::kNextPageOffset, d.next);
    // last_page never reached: the walk has to stop by itself.
    testing::put_u32(image, f::kDirectoryOffset + f::kEntryLastPageOffset, 0x7FFFFFFF);
    TableEntry entry{table_kind::genres, 0, 1, 0x7FFFFFFF};
    auto rows = table_row_locations(image, kPage, entry);
    ASSERT_FALSE(rows) << d.what;
    EXPECT_EQ(rows.error().message(), kRunaway) << d.what;
    const Load result = load(image);
    ASSERT_FALSE(result.ok) << d.what;
    EXPECT_EQ(result.error, kRunaway) << d.what;
    EXPECT_LE(result.peak, allowed_peak(image)) << d.what;
  }
}

// A looping chain full of live rows lists each of its pages once per step:
// the walk bound and the budget keep the list in proportion.
TEST(ChainWalk, LoopOverFullPagesStaysBounded) {
  const std::vector<std::uint16_t> slots(f::kMaxSlotsPerPage, 0);
  auto c = one_table(19, 4, 0, [&](ImageBuilder& b, std::uint32_t p) { b.set_row_index(p, slots); });
  Image& image = c.image;
  testing::put_u32(image, std::uint64_t{c.data_pages.back()} * kPage + f::kNextPageOffset, c.data_pages.front());
  testing::put_u32(image, f::kDirectoryOffset + f::kEntryLastPageOffset, 0x7FFFFFFF);
  const Load result = load(image);
  EXPECT_FALSE(result.ok);
  EXPECT_LE(result.peak, allowed_peak(image));
}

}  // namespace
}  // namespace vantrel_pdb
