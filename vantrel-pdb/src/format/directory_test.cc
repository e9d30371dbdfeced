#include "format/directory.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/image_builder.h"

namespace vantrel_pdb::format {
namespace {

// A header with page size 4096 and `kinds` as the directory.
std::vector<std::uint8_t> directory_of(std::vector<std::uint32_t> kinds) {
  std::vector<std::uint8_t> image(entry_offset(kinds.size()), 0);
  testing::put_u32(image, kPageSizeOffset, 4096);
  testing::put_u32(image, kTableCountOffset, static_cast<std::uint32_t>(kinds.size()));
  for (std::uint32_t i = 0; i < kinds.size(); ++i) {
    testing::put_u32(image, entry_offset(i) + kEntryKindOffset, kinds[i]);
    testing::put_u32(image, entry_offset(i) + kEntryEmptyCandidateOffset, 100 + i);
    testing::put_u32(image, entry_offset(i) + kEntryFirstPageOffset, 200 + i);
    testing::put_u32(image, entry_offset(i) + kEntryLastPageOffset, 300 + i);
  }
  return image;
}

TEST(Directory, EntriesAndTheFirstAndLastOfAKind) {
  auto image = directory_of({4, 7, 4, 2});
  auto directory = Directory::read(image);
  ASSERT_TRUE(directory) << directory.error().message();
  EXPECT_EQ(directory->page_size(), 4096u);
  EXPECT_EQ(directory->size(), 4u);
  EXPECT_EQ(directory->entry(2), (TableEntry{4, 102, 202, 302}));
  EXPECT_EQ(directory->entries().size(), 4u);
  EXPECT_EQ(directory->first_of(4), 0u);
  EXPECT_EQ(directory->last_of(4), 2u);
  EXPECT_EQ(directory->first_of(2), 3u);
  EXPECT_EQ(directory->last_of(2), 3u);
  EXPECT_FALSE(directory->first_of(5));
  EXPECT_FALSE(directory->last_of(5));
  EXPECT_EQ(entry_offset(3), 76u);
}

TEST(Directory, HeaderAndDirectoryMustLieInsideTheImage) {
  auto image = directory_of({1, 2});
  EXPECT_TRUE(Directory::read(image));
  image.pop_back();  // the last entry is cut short
  EXPECT_EQ(Directory::read(image).error().message(),
            "io error: table directory of 2 entries runs past the end of the image");
  EXPECT_TRUE(FileHeader::read(image));
  image.resize(27);
  EXPECT_EQ(FileHeader::read(image).error().message(), "io error: image of 27 bytes has no file header");
  EXPECT_EQ(Directory::read(image).error().message(), "io error: image of 27 bytes has no file header");
  EXPECT_TRUE(Directory::read(directory_of({})));
}

}  // namespace
}  // namespace vantrel_pdb::format
