#include "edit/name_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace vantrel_pdb {
namespace {

// Many names, near-duplicates and the empty one, through several growths:
// the table answers as a map with first-wins insertion does.
TEST(NameTable, AnswersAsAMapOfFirstNames) {
  NameTable table;
  std::unordered_map<std::string, std::uint32_t> model;
  auto name = [](std::uint32_t i) {
    switch (i % 4) {
      case 0: return std::string();
      case 1: return "Artist " + std::to_string(i / 3);
      case 2: return "artist " + std::to_string(i / 3);
      default: return std::string(i % 50, 'x') + "\xC3\xA9";
    }
  };
  for (std::uint32_t i = 0; i < 20000; ++i) {
    EXPECT_EQ(table.insert(name(i), i), model.try_emplace(name(i), i).second) << i;
  }
  EXPECT_EQ(table.size(), model.size());
  for (std::uint32_t i = 0; i < 25000; ++i) {
    auto it = model.find(name(i));
    ASSERT_EQ(table.find(name(i)), it == model.end() ? std::nullopt : std::optional<std::uint32_t>(it->second)) << i;
  }
  EXPECT_EQ(table.find("Artist"), std::nullopt);
  EXPECT_EQ(table.find(std::string("Artist 1\0", 9)), std::nullopt);
}

TEST(NameTable, FirstInsertWinsAndClearEmpties) {
  NameTable table;
  EXPECT_EQ(table.find("House"), std::nullopt);
  EXPECT_TRUE(table.insert("House", 5));
  EXPECT_FALSE(table.insert("House", 2));
  EXPECT_TRUE(table.insert("Techno", 9));
  EXPECT_EQ(table.find("House"), 5u);
  EXPECT_EQ(table.find("Techno"), 9u);
  EXPECT_EQ(table.find("house"), std::nullopt);
  EXPECT_EQ(table.size(), 2u);
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find("House"), std::nullopt);
  EXPECT_TRUE(table.insert("House", 1));
  EXPECT_EQ(table.find("House"), 1u);
}

}  // namespace
}  // namespace vantrel_pdb
