#include "format/validate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/format.h"
#include "testing/image_builder.h"
#include "vantrel_pdb/files.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
using testing::get_u32;
using testing::ImageBuilder;
using testing::put_u32;

using Image = std::vector<std::uint8_t>;

std::string check(const Image& image) {
  auto ok = validate(image);
  return ok ? "ok" : ok.error().message();
}

std::uint64_t entry(std::uint32_t i) { return f::kDirectoryOffset + f::kTableEntrySize * i; }
std::uint64_t page(std::uint32_t p) { return std::uint64_t{p} * 4096; }

// Two tables: kind 0 with pages 1 (header), 2, 3; kind 5 with page 4 alone.
Image two_tables() {
  ImageBuilder b;
  auto t = b.add_table(0);
  b.add_data_page(t);
  b.add_data_page(t);
  b.add_table(5);
  return b.finish();
}

TEST(Validate, WellFormedImagesPass) {
  EXPECT_EQ(check(two_tables()), "ok");
  ImageBuilder blank;
  for (std::uint32_t kind = 0; kind < 20; ++kind) blank.add_table(kind);
  EXPECT_EQ(check(blank.finish()), "ok");
  // A header with no tables at all.
  EXPECT_EQ(check(ImageBuilder().finish()), "ok");
}

TEST(Validate, LengthMustBeWholePages) {
  for (std::size_t length : {0u, 1u, 8u, 4095u, 4097u, 8191u, 12289u}) {
    Image image(length, 0);
    if (length >= 8) put_u32(image, f::kPageSizeOffset, 4096);
    EXPECT_EQ(check(image), kInvalidPageSize) << length;
  }
  Image one_page(4096, 0);
  put_u32(one_page, f::kPageSizeOffset, 4096);
  EXPECT_EQ(check(one_page), "ok");
}

TEST(Validate, PageSizeFieldMustBe4096) {
  for (std::uint32_t size : {0u, 512u, 4095u, 8192u, 0xFFFFFFFFu}) {
    Image image(8192, 0);
    put_u32(image, f::kPageSizeOffset, size);
    EXPECT_EQ(check(image), kInvalidPageSize) << size;
  }
}

TEST(Validate, AtMost200Tables) {
  Image image(4096, 0);
  put_u32(image, f::kPageSizeOffset, 4096);
  put_u32(image, f::kTableCountOffset, 201);
  EXPECT_EQ(check(image), kInvalidTableCount);
  put_u32(image, f::kTableCountOffset, 0xFFFFFFFF);
  EXPECT_EQ(check(image), kInvalidTableCount);
  // 200 passes the count; its all-zero entries then fail on page 0.
  put_u32(image, f::kTableCountOffset, 200);
  EXPECT_EQ(check(image), kInvalidPageChain);
}

TEST(Validate, TwoHundredValidTablesPass) {
  ImageBuilder b;
  for (std::uint32_t i = 0; i < 200; ++i) b.add_table(i % 20);
  EXPECT_EQ(check(b.finish()), "ok");
}

struct Corruption {
  const char* name;
  void (*apply)(Image&);
  const char* message;
};

void PrintTo(const Corruption& c, std::ostream* os) { *os << c.name; }

class ValidateCorruption : public ::testing::TestWithParam<Corruption> {};

TEST_P(ValidateCorruption, IsReported) {
  Image image = two_tables();
  GetParam().apply(image);
  EXPECT_EQ(check(image), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, ValidateCorruption,
    ::testing::Values(
        Corruption{"FirstPageZero", [](Image& i) { put_u32(i, entry(0) + f::kEntryFirstPageOffset, 0); },
                   kInvalidPageChain},
        Corruption{"NextPageZero", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 0); }, kInvalidPageChain},
        Corruption{"LoopBackToHeader", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 1); },
                   kInvalidPageChain},
        Corruption{"LoopOnItself", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 2); }, kInvalidPageChain},
        // The walk passes page 3 and follows its next_page off the file.
        Corruption{"LastPageNeverReached", [](Image& i) { put_u32(i, entry(0) + f::kEntryLastPageOffset, 4); },
                   kInvalidPageChain},
        // Page 4 belongs to the other table: its kind gives it away.
        Corruption{"ChainRunsIntoOtherTable", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 4); },
                   kPageIdentityMismatch},
        Corruption{"NextPagePastEnd", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 5); }, kInvalidPageChain},
        Corruption{"NextPageFarPastEnd", [](Image& i) { put_u32(i, page(2) + f::kNextPageOffset, 0xFFFFFFFF); },
                   kInvalidPageChain},
        Corruption{"FirstPagePastEnd", [](Image& i) { put_u32(i, entry(1) + f::kEntryFirstPageOffset, 5); },
                   kInvalidPageChain},
        Corruption{"WrongPageIndex", [](Image& i) { put_u32(i, page(3) + f::kPageIndexOffset, 2); },
                   kPageIdentityMismatch},
        Corruption{"WrongPageKind", [](Image& i) { put_u32(i, page(2) + f::kPageKindOffset, 1); },
                   kPageIdentityMismatch},
        Corruption{"WrongEntryKind", [](Image& i) { put_u32(i, entry(1) + f::kEntryKindOffset, 6); },
                   kPageIdentityMismatch},
        // Directory order decides: table 0's mismatch before table 1's chain.
        Corruption{"FirstFailureWins",
                   [](Image& i) {
                     put_u32(i, page(1) + f::kPageKindOffset, 9);
                     put_u32(i, entry(1) + f::kEntryFirstPageOffset, 0);
                   },
                   kPageIdentityMismatch}),
    [](const ::testing::TestParamInfo<Corruption>& param_info) { return std::string(param_info.param.name); });

TEST(Validate, UnreadFieldsDoNotMatter) {
  Image image = two_tables();
  // The last page's next_page and the empty_candidate are never followed.
  put_u32(image, page(3) + f::kNextPageOffset, 0);
  put_u32(image, page(4) + f::kNextPageOffset, 0xFFFFFFFF);
  put_u32(image, entry(0) + f::kEntryEmptyCandidateOffset, 0);
  EXPECT_EQ(check(image), "ok");
}

TEST(Validate, TablesMayShareChains) {
  Image image = two_tables();
  // A third entry of kind 0 over the same pages 1 to 3.
  put_u32(image, f::kTableCountOffset, 3);
  for (std::uint64_t field = 0; field < f::kTableEntrySize; field += 4) {
    put_u32(image, entry(2) + field, get_u32(image, entry(0) + field));
  }
  EXPECT_EQ(check(image), "ok");
  // Starting in the middle of the shared chain is as good.
  put_u32(image, entry(2) + f::kEntryFirstPageOffset, 2);
  EXPECT_EQ(check(image), "ok");
}

TEST(Validate, LongChainsAreWalkedWithoutFalseLoops) {
  ImageBuilder b;
  auto t = b.add_table(8);
  for (int i = 0; i < 300; ++i) b.add_data_page(t);
  auto u = b.add_table(7);
  for (int i = 0; i < 300; ++i) b.add_data_page(u);
  Image image = b.finish();
  EXPECT_EQ(check(image), "ok");
  // The second chain's last page points back into its own chain: not a loop,
  // since the walk ends at last_page; make it one by moving last_page away.
  std::uint32_t last = get_u32(image, entry(1) + f::kEntryLastPageOffset);
  put_u32(image, page(last) + f::kNextPageOffset, last - 10);
  EXPECT_EQ(check(image), "ok");
  put_u32(image, entry(1) + f::kEntryLastPageOffset, 0xFFFFFFF0);
  EXPECT_EQ(check(image), kInvalidPageChain);
}

// The check of a file's start refuses exactly what validate's length and
// page-size test refuses, given only the first page and the size.
TEST(Validate, FileStartAgreesWithTheWholeCheck) {
  Image good = two_tables();
  Image bad_size = good;
  put_u32(bad_size, f::kPageSizeOffset, 2048);
  Image cut = good;
  cut.resize(cut.size() - 1);
  for (const Image* image : {&good, &bad_size, &cut}) {
    const Bytes start = Bytes(*image).first(std::min<std::size_t>(image->size(), kFileStartSize));
    const bool whole_refused = !validate(*image) && validate(*image).error().message() == kInvalidPageSize;
    EXPECT_EQ(!validate_file_start(start, image->size()), whole_refused);
  }
  EXPECT_FALSE(validate_file_start({}, 0));
  EXPECT_FALSE(validate_file_start(Bytes(good).first(100), 4096));
}

}  // namespace
}  // namespace vantrel_pdb
