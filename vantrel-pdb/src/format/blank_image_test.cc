#include "format/blank_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/validate.h"
#include "read/database.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

// Offsets and values are written out as numbers here, not taken from the
// format constants, so that a wrong constant cannot hide a wrong byte.
constexpr std::uint64_t kPage = 4096;

using testing::get_u16;
using testing::get_u32;

// The bytes a table header page of kind k must hold, built field by field.
std::vector<std::uint8_t> expected_header_page(std::uint32_t k) {
  std::vector<std::uint8_t> page(kPage, 0);
  const std::uint32_t p = 2 * k + 1;
  auto put32 = [&](std::uint64_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) page[off + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto put16 = [&](std::uint64_t off, std::uint16_t v) {
    page[off] = static_cast<std::uint8_t>(v);
    page[off + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  put32(4, p);
  put32(8, k);
  put32(12, p + 1);
  put32(16, 1);
  page[27] = 0x64;
  put16(32, 0x1FFF);
  put16(34, 0x1FFF);
  put16(36, 1004);
  put32(40, p);
  put32(44, 0x03FFFFFF);
  put32(48, 0x03FFFFFF);
  put16(58, 0x1FFF);
  for (std::uint64_t off = 60; off < 4076; off += 4) {
    page[off] = 0xF8;
    page[off + 1] = 0xFF;
    page[off + 2] = 0xFF;
    page[off + 3] = 0x1F;
  }
  return page;
}

std::vector<std::uint8_t> page_bytes(const std::vector<std::uint8_t>& image, std::uint64_t p) {
  return {image.begin() + static_cast<std::ptrdiff_t>(p * kPage),
          image.begin() + static_cast<std::ptrdiff_t>((p + 1) * kPage)};
}

TEST(BlankImage, IsFortyOnePages) {
  EXPECT_EQ(make_blank_image().size(), 167936u);
  EXPECT_EQ(kBlankPageCount, 41u);
  EXPECT_EQ(kBlankTableCount, 20u);
}

TEST(BlankImage, FileHeaderAndDirectory) {
  const auto image = make_blank_image();
  EXPECT_EQ(get_u32(image, 0), 0u);
  EXPECT_EQ(get_u32(image, 4), 4096u);
  EXPECT_EQ(get_u32(image, 8), 20u);
  EXPECT_EQ(get_u32(image, 12), 41u);
  EXPECT_EQ(get_u32(image, 16), 0u);
  EXPECT_EQ(get_u32(image, 20), 1u);
  EXPECT_EQ(get_u32(image, 24), 0u);
  for (std::uint32_t k = 0; k < 20; ++k) {
    const std::uint64_t e = 28 + 16 * std::uint64_t{k};
    EXPECT_EQ(get_u32(image, e), k) << "entry " << k;
    EXPECT_EQ(get_u32(image, e + 4), 2 * k + 2) << "entry " << k;
    EXPECT_EQ(get_u32(image, e + 8), 2 * k + 1) << "entry " << k;
    EXPECT_EQ(get_u32(image, e + 12), 2 * k + 1) << "entry " << k;
  }
  // Nothing after the 20th entry (which ends at 348).
  for (std::uint64_t i = 348; i < kPage; ++i) ASSERT_EQ(image[i], 0) << "byte " << i;
}

TEST(BlankImage, HeaderPagesHoldEveryFieldAndNothingElse) {
  const auto image = make_blank_image();
  for (std::uint32_t k = 0; k < 20; ++k) {
    EXPECT_EQ(page_bytes(image, 2 * k + 1), expected_header_page(k)) << "kind " << k;
  }
  // Spot checks in the page's own words, the pieces the reader relies on.
  const std::uint64_t p27 = 27 * kPage;  // artwork
  EXPECT_EQ(get_u32(image, p27 + 4), 27u);
  EXPECT_EQ(get_u32(image, p27 + 8), 13u);
  EXPECT_EQ(get_u32(image, p27 + 12), 28u);
  EXPECT_EQ(image[p27 + 27], 0x64);
  EXPECT_EQ(get_u16(image, p27 + 36), 0x03EC);
  EXPECT_EQ(get_u32(image, p27 + 44), 0x03FFFFFFu);
  EXPECT_EQ(get_u32(image, p27 + 60), 0x1FFFFFF8u);
  EXPECT_EQ(get_u32(image, p27 + 4072), 0x1FFFFFF8u);
  EXPECT_EQ(get_u32(image, p27 + 4076), 0u);
}

TEST(BlankImage, EmptyCandidatePagesAreZero) {
  const auto image = make_blank_image();
  const std::vector<std::uint8_t> zero(kPage, 0);
  for (std::uint64_t p = 2; p <= 40; p += 2) EXPECT_EQ(page_bytes(image, p), zero) << "page " << p;
}

TEST(BlankImage, PassesTheStructureCheckAndDecodesEmpty) {
  const auto image = make_blank_image();
  ASSERT_TRUE(validate(image));
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(db->tables.size(), 20u);
  EXPECT_TRUE(db->tracks.empty());
  EXPECT_TRUE(db->playlist_tree.empty());
}

}  // namespace
}  // namespace vantrel_pdb
