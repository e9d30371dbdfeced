#include "mapped_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "database_file.h"
#include "format/blank_image.h"
#include "scratch_dir_test_util.h"

namespace dovrel {
namespace {

TEST(MappedFile, HoldsTheFileBytesAsReadingDoes) {
  scratch::ScratchDir dir;
  const std::vector<std::uint8_t> image = vantrel_pdb::make_blank_image();
  const std::string path = dir.write("blank.pdb", image);
  auto mapped = map_database_file(path);
  ASSERT_TRUE(mapped && *mapped);
  const auto bytes = (*mapped)->bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), image);
}

// What cannot be mapped is left to read_database_file, which says why.
TEST(MappedFile, LeavesDirectoriesAndMissingFilesToReading) {
  scratch::ScratchDir dir;
  for (const std::string& path : {dir.dir().string(), dir.path("missing.pdb")}) {
    auto mapped = map_database_file(path);
    ASSERT_TRUE(mapped) << path;
    EXPECT_FALSE(*mapped) << path;
    EXPECT_FALSE(read_database_file(path)) << path;
  }
}

// The first page is checked before mapping, with read_database_file's errors.
TEST(MappedFile, RefusesABadFirstPageAsReadingDoes) {
  scratch::ScratchDir dir;
  for (const std::vector<std::uint8_t>& bytes :
       {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>(100, 0), std::vector<std::uint8_t>(8192, 0)}) {
    const std::string path = dir.write("bad.pdb", bytes);
    auto mapped = map_database_file(path);
    auto read = read_database_file(path);
    ASSERT_FALSE(mapped) << bytes.size();
    ASSERT_FALSE(read) << bytes.size();
    EXPECT_EQ(mapped.error().message, read.error().message);
  }
}

// Another program cutting the file short under the mapping: the next touch
// of a page past the new end is a bus error, which ends the run as a
// failure with one line, instead of a crash.
TEST(MappedFileDeathTest, FileCutShortUnderTheMappingEndsTheRunWithExitOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  scratch::ScratchDir dir;
  const std::string path = dir.write("cut.pdb", vantrel_pdb::make_blank_image());
  EXPECT_EXIT(
      {
        auto mapped = map_database_file(path);
        if (!mapped || !*mapped) std::_Exit(3);
        if (::truncate(path.c_str(), 0) != 0) std::_Exit(4);
        volatile std::uint8_t byte = (*mapped)->bytes()[3 * 4096];
        (void)byte;
        std::_Exit(5);
      },
      ::testing::ExitedWithCode(1), "input file was cut short while it was being read");
}

}  // namespace
}  // namespace dovrel
