#include "ordered_blocks.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace dovrel {
namespace {

// Each item i renders as "i;", so the blocks joined must be 0;1;2;... with
// every block one run of kItemsPerBlock items (the last one shorter).
std::string expected_text(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += std::to_string(i) + ";";
  return text;
}

Result<void> render_items(std::size_t begin, std::size_t end, JsonWriter& block) {
  for (std::size_t i = begin; i < end; ++i) block.raw(std::to_string(i) + ";");
  return {};
}

// Counts below and above the second thread's threshold, whole blocks and not.
class OrderedBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OrderedBlocks, HandsEveryBlockOverOnceInOrder) {
  const std::size_t count = GetParam();
  std::vector<std::string> blocks;
  auto ok = render_in_ordered_blocks(count, kItemsPerBlock, render_items, [&](std::string_view block) -> Result<void> {
    blocks.emplace_back(block);
    return {};
  });
  ASSERT_TRUE(ok);
  EXPECT_EQ(blocks.size(), (count + kItemsPerBlock - 1) / kItemsPerBlock);
  std::string text;
  for (const std::string& block : blocks) text += block;
  EXPECT_EQ(text, expected_text(count));
}

INSTANTIATE_TEST_SUITE_P(Counts, OrderedBlocks,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, kItemsPerBlock, kItemsPerBlock + 1,
                                           kWorthASecondThread, kWorthASecondThread + 3 * kItemsPerBlock + 7));

// The first block that fails to render, on either thread, is the result;
// the blocks before it have gone to the sink and none after it.
TEST(OrderedBlocksFailure, StopsAtTheFirstBlockThatFailsToRender) {
  const std::size_t count = kWorthASecondThread + 5 * kItemsPerBlock;
  for (std::size_t failing : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{9}}) {
    std::size_t handed = 0;
    auto ok = render_in_ordered_blocks(
        count, kItemsPerBlock,
        [&](std::size_t begin, std::size_t end, JsonWriter& block) -> Result<void> {
          const std::size_t b = begin / kItemsPerBlock;
          // A later block fails too: only the first one counts.
          if (b == failing || b == failing + 3) return fail("block " + std::to_string(b));
          return render_items(begin, end, block);
        },
        [&](std::string_view) -> Result<void> {
          ++handed;
          return {};
        });
    ASSERT_FALSE(ok);
    EXPECT_EQ(ok.error().message, "block " + std::to_string(failing));
    EXPECT_EQ(handed, failing);
  }
}

// An exception of either thread reaches the caller once both have ended.
TEST(OrderedBlocksFailure, ThrowsOnTheCallersThreadAfterBothThreads) {
  for (std::size_t throwing : {std::size_t{0}, std::size_t{1}}) {
    const auto run = [&] {
      return render_in_ordered_blocks(
          kWorthASecondThread * 2, kItemsPerBlock,
          [&](std::size_t begin, std::size_t end, JsonWriter& block) -> Result<void> {
            if (begin / kItemsPerBlock == throwing) throw std::bad_alloc();
            return render_items(begin, end, block);
          },
          [](std::string_view) -> Result<void> { return {}; });
    };
    EXPECT_THROW(run(), std::bad_alloc) << "block " << throwing;
  }
}

}  // namespace
}  // namespace dovrel
