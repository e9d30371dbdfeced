#include "read/catalog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace vantrel_pdb {
namespace {

// Entries of a playlist that is not in the tree, enough for the catalog to
// be made by two threads (names on one, playlists on the other).
void add_filler_entries(Database& db) {
  for (std::uint32_t i = 0; i < 20000; ++i) db.playlist_entries.push_back({i, i, 7777});
}

// Ids close together are indexed in a table, scattered ids in a hash map;
// both must answer alike, and alike in a catalog made by one thread or two:
// the first row of an id wins, an unknown id is "".
class CatalogNames : public ::testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(CatalogNames, FirstRowOfAnIdWins) {
  const auto [base, large] = GetParam();
  Database db;
  if (large) add_filler_entries(db);
  db.artists = {{"First", base + 2, 0}, {"Second", base + 2, 0}, {"Other", base + 5, 0}};
  db.genres = {{"House", base + 1}};
  db.labels = {{"Label", base + 7}};
  db.artwork = {{"/art/a.jpg", base + 9}};
  const Catalog catalog(db);
  Track t;
  t.artist_id = base + 2;
  t.genre_id = base + 1;
  t.label_id = base + 7;
  t.artwork_id = base + 9;
  t.album_id = base + 2;  // no album rows at all
  t.key_id = 0;
  EXPECT_EQ(catalog.artist(t.artist_id), "First");
  EXPECT_EQ(catalog.genre(t.genre_id), "House");
  EXPECT_EQ(catalog.label(t.label_id), "Label");
  EXPECT_EQ(catalog.artwork_path(t.artwork_id), "/art/a.jpg");
  EXPECT_EQ(catalog.album(t.album_id), "");
  EXPECT_EQ(catalog.key(t.key_id), "");
  t.artist_id = base + 3;
  EXPECT_EQ(catalog.artist(t.artist_id), "");
  t.artist_id = 4000000000u;
  EXPECT_EQ(catalog.artist(t.artist_id), "");
}

INSTANTIATE_TEST_SUITE_P(Ids, CatalogNames,
                         ::testing::Combine(::testing::Values(0u, 1u, 3000000000u), ::testing::Bool()));

class CatalogPlaylists : public ::testing::TestWithParam<bool> {};

TEST_P(CatalogPlaylists, PlaylistTracksByEntryIndexTiesInTableOrder) {
  Database db;
  db.playlist_tree = {{"Folder", 1, 0, 0, true}, {"List", 2, 1, 0, false}, {"Twin", 2, 0, 1, false}};
  db.playlist_entries = {{3, 30, 2}, {1, 10, 2}, {3, 31, 2}, {2, 20, 2}, {1, 99, 7}};
  if (GetParam()) add_filler_entries(db);
  db.artists = {{"Artist", 1, 0}};
  const Catalog catalog(db);
  EXPECT_EQ(catalog.artist(1), "Artist");
  const auto tracks = catalog.playlist_tracks(2);
  EXPECT_EQ(std::vector<std::uint32_t>(tracks.begin(), tracks.end()), (std::vector<std::uint32_t>{10, 20, 30, 31}));
  EXPECT_TRUE(catalog.playlist_tracks(1).empty());
  EXPECT_TRUE(catalog.playlist_tracks(7).empty());  // entries of an id not in the tree
}

INSTANTIATE_TEST_SUITE_P(OneThreadOrTwo, CatalogPlaylists, ::testing::Bool());

}  // namespace
}  // namespace vantrel_pdb
