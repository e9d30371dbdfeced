#include "format/page_chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/image_builder.h"

namespace vantrel_pdb::format {
namespace {

using ByteVec = std::vector<std::uint8_t>;
constexpr std::uint64_t kPage = 4096;

// Six pages; page p links to links[p - 1].
ByteVec linked(std::vector<std::uint32_t> links) {
  ByteVec image(kPage * (links.size() + 1), 0);
  for (std::size_t p = 1; p <= links.size(); ++p) testing::put_u32(image, p * kPage + kNextPageOffset, links[p - 1]);
  return image;
}

struct ChainCase {
  const char* name;
  ByteVec image;
  std::uint64_t page_size;
  TableEntry entry;
  std::vector<std::uint32_t> visited;
  const char* error;  // "" for a chain that reaches its last page
};

class PageChainWalk : public ::testing::TestWithParam<ChainCase> {};

TEST_P(PageChainWalk, VisitsPagesInChainOrderAndEndsWithinTheImage) {
  const auto& c = GetParam();
  PageChain chain(c.image, c.page_size, c.entry);
  std::vector<std::uint32_t> visited;
  while (chain.next()) {
    visited.push_back(chain.index());
    EXPECT_EQ(chain.start(), chain.index() * c.page_size);
    EXPECT_EQ(chain.page().size(), c.page_size);
  }
  EXPECT_EQ(visited, c.visited);
  EXPECT_FALSE(chain.next());  // stays ended
  auto status = chain.status();
  EXPECT_EQ(status ? std::string() : status.error().message(), c.error);
}

const char kBroken[] = "io error: page chain of table kind 3 leaves the image or never reaches its last page";

INSTANTIATE_TEST_SUITE_P(
    Cases, PageChainWalk,
    ::testing::Values(
        ChainCase{"one_page", linked({9, 0, 0, 0, 0, 0}), kPage, {3, 9, 1, 1}, {1}, ""},
        ChainCase{"out_of_order", linked({5, 1, 0, 0, 3, 0}), kPage, {3, 0, 2, 3}, {2, 1, 5, 3}, ""},
        // Page 0 is a page like any other to the walk; rules about it are the caller's.
        ChainCase{"through_page_0", linked({0, 1, 0, 0, 0, 0}), kPage, {3, 0, 2, 0}, {2, 1, 0}, ""},
        ChainCase{"first_page_outside", linked({0, 0, 0, 0, 0, 0}), kPage, {3, 0, 7, 1}, {}, kBroken},
        ChainCase{"leaves_the_image", linked({2, 70, 0, 0, 0, 0}), kPage, {3, 0, 1, 4}, {1, 2}, kBroken},
        // Seven pages, so the seventh step fails however the loop runs.
        ChainCase{"loop", linked({2, 1, 0, 0, 0, 0}), kPage, {3, 0, 1, 4}, {1, 2, 1, 2, 1, 2, 1}, kBroken},
        ChainCase{"no_whole_page", ByteVec(100, 0), kPage, {3, 0, 0, 0}, {}, kBroken},
        ChainCase{"page_size_too_small", ByteVec(400, 0), 39, {3, 0, 1, 1}, {}, "io error: page size 39 is too small"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(PageChain, CallerMayStopEarly) {
  ByteVec image = linked({2, 3, 0, 0, 0, 0});
  PageChain chain(image, kPage, {3, 0, 1, 3});
  ASSERT_TRUE(chain.next());
  EXPECT_TRUE(chain.status());
}

}  // namespace
}  // namespace vantrel_pdb::format
