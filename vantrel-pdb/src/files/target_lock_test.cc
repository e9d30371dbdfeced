#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "vantrel_pdb/files.h"

namespace vantrel_pdb {
namespace {

namespace fs = std::filesystem;

// The lock of an existing file and of a file yet to be made (its
// directory): a thread that holds it does not wait for itself, another
// thread waits until it is let go, as another process would.
class TargetLockTest : public ::testing::TestWithParam<bool> {};

TEST_P(TargetLockTest, HolderDoesNotWaitForItselfOthersWait) {
  const bool exists = GetParam();
  const fs::path dir = fs::temp_directory_path() / ("vantrel_pdb_lock_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string target = (dir / "lib.pdb").string();
  if (exists) std::ofstream(target) << "x";

  std::atomic<bool> other_has_it{false};
  std::thread other;
  {
    const TargetLock outer(target);
    ASSERT_TRUE(outer.held());
    {
      const TargetLock inner(target);  // would wait for ever if it flocked again
      EXPECT_FALSE(inner.held());
    }
    other = std::thread([&] {
      const TargetLock lock(target);
      other_has_it = lock.held();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(other_has_it.load());
  }
  other.join();
  EXPECT_TRUE(other_has_it.load());
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, TargetLockTest, ::testing::Bool(),
                         [](const auto& param_info) { return param_info.param ? "ExistingFile" : "NewFile"; });

}  // namespace
}  // namespace vantrel_pdb
