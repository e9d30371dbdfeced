#include "two_halves.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace dovrel {
namespace {

// An exception of either half reaches the caller once both halves have
// ended, instead of ending the process from the helper thread.
struct ThrowingHalf {
  const char* name;
  bool first_throws;
  bool second_throws;
};

class InTwoHalves : public ::testing::TestWithParam<ThrowingHalf> {};

TEST_P(InTwoHalves, ThrowsOnTheCallersThreadAfterBothHalves) {
  const ThrowingHalf& c = GetParam();
  std::atomic<std::size_t> ended{0};
  const auto run = [&] {
    in_two_halves(kWorthASecondThread * 2, [&](std::size_t begin, std::size_t end) {
      ended.fetch_add(end - begin);
      // When no second thread could be had the one call covers both halves.
      if ((begin == 0 && c.first_throws) || (end == kWorthASecondThread * 2 && c.second_throws)) {
        throw std::bad_alloc();
      }
    });
  };
  EXPECT_THROW(run(), std::bad_alloc);
  EXPECT_EQ(ended.load(), kWorthASecondThread * 2);
}

INSTANTIATE_TEST_SUITE_P(TwoHalves, InTwoHalves,
                         ::testing::Values(ThrowingHalf{"First", true, false}, ThrowingHalf{"Second", false, true},
                                           ThrowingHalf{"Both", true, true}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(InTwoHalvesTest, CoversEveryItemOnceWithoutAnException) {
  std::atomic<std::size_t> covered{0};
  in_two_halves(kWorthASecondThread + 1, [&](std::size_t begin, std::size_t end) { covered.fetch_add(end - begin); });
  EXPECT_EQ(covered.load(), kWorthASecondThread + 1);
}

}  // namespace
}  // namespace dovrel
