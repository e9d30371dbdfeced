#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "files/metadata_calls_for_testing.h"
#include "files/temp_file_cleanup.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/files.h"

namespace vantrel_pdb {
namespace {

namespace fs = std::filesystem;

// The caller's words start every failure's message; the library's own are
// neutral. A prefix that cannot name a file in the target's directory is
// the caller's mistake, refused before anything is touched.
TEST(WriteFile, FailuresInTheCallersWords) {
  const fs::path dir = fs::temp_directory_path() / ("vantrel_pdb_write_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::vector<std::uint8_t> bytes = {1, 2, 3};
  const std::string absent = (dir / "absent" / "out.pdb").string();
  const std::string reason = ": No such file or directory (os error 2)";

  EXPECT_EQ(write_file(absent, bytes).error().message(), "cannot write " + absent + reason);
  WriteOptions tool;
  tool.temp_prefix = ".tool-";
  tool.failure_prefix = "cannot write output ";
  EXPECT_EQ(write_file(absent, bytes, tool).error().message(), "cannot write output " + absent + reason);

  const std::string target = (dir / "out.pdb").string();
  for (const std::string& prefix : {std::string("a/b"), std::string(56, 'x'), std::string("a\0b", 3)}) {
    WriteOptions bad;
    bad.temp_prefix = prefix;
    auto written = write_file(target, bytes, bad);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().is<pdb_error::Misuse>()) << written.error().message();
  }
  EXPECT_FALSE(fs::exists(target));
  WriteOptions longest;
  longest.temp_prefix = std::string(55, 'x');
  EXPECT_TRUE(write_file(target, bytes, longest));
  EXPECT_EQ(fs::file_size(target), 3u);

  // After the rename only the directory's sync can fail: the file is in place.
  {
    ScopedDirectorySyncForTesting seam([](int) {
      errno = EIO;
      return -1;
    });
    const std::vector<std::uint8_t> longer = {4, 5, 6, 7};
    EXPECT_EQ(write_file(target, longer).error().message(),
              "replaced, but not known to be on disk: " + target +
                  ": syncing its directory failed: Input/output error (os error 5)");
    EXPECT_EQ(fs::file_size(target), 4u);
  }
  fs::remove_all(dir);
}

// A file written in parts holds them one after another, empty parts
// adding nothing; it replaces the old file whole, as one buffer does.
TEST(WriteFile, PartsOneAfterAnother) {
  const fs::path dir = fs::temp_directory_path() / ("vantrel_pdb_parts_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string target = (dir / "out.html").string();
  ASSERT_TRUE(write_file(target, std::vector<std::uint8_t>(9000, 7)));
  const std::vector<std::uint8_t> a = {1, 2}, none, b(70000, 3), c = {4};
  const Bytes parts[] = {a, none, b, c};
  ASSERT_TRUE(write_file(target, std::span<const Bytes>(parts)));
  std::ifstream in(target, std::ios::binary);
  const std::vector<std::uint8_t> read_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> want(2 + 70000 + 1, 3);  // a, b, c
  want[0] = 1;
  want[1] = 2;
  want.back() = 4;
  EXPECT_EQ(read_back, want);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left

  // More parts than one call of the kernel takes, of every size from none
  // to a page and more: each byte in its place.
  std::vector<std::vector<std::uint8_t>> many(5000);
  std::vector<Bytes> many_parts;
  std::vector<std::uint8_t> joined;
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i].assign((i * 37) % 5000, static_cast<std::uint8_t>(i));
    many_parts.push_back(many[i]);
    joined.insert(joined.end(), many[i].begin(), many[i].end());
  }
  ASSERT_TRUE(write_file(target, std::span<const Bytes>(many_parts)));
  std::ifstream again(target, std::ios::binary);
  EXPECT_EQ(std::vector<std::uint8_t>((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()),
            joined);
  fs::remove_all(dir);
}

// A produced file holds the blocks in the order they were put. A producer
// that fails leaves the old file as it was and no temporary behind, and its
// error is the write's; a target refused as it is looked at fails before
// anything is produced.
TEST(WriteFile, ProducedBlockByBlock) {
  const fs::path dir = fs::temp_directory_path() / ("vantrel_pdb_produced_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string target = (dir / "out.csv").string();
  const std::vector<std::uint8_t> old(5000, 9), a = {1, 2, 3}, none, b(70000, 4);
  ASSERT_TRUE(write_file(target, old));
  const auto read_back = [&] {
    std::ifstream in(target, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };

  int produced = 0;
  const BlockProducer put_three = [&](const PutBlock& put) -> std::expected<void, PdbError> {
    ++produced;
    for (Bytes block : {Bytes(a), Bytes(none), Bytes(b)}) {
      if (auto ok = put(block); !ok) return ok;
    }
    return {};
  };
  ASSERT_TRUE(write_file_produced(target, put_three));
  std::vector<std::uint8_t> want = a;
  want.insert(want.end(), b.begin(), b.end());
  EXPECT_EQ(read_back(), want);
  EXPECT_EQ(produced, 1);

  const BlockProducer fails_halfway = [&](const PutBlock& put) -> std::expected<void, PdbError> {
    if (auto ok = put(b); !ok) return ok;
    return std::unexpected(PdbError(pdb_error::Damaged{"row 7 of the tracks"}));
  };
  ASSERT_TRUE(write_file(target, old));
  auto failed = write_file_produced(target, fails_halfway);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), PdbError(pdb_error::Damaged{"row 7 of the tracks"}));
  EXPECT_EQ(read_back(), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left
  const BlockProducer throws_halfway = [&](const PutBlock& put) -> std::expected<void, PdbError> {
    if (auto ok = put(b); !ok) return ok;
    throw std::bad_alloc();
  };
  EXPECT_THROW((void)write_file_produced(target, throws_halfway), std::bad_alloc);
  EXPECT_EQ(read_back(), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  EXPECT_EQ(write_file_produced(target, BlockProducer()).error().message(),
            "invalid call: a produced file needs a producer");
  EXPECT_EQ(read_back(), old);

  produced = 0;
  auto refused = write_file_produced(dir.string(), put_three);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "cannot write " + dir.string() + ": Is a directory (os error 21)");
  EXPECT_EQ(produced, 0);
  fs::remove_all(dir);
}

// The registry of names the signal handler removes: one slot per file
// being written, a full registry refused, a freed slot taken again.
TEST(TempFileRegistry, HoldsOneNamePerFileBeingWritten) {
  CleanupSignalsBlocked blocked;
  std::vector<int> slots;
  for (int i = 0; i < kMaxTempFiles; ++i) slots.push_back(register_temp_file(-1, ".x"));
  for (int i = 0; i < kMaxTempFiles; ++i) EXPECT_EQ(slots[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(register_temp_file(-1, ".full"), -1);
  forget_temp_file(7);
  EXPECT_EQ(register_temp_file(-1, ".again"), 7);
  forget_temp_file(-1);
  for (int slot : slots) forget_temp_file(slot);
}

}  // namespace
}  // namespace vantrel_pdb
