#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "format/coding.h"
#include "format/format.h"
#include "format/validate.h"
#include "vantrel_pdb/files.h"

namespace vantrel_pdb {
namespace {

namespace fs = std::filesystem;

// A directory of its own per test, removed afterwards.
class ReadFile : public ::testing::Test {
 public:
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->name()) + "_" + std::to_string(::getpid());
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised names hold one
    dir_ = fs::path(::testing::TempDir()) / ("vantrel_read_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// Bytes that tell their positions apart.
std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

void write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ReadFileSize : public ReadFile, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ReadFileSize, GivesExactlyTheBytes) {
  const auto bytes = pattern(GetParam());
  write(path("image"), bytes);
  auto read = read_file(path("image"));
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(*read, bytes);
}

// Empty, one byte, whole pages, and past the first chunk of a file of
// unknown size.
INSTANTIATE_TEST_SUITE_P(Files, ReadFileSize, ::testing::Values(0u, 1u, 4096u, 3 * 4096u + 5u, 200'000u));

TEST_F(ReadFile, ReadsAPipeToItsEnd) {
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  const auto bytes = pattern(300'000);  // several chunks
  std::thread writer([&] { write(path("pipe"), bytes); });
  auto read = read_file(path("pipe"));
  writer.join();
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(*read, bytes);
}

// read_database_file looks at the first page before it reads the rest.
struct DatabaseFileCase {
  const char* name;
  std::uint64_t size;  // the file's size; only the first page is written
  std::vector<std::uint8_t> first_page;
  const char* message;  // nullptr: read whole
};

class ReadDatabaseFile : public ReadFile, public ::testing::WithParamInterface<DatabaseFileCase> {};

TEST_P(ReadDatabaseFile, RefusesByTheFirstPage) {
  const auto& c = GetParam();
  write(path("db"), c.first_page);
  ASSERT_EQ(::truncate(path("db").c_str(), static_cast<off_t>(c.size)), 0);  // sparse beyond the page
  auto read = read_database_file(path("db"));
  if (c.message == nullptr) {
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->size(), c.size);
    EXPECT_TRUE(std::equal(c.first_page.begin(), c.first_page.end(), read->begin()));
  } else {
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message(), c.message);
  }
}

std::vector<std::uint8_t> page_with_size(std::uint32_t page_size) {
  std::vector<std::uint8_t> page = pattern(4096);
  encode_fixed32(page.data() + format::kPageSizeOffset, page_size);
  return page;
}

// The 8 GiB files are sparse: refused after one page, they cost none of it.
const DatabaseFileCase kDatabaseFiles[] = {
    {"TwoPages", 2 * 4096, page_with_size(4096), nullptr},
    {"NotWholePages", 3 * 4096 + 5, page_with_size(4096), kInvalidPageSize},
    {"HugeNotWholePages", (std::uint64_t{8} << 30) + 1, page_with_size(4096), kInvalidPageSize},
    {"HugeOtherPageSize", std::uint64_t{8} << 30, page_with_size(8192), kInvalidPageSize},
    {"Empty", 0, {}, kInvalidPageSize},
};

INSTANTIATE_TEST_SUITE_P(Files, ReadDatabaseFile, ::testing::ValuesIn(kDatabaseFiles),
                         [](const auto& test) { return std::string(test.param.name); });

// A database read from a FIFO: its first page first, then no further than
// the pages its header reaches.
struct StreamCase {
  const char* name;
  std::uint32_t next_unused_page;
  std::uint32_t directory_last_page;  // of the one table entry; 0: no entry
  std::uint64_t size;                 // bytes the writer offers; 0: until the reader goes
  std::uint32_t page_size = 4096;
  const char* message = nullptr;  // nullptr: read whole
};

class ReadDatabaseStream : public ReadFile, public ::testing::WithParamInterface<StreamCase> {};

// The first page of the case, then zero pages.
std::vector<std::uint8_t> stream_start(const StreamCase& c) {
  std::vector<std::uint8_t> page(4096, 0);
  encode_fixed32(page.data() + format::kPageSizeOffset, c.page_size);
  encode_fixed32(page.data() + format::kNextUnusedPageOffset, c.next_unused_page);
  if (c.directory_last_page != 0) {
    encode_fixed32(page.data() + format::kTableCountOffset, 1);
    encode_fixed32(page.data() + format::kDirectoryOffset + format::kEntryFirstPageOffset, 1);
    encode_fixed32(page.data() + format::kDirectoryOffset + format::kEntryLastPageOffset, c.directory_last_page);
  }
  return page;
}

TEST_P(ReadDatabaseStream, ReadsNoFurtherThanTheHeaderReaches) {
  const StreamCase& c = GetParam();
  std::signal(SIGPIPE, SIG_IGN);  // the writer of an endless stream meets a closed FIFO
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  const std::vector<std::uint8_t> start = stream_start(c);
  std::thread writer([&] {
    const int fd = ::open(path("pipe").c_str(), O_WRONLY);
    if (fd < 0) return;
    const std::vector<std::uint8_t> zeros(4096, 0);
    std::uint64_t written = 0;
    for (bool first = true; c.size == 0 || written < c.size; first = false) {
      const auto& chunk = first ? start : zeros;
      const std::size_t n = c.size == 0 ? chunk.size() : std::min<std::uint64_t>(chunk.size(), c.size - written);
      if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) break;
      written += n;
    }
    ::close(fd);
  });
  auto read = read_database_file(path("pipe"));
  writer.join();
  if (c.message == nullptr) {
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->size(), c.size);
    EXPECT_TRUE(std::equal(start.begin(), start.end(), read->begin()));
  } else {
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message(), c.message);
  }
}

const StreamCase kStreams[] = {
    {"TwoPages", 2, 0, 2 * 4096},
    {"ShorterThanItsReach", 41, 0, 3 * 4096},
    {"DirectoryReachesFurther", 2, 7, 8 * 4096},
    {"PastItsReach", 2, 0, 10 * 4096, 4096,
     "not a regular file, and it goes on past the 2 pages that its header reaches"},
    {"PastTheDirectorysReach", 2, 7, 9 * 4096, 4096,
     "not a regular file, and it goes on past the 8 pages that its header reaches"},
    {"EndlessZerosAfterAHeader", 41, 0, 0, 4096,
     "not a regular file, and it goes on past the 41 pages that its header reaches"},
    {"ShortOfAPage", 1, 0, 100, 4096, kInvalidPageSize},
    {"OtherPageSize", 1, 0, 0, 8192, kInvalidPageSize},
    {"EndlessZeros", 0, 0, 0, 0, kInvalidPageSize},
};

INSTANTIATE_TEST_SUITE_P(Files, ReadDatabaseStream, ::testing::ValuesIn(kStreams),
                         [](const auto& test) { return std::string(test.param.name); });

// A device is judged by its first page and refused in words that say so.
TEST(ReadDevice, RefusesADeviceThatHoldsNoDatabase) {
  auto read = read_database_file("/dev/zero");
  ASSERT_FALSE(read);
  EXPECT_TRUE(read.error().is<pdb_error::File>());
  EXPECT_EQ(read.error().message(), "character device that holds no database (Invalid PDB page size/length)");
}

// From where the descriptor stands, with the spare room asked for.
TEST_F(ReadFile, ReadsADescriptorFromItsPosition) {
  const auto bytes = pattern(10'000);
  write(path("plain"), bytes);
  const int fd = ::open(path("plain").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  auto read = read_descriptor(fd, 64);
  ::close(fd);
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(*read, std::vector<std::uint8_t>(bytes.begin() + 100, bytes.end()));
  EXPECT_GE(read->capacity(), read->size() + 64);
  EXPECT_FALSE(read_descriptor(-1));
}

struct BadPath {
  const char* name;
  std::string (*make)(const ReadFile&);
  const char* message;
};

class UnreadablePath : public ReadFile, public ::testing::WithParamInterface<BadPath> {};

TEST_P(UnreadablePath, FailsWithTheSystemsText) {
  const std::string bad = GetParam().make(*this);
  for (auto read : {read_file(bad), read_database_file(bad)}) {
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().is<pdb_error::File>());
    EXPECT_EQ(read.error().message(), GetParam().message);
  }
}

const BadPath kBadPaths[] = {
    {"Missing", [](const ReadFile& t) { return t.path("absent.pdb"); }, "No such file or directory (os error 2)"},
    {"Empty", [](const ReadFile&) { return std::string(); }, "No such file or directory (os error 2)"},
    {"Directory", [](const ReadFile& t) { return t.path(""); }, "Is a directory (os error 21)"},
    {"UnderAFile",
     [](const ReadFile& t) {
       write(t.path("plain"), {1});
       return t.path("plain/deeper.pdb");
     },
     "Not a directory (os error 20)"},
    // The system would read "plain" instead.
    {"NulInPath",
     [](const ReadFile& t) {
       write(t.path("plain"), {1});
       return t.path("plain") + std::string(1, '\0') + "x";
     },
     "file path contains a NUL byte"},
};

INSTANTIATE_TEST_SUITE_P(Files, UnreadablePath, ::testing::ValuesIn(kBadPaths),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vantrel_pdb
