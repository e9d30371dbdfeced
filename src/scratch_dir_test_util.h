// Test helper: a fresh directory per test for the files a test writes, with
// whole-file reads and writes and a listing, so that tests can state that an
// output appeared whole, or that nothing (no temporary file either) did.
#ifndef DOVREL_SCRATCH_DIR_TEST_UTIL_H_
#define DOVREL_SCRATCH_DIR_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dovrel::scratch {

namespace fs = std::filesystem;

// A directory under the test temporary directory, named after the running
// test and the process, emptied on creation and removed (with all that is
// in it) on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name() + "_" + std::to_string(::getpid());
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::path(::testing::TempDir()) / ("dovrel_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    // A test may have left a directory without write permission behind.
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
      if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(dir_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& dir() const { return dir_; }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Writes `bytes` as the whole file `name` (relative to the directory).
  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::string p = path(name);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

  // The names in `sub` (relative to the directory), sorted.
  std::vector<std::string> list(const std::string& sub = ".") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / sub)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path dir_;
};

// The whole content of the file at `path` (followed through links); empty
// when it cannot be opened.
inline std::vector<std::uint8_t> read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace dovrel::scratch

#endif  // DOVREL_SCRATCH_DIR_TEST_UTIL_H_
