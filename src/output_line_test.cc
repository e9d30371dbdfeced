#include "output_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "actions.h"
#include "scratch_dir_test_util.h"

namespace dovrel {
namespace {

// The work beside the printing runs once, on a thread of its own, and is
// done when print() returns, also when the sink fails; a second print()
// does not run it again.
TEST(OutputLineBeside, RunsOnceBesideThePrintingAndIsDoneWhenItReturns) {
  for (const bool sink_fails : {false, true}) {
    std::atomic<int> runs{0};
    std::thread::id ran_on;
    OutputLine line("{}\n");
    line.beside = [&] {
      ran_on = std::this_thread::get_id();
      ++runs;
    };
    const OutputLine::Sink sink = [sink_fails](std::string_view) -> Result<void> {
      if (sink_fails) return fail("standard output is gone");
      return {};
    };
    EXPECT_EQ(line.print(sink).has_value(), !sink_fails);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_NE(ran_on, std::this_thread::get_id());
    (void)line.print(sink);
    EXPECT_EQ(runs.load(), 1);
  }
}

// Files this process holds open that no path names any more.
int deleted_files_held() {
  int held = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.string().ends_with(" (deleted)")) ++held;
  }
  return held;
}

// The file an output replaces is held until the report is printed, and let
// go then: a written line that is never printed lets go as it goes.
TEST(OutputLineBeside, ReplacedFileIsHeldUntilTheReportIsPrinted) {
  scratch::ScratchDir dir;
  const std::string output = dir.write("out.pdb", std::vector<std::uint8_t>(8192, 1));
  Request request;
  request.output = output;
  const std::vector<std::uint8_t> image(4096, 2);
  const int before = deleted_files_held();
  {
    auto line = write_reported(image, OutputLine("{}\n"), request);
    ASSERT_TRUE(line) << line.error().message;
    EXPECT_EQ(scratch::read_whole(output), image);
    EXPECT_EQ(deleted_files_held(), before + 1);
    ASSERT_TRUE(line->print([](std::string_view) -> Result<void> { return {}; }));
    EXPECT_EQ(deleted_files_held(), before);
  }
  auto unprinted = write_reported(image, OutputLine("{}\n"), request);
  ASSERT_TRUE(unprinted);
  EXPECT_EQ(deleted_files_held(), before + 1);
  unprinted = OutputLine();
  EXPECT_EQ(deleted_files_held(), before);
}

}  // namespace
}  // namespace dovrel
