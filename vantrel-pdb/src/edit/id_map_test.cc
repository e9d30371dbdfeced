#include "edit/id_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vantrel_pdb {
namespace {

// The same calls on a table-backed map and a hash-backed one behave as
// std::map does.
class IdMapForms : public ::testing::TestWithParam<std::optional<std::uint32_t>> {};

TEST_P(IdMapForms, BehavesAsOneMap) {
  IdMap map(GetParam());
  std::map<std::uint32_t, std::uint32_t> model;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs = {
      {0, 0}, {5, 50}, {5, 51}, {99, 7}, {100, 8}, {101, 9}, {4294967295u, 1}, {3000000000u, 2}, {99, 3}};
  for (auto [key, value] : pairs) {
    EXPECT_EQ(map.emplace(key, value), model.emplace(key, value).second) << key;  // the first value stays
  }
  EXPECT_EQ(map.size(), model.size());
  for (std::uint32_t key : {0u, 1u, 5u, 98u, 99u, 100u, 101u, 102u, 3000000000u, 4294967295u}) {
    auto it = model.find(key);
    EXPECT_EQ(map.find(key), it == model.end() ? std::nullopt : std::optional<std::uint32_t>(it->second)) << key;
    EXPECT_EQ(map.contains(key), it != model.end()) << key;
  }
  std::map<std::uint32_t, std::uint32_t> seen;
  map.for_each([&seen](std::uint32_t key, std::uint32_t value) { seen.emplace(key, value); });
  EXPECT_EQ(seen, model);

  IdMap back = map.inverted();
  EXPECT_EQ(back.size(), model.size());
  for (auto [key, value] : model) EXPECT_EQ(back.find(value), key);
}

// A growing table, a table smaller than the keys (the rest overflow to the
// hash map), a table covering every small key.
INSTANTIATE_TEST_SUITE_P(Forms, IdMapForms, ::testing::Values(std::nullopt, 10u, 101u));

TEST(IdMap, DenseBoundOnlyForDenseIds) {
  EXPECT_EQ(IdMap::dense_bound_for(std::vector<std::uint32_t>{}), std::nullopt);
  EXPECT_EQ(IdMap::dense_bound_for(std::vector<std::uint32_t>{0}), 0u);
  EXPECT_EQ(IdMap::dense_bound_for(std::vector<std::uint32_t>{1000, 1003, 1006}), 1006u);
  EXPECT_EQ(IdMap::dense_bound_for(std::vector<std::uint32_t>{4294967295u}), std::nullopt);
  std::vector<std::uint32_t> library;
  for (std::uint32_t i = 0; i < 100000; ++i) library.push_back(1000 + 3 * i);
  EXPECT_EQ(IdMap::dense_bound_for(library), 1000u + 3 * 99999);
  library.push_back(2000000000u);
  EXPECT_EQ(IdMap::dense_bound_for(library), std::nullopt);
}

}  // namespace
}  // namespace vantrel_pdb
