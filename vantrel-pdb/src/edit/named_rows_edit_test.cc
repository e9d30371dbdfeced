// get_or_create_named: first match by exact name, or a new row with the
// largest id + 1.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "edit/editor.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "read/database.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
using testing::get_u16;
using testing::get_u32;
using ByteVec = std::vector<std::uint8_t>;
using Rows = std::vector<std::pair<std::uint32_t, std::string>>;

constexpr std::uint64_t kPage = 4096;

ByteVec image_of(const PdbEditor& e) { return ByteVec(e.image().begin(), e.image().end()); }

// A table of `kind` (page 1 header, page 2 data) holding id-and-name rows.
ByteVec named_table(std::uint32_t kind, const Rows& rows) {
  testing::ImageBuilder b;
  auto t = b.add_table(kind);
  b.add_data_page(t);
  for (const auto& [id, name] : rows) b.add_row(t, testing::id_name_row(id, name));
  return b.finish();
}

TEST(GetOrCreateNamed, FirstNameInEmptyTableGetsIdOne) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  auto id = editor.get_or_create_named(1, "House");
  ASSERT_TRUE(id) << id.error().message();
  EXPECT_EQ(id.value(), 1u);
  ByteVec image = image_of(editor);
  const std::uint64_t row = 4 * kPage + 40;
  EXPECT_EQ((ByteVec(image.begin() + row, image.begin() + row + 12)),
            (ByteVec{1, 0, 0, 0, 0x0D, 'H', 'o', 'u', 's', 'e', 0, 0}));
  EXPECT_EQ(get_u16(image, 4 * kPage + f::kUsedSizeOffset), 12);
  // Found by the next call; nothing more is written.
  EXPECT_EQ(editor.get_or_create_named(1, "House").value(), 1u);
  EXPECT_EQ(image_of(editor), image);
}

struct LookupCase {
  const char* name;
  std::uint32_t kind;
  Rows rows;
  std::string query;
  std::uint32_t id;
  bool appended;
};

class NamedLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(NamedLookup, ReturnsFirstMatchOrNextId) {
  const auto& c = GetParam();
  ByteVec image = named_table(c.kind, c.rows);
  auto editor = PdbEditor::from_bytes(image);
  auto id = editor.get_or_create_named(c.kind, c.query);
  ASSERT_TRUE(id) << id.error().message();
  EXPECT_EQ(id.value(), c.id);
  EXPECT_EQ(image_of(editor) != image, c.appended);
  if (c.appended) {
    auto db = Database::from_bytes(editor.image());
    ASSERT_TRUE(db);
    auto check = [&](const auto& list) {
      ASSERT_EQ(list.size(), c.rows.size() + 1);
      EXPECT_EQ(list.back().name, c.query);
      EXPECT_EQ(list.back().id, c.id);
    };
    if (c.kind == 1)
      check(db->genres);
    else
      check(db->labels);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamedLookup,
    ::testing::Values(LookupCase{"duplicate_first_wins", 1, {{5, "House"}, {2, "House"}}, "House", 5, false},
                      LookupCase{"case_differs", 1, {{5, "House"}}, "house", 6, true},
                      LookupCase{"gap_not_reused", 4, {{3, "A"}, {9, "B"}}, "C", 10, true},
                      LookupCase{"largest_not_last", 4, {{9, "A"}, {3, "B"}}, "C", 10, true},
                      LookupCase{"utf16_found_by_text", 1, {{4, "Caf\xC3\xA9"}}, "Caf\xC3\xA9", 4, false},
                      LookupCase{"empty_name_found", 1, {{7, ""}}, "", 7, false},
                      LookupCase{"empty_name_created", 1, {{7, "x"}}, "", 8, true},
                      LookupCase{"prefix_is_not_a_match", 1, {{1, "Techno"}}, "Tech", 2, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(GetOrCreateNamed, AllocationIsRowLengthRoundedUpToFour) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(editor.get_or_create_named(4, "abc"));  // 4 encoded bytes: row 8, allocation 8
  EXPECT_EQ(get_u16(image_of(editor), 10 * kPage + f::kUsedSizeOffset), 8);
  ASSERT_TRUE(editor.get_or_create_named(4, "abcd"));  // 5 encoded bytes: row 9, allocation 12
  EXPECT_EQ(get_u16(image_of(editor), 10 * kPage + f::kUsedSizeOffset), 20);
}

struct FailureCase {
  const char* name;
  ByteVec image;
  std::uint32_t kind;
  std::string query;
  std::string message;
};

class NamedFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(NamedFailure, LeavesTheImageUnchanged) {
  const auto& c = GetParam();
  auto editor = PdbEditor::from_bytes(c.image);
  auto id = editor.get_or_create_named(c.kind, c.query);
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().message(), c.message);
  EXPECT_EQ(image_of(editor), c.image);
}

ByteVec undecodable_genre() {
  testing::ImageBuilder b;
  auto t = b.add_table(1);
  b.add_row(t, ByteVec{1, 0, 0, 0, 0x02, 4, 0, 0});
  return b.finish();
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedFailure,
                         ::testing::Values(FailureCase{"name_too_long", make_blank_image(), 1, std::string(32764, 'x'),
                                                       "string too long for PDB encoding"},
                                           FailureCase{"not_a_genre_or_label_table", make_blank_image(), 2, "x",
                                                       "invalid call: table kind 2 does not hold genre or label rows"},
                                           FailureCase{"undecodable_image", undecodable_genre(), 1, "x",
                                                       "unknown PDB string kind 0x02 at offset 0x202c"},
                                           FailureCase{"largest_id_at_max", named_table(1, {{0xFFFFFFFF, "a"}}), 1, "b",
                                                       "genre id=4294967296 does not fit in 4 byte(s)"},
                                           FailureCase{"no_label_table", named_table(1, {}), 4, "x",
                                                       "no table of type 4"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(GetOrCreateNamed, RowsAppendedToAnEarlierDuplicateEntryStayInvisible) {
  // Kind 1 twice: the editor appends to the first entry, the reader lists
  // the second, so the name is never found and both calls number from an
  // empty list.
  ByteVec image = make_blank_image();
  testing::put_u32(image, f::kDirectoryOffset + f::kTableEntrySize * 6, 1);
  auto editor = PdbEditor::from_bytes(image);
  EXPECT_EQ(editor.get_or_create_named(1, "House").value(), 1u);
  EXPECT_EQ(editor.get_or_create_named(1, "House").value(), 1u);
  EXPECT_EQ(image_of(editor)[4 * kPage + f::kPackedCountsOffset], 2);
  EXPECT_TRUE(Database::from_bytes(editor.image()).value().genres.empty());
}

}  // namespace
}  // namespace vantrel_pdb
