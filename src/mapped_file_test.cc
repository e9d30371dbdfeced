#include "mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "database_file.h"
#include "format/blank_image.h"
#include "scratch_dir_test_util.h"

namespace dovrel {
namespace {

// Whether the page holding `p` is mapped in this process now (its page
// table entry is present), from /proc/self/pagemap; nothing where that
// cannot be read.
std::optional<bool> resident(const void* p) {
  const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::uint64_t entry = 0;
  const auto page = reinterpret_cast<std::uintptr_t>(p) / 4096;
  const bool read = ::pread(fd, &entry, sizeof entry, static_cast<off_t>(page * sizeof entry)) == sizeof entry;
  ::close(fd);
  if (!read) return std::nullopt;
  return (entry >> 63) != 0;
}

TEST(MappedFile, HoldsTheFileBytesAsReadingDoes) {
  scratch::ScratchDir dir;
  const std::vector<std::uint8_t> image = vantrel_pdb::make_blank_image();
  const std::string path = dir.write("blank.pdb", image);
  auto mapped = map_database_file(path);
  ASSERT_TRUE(mapped && *mapped);
  const auto bytes = (*mapped)->bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), image);
  // Pages let go of come back from the file as they were.
  (*mapped)->release_resident();
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

// The rest of a regular file from the descriptor's offset: its bytes, then
// zeros for the padding wherever the text ends in its page (well inside, a
// padding's width from the end, exactly at it), and the offset at the end.
TEST(MappedRest, HoldsTheRestWithZerosAfterItAndMovesTheOffset) {
  scratch::ScratchDir dir;
  constexpr std::size_t kPadding = 64;
  struct Case {
    std::size_t size, offset;
  };
  for (const Case c : {Case{5000, 0}, Case{4096 - kPadding, 0}, Case{4096, 0}, Case{8192 + 100, 100},
                       Case{8192, 4096 + 10}, Case{3 * 4096 - 1, 4095}}) {
    std::vector<std::uint8_t> bytes(c.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::string path = dir.write("request.json", bytes);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(c.offset), SEEK_SET), static_cast<off_t>(c.offset));
    {
      auto mapped = map_rest_of_descriptor(fd, 1, kPadding);
      ASSERT_TRUE(mapped) << c.size << " " << c.offset;
      const auto rest = mapped->bytes();
      EXPECT_TRUE(std::equal(rest.begin(), rest.end(), bytes.begin() + static_cast<std::ptrdiff_t>(c.offset),
                             bytes.end()));
      EXPECT_EQ(rest.size(), c.size - c.offset);
      for (std::size_t i = 0; i < kPadding; ++i) ASSERT_EQ(rest.data()[rest.size() + i], 0) << i;
      EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(c.size));
      // Let go of before a byte, only the whole pages before it go.
      for (const std::size_t before : {std::size_t{0}, std::size_t{1}, rest.size() / 2, rest.size(), rest.size() + 5}) {
        for (std::size_t i = 0; i < rest.size(); i += 512) ASSERT_EQ(rest.data()[i], bytes[c.offset + i]);
        mapped->release_resident_before(before);
        const auto cut = reinterpret_cast<std::uintptr_t>(rest.data()) + std::min(before, rest.size());
        for (std::size_t i = 0; i < rest.size(); i += 512) {
          const auto at = reinterpret_cast<std::uintptr_t>(rest.data()) + i;
          if (const auto mapped_now = resident(rest.data() + i)) {
            ASSERT_EQ(*mapped_now, (at | 4095) >= cut) << c.size << " " << c.offset << " " << before << " " << i;
          }
        }
      }
      // Let go of, the file's pages and the zeros after them come back.
      mapped->release_resident();
      EXPECT_TRUE(
          std::equal(rest.begin(), rest.end(), bytes.begin() + static_cast<std::ptrdiff_t>(c.offset), bytes.end()));
      for (std::size_t i = 0; i < kPadding; ++i) ASSERT_EQ(rest.data()[rest.size() + i], 0) << i;
    }
    ::close(fd);
  }
}

// What is not mapped is left to reading, from where it was.
TEST(MappedRest, LeavesPipesShortFilesAndTheEndToReading) {
  scratch::ScratchDir dir;
  const std::string path = dir.write("short.json", std::vector<std::uint8_t>(100, 'x'));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(map_rest_of_descriptor(fd, 101, 64));
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  ASSERT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  EXPECT_FALSE(map_rest_of_descriptor(fd, 0, 64));
  ::close(fd);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  EXPECT_FALSE(map_rest_of_descriptor(ends[0], 0, 64));
  ::close(ends[0]);
  ::close(ends[1]);
}

// A request cut short under its mapping is named as standard input, while
// a database mapped beside it keeps its own message.
TEST(MappedFileDeathTest, RequestCutShortUnderTheMappingNamesStandardInput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  scratch::ScratchDir dir;
  const std::string database = dir.write("kept.pdb", vantrel_pdb::make_blank_image());
  const std::string path = dir.write("request.json", std::vector<std::uint8_t>(5 * 4096, ' '));
  EXPECT_EXIT(
      {
        auto input = map_database_file(database);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        auto mapped = map_rest_of_descriptor(fd, 0, 64);
        if (!input || !*input || !mapped) std::_Exit(3);
        if (::truncate(path.c_str(), 0) != 0) std::_Exit(4);
        volatile std::uint8_t byte = mapped->bytes()[3 * 4096];
        (void)byte;
        std::_Exit(5);
      },
      ::testing::ExitedWithCode(1), "standard input was cut short while it was being read");
}

}  // namespace
}  // namespace dovrel
