#include "util/id_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vantrel_pdb {
namespace {

// The same calls on a growing map, a table smaller than the ids (the rest
// overflow to the hash map) and a table covering every small id behave as
// std::map does; the set as the map's keys.
class IdMapForms : public ::testing::TestWithParam<std::optional<std::optional<std::uint32_t>>> {};

template <class Map>
Map make(const std::optional<std::optional<std::uint32_t>>& form) {
  return form ? Map(*form) : Map();
}

TEST_P(IdMapForms, BehavesAsOneMap) {
  auto map = make<IdMap<std::uint32_t>>(GetParam());
  auto set = make<IdSet>(GetParam());
  std::map<std::uint32_t, std::uint32_t> model;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs = {
      {0, 0}, {5, 50}, {5, 51}, {99, 7}, {100, 8}, {101, 9}, {4294967295u, 1}, {3000000000u, 2}, {99, 3}};
  for (auto [id, value] : pairs) {
    const bool fresh = model.emplace(id, value).second;
    EXPECT_EQ(map.emplace(id, value), fresh) << id;  // the first value stays
    EXPECT_EQ(set.emplace(id), fresh) << id;
  }
  EXPECT_EQ(map.size(), model.size());
  EXPECT_EQ(set.size(), model.size());
  for (std::uint32_t id : {0u, 1u, 5u, 98u, 99u, 100u, 101u, 102u, 3000000000u, 4294967295u}) {
    auto it = model.find(id);
    const std::uint32_t* found = map.find(id);
    EXPECT_EQ(found ? std::optional<std::uint32_t>(*found) : std::nullopt,
              it == model.end() ? std::nullopt : std::optional<std::uint32_t>(it->second))
        << id;
    EXPECT_EQ(map.contains(id), it != model.end()) << id;
    EXPECT_EQ(set.contains(id), it != model.end()) << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, IdMapForms, ::testing::Values(std::nullopt, std::optional<std::uint32_t>(), 10u, 101u));

TEST(IdMap, TableBoundOnlyForDenseIds) {
  using Map = IdMap<std::uint32_t>;
  EXPECT_EQ(Map::table_bound_for(0, 0), std::nullopt);
  EXPECT_EQ(Map::table_bound_for(0, 1), 0u);
  EXPECT_EQ(Map::table_bound_for(1006, 3), 1006u);
  EXPECT_EQ(Map::table_bound_for(4294967295u, 1), std::nullopt);
  EXPECT_EQ(Map::table_bound_for(1000 + 3 * 99999, 100000), 1000u + 3 * 99999);
  EXPECT_EQ(Map::table_bound_for(1000 + 6 * 49999, 50000), 1000u + 6 * 49999);  // every other of those
  EXPECT_EQ(Map::table_bound_for(1024 + 8 * 50000 + 1, 50000), std::nullopt);
  EXPECT_EQ(Map::table_bound_for(2000000000u, 100001), std::nullopt);
  // A set's slot is a bit: it keeps a table over sparser ids.
  EXPECT_EQ(IdSet::table_bound_for(60000, 1), 60000u);
  EXPECT_EQ(Map::table_bound_for(60000, 1), std::nullopt);
}

TEST(IdMap, IdSetOfAList) {
  const IdSet set = id_set_of(std::vector<std::uint32_t>{7, 3, 7, 4000000000u});
  EXPECT_EQ(set.size(), 3u);
  EXPECT_TRUE(set.contains(3) && set.contains(7) && set.contains(4000000000u));
  EXPECT_FALSE(set.contains(4));
  EXPECT_EQ(id_set_of(std::vector<std::uint32_t>{}).size(), 0u);
}

}  // namespace
}  // namespace vantrel_pdb
