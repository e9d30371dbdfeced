#include "export_m3u8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export_test_util.h"
#include "export_tree.h"

namespace dovrel {
namespace {

using export_test::node;
using export_test::sample_playlists;
using export_test::sample_tracks;

std::vector<std::string> paths(const M3u8Export& out) {
  std::vector<std::string> p;
  for (const auto& file : out.files) p.push_back(file.path);
  return p;
}

TEST(M3u8Playlist, WritesDurationNamesAndPathsInPlayingOrder) {
  const auto entries = m3u8_entries(sample_tracks(), std::nullopt);
  const TrackIndex index(entries.ids);
  // 404 is not in the library: left out. Track 11 has no artist.
  const auto playlist = node(6, 0, 0, "Closing", false, {9, 404, 7, 11, 9});
  EXPECT_EQ(m3u8_playlist(playlist, entries, index),
            "#EXTM3U\n"
            "#EXTINF:65,K\xc3\xa4the - Say \"Yes\", Now\n"
            "/music/yes no.mp3\n"
            "#EXTINF:301,Ines Varga - Night Ferry\n"
            "/music/ferry.flac\n"
            "#EXTINF:3600,</script><!--\n"
            "music/plain.wav\n"
            "#EXTINF:65,K\xc3\xa4the - Say \"Yes\", Now\n"
            "/music/yes no.mp3\n");
}

TEST(M3u8Playlist, JoinsTheRootWithOneSlash) {
  const auto tracks = sample_tracks();
  EXPECT_EQ(m3u8_entry(tracks[0], "/media/stick"),
            "#EXTINF:301,Ines Varga - Night Ferry\n/media/stick/music/ferry.flac\n");
  EXPECT_EQ(m3u8_entry(tracks[2], "/media/stick//"), "#EXTINF:3600,</script><!--\n/media/stick/music/plain.wav\n");
  // An empty root is none.
  EXPECT_EQ(m3u8_entry(tracks[2], ""), "#EXTINF:3600,</script><!--\nmusic/plain.wav\n");
  const auto entries = m3u8_entries(tracks, "/r");
  EXPECT_EQ(m3u8_playlist(node(1, 0, 0, "Empty", false), entries, TrackIndex(entries.ids)), "#EXTM3U\n");
}

// Entries made by two threads lie in two blocks: each track's line is found
// from where it and the one before it end, an empty entry (a track in no
// playlist) at a block's start and end included.
TEST(M3u8Entries, LinesAcrossBlocks) {
  M3u8Entries entries;
  entries.blocks = {"a\nbb\n", "ccc\n"};
  entries.block_starts = {0, 3};
  //               a  bb  ""  |  ""  ccc  ""
  entries.ends = {2, 5, 5, 0, 4, 4};
  entries.ids = {1, 2, 3, 4, 5, 6};
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < entries.ends.size(); ++i) lines.emplace_back(entries.line(i));
  EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "bb\n", "", "", "ccc\n", ""}));
}

TEST(M3u8Export, MirrorsTheFoldersInTreeOrder) {
  const auto out = export_m3u8(sample_tracks(), sample_playlists(), std::nullopt);
  EXPECT_EQ(out.folders, (std::vector<std::string>{"Gigs", "Gigs/Late"}));
  EXPECT_EQ(paths(out), (std::vector<std::string>{"Tokyo.m3u8", "Gigs/Late/Closing.m3u8", "Gigs/Peak.m3u8"}));
  EXPECT_EQ(out.bytes(out.files[0]), "#EXTM3U\n#EXTINF:3600,</script><!--\nmusic/plain.wav\n");
}

TEST(M3u8Export, MakesNamesSafeAndNumbersThemPerFolder) {
  const std::vector<vantrel_pdb::PlaylistInfo> playlists = {
      node(1, 0, 0, "A/B", false), node(2, 0, 1, "a:b", false), node(3, 0, 2, "CON", true),
      node(4, 3, 0, "Mix", false), node(5, 3, 1, "MIX", false), node(6, 0, 3, "Mix", false),
      node(7, 0, 4, "con", true),  node(8, 7, 0, "x?", false),  node(9, 0, 5, "", false)};
  const auto out = export_m3u8({}, playlists, std::nullopt);
  EXPECT_EQ(out.folders, (std::vector<std::string>{"CON_", "con_ (2)"}));
  EXPECT_EQ(paths(out), (std::vector<std::string>{"A_B.m3u8", "a_b (2).m3u8", "CON_/Mix.m3u8", "CON_/MIX (2).m3u8",
                                                  "Mix.m3u8", "con_ (2)/x_.m3u8", "_.m3u8"}));
}

TEST(M3u8Export, GivesAPlaylistWithNodesUnderItAFolderToo) {
  // A damaged tree: a playlist as a parent, a missing parent, a cycle.
  const std::vector<vantrel_pdb::PlaylistInfo> playlists = {
      node(1, 0, 0, "List", false), node(2, 1, 0, "Under", false), node(3, 99, 0, "Lost", false),
      node(4, 5, 0, "Ring A", true), node(5, 4, 0, "Ring B", false)};
  const auto out = export_m3u8({}, playlists, std::nullopt);
  EXPECT_EQ(out.folders, (std::vector<std::string>{"List", "Ring A"}));
  EXPECT_EQ(paths(out), (std::vector<std::string>{"List.m3u8", "List/Under.m3u8", "Lost.m3u8", "Ring A/Ring B.m3u8"}));
}

TEST(M3u8Export, OfAnEmptyLibraryIsNothing) {
  const auto out = export_m3u8({}, {}, "/r");
  EXPECT_TRUE(out.folders.empty());
  EXPECT_TRUE(out.files.empty());
}

TEST(TreeOrder, PlacesEveryNodeOnceDepthFirst) {
  const auto order = tree_order(sample_playlists());
  std::vector<std::size_t> indices, depths;
  for (const TreeNode& n : order) {
    indices.push_back(n.index);
    depths.push_back(n.depth);
  }
  EXPECT_EQ(indices, (std::vector<std::size_t>{2, 1, 3, 4, 0}));
  EXPECT_EQ(depths, (std::vector<std::size_t>{0, 0, 1, 2, 1}));
  EXPECT_EQ(order[3].parent, 2u);
  EXPECT_EQ(order[0].parent, kTopLevel);
  // Duplicate ids: the first node with the id is the parent; a node that is
  // its own parent stands at the top level.
  const auto twice =
      tree_order(std::vector<vantrel_pdb::PlaylistInfo>{node(1, 0, 0, "A", true), node(1, 0, 1, "A again", true),
                                                        node(2, 1, 0, "B", false), node(3, 3, 0, "Self", false)});
  ASSERT_EQ(twice.size(), 4u);
  EXPECT_EQ(twice[1].index, 2u);
  EXPECT_EQ(twice[1].depth, 1u);
  EXPECT_EQ(twice[3].index, 3u);
  EXPECT_EQ(twice[3].parent, kTopLevel);
}

TEST(TreeOrder, SurvivesADeepChain) {
  std::vector<vantrel_pdb::PlaylistInfo> chain;
  for (std::uint32_t id = 1; id <= 100000; ++id) chain.push_back(node(id, id - 1, 0, "f", true));
  const auto order = tree_order(chain);
  ASSERT_EQ(order.size(), chain.size());
  EXPECT_EQ(order.back().depth, 99999u);
}

// Close ids are found through a table by id, far-apart ones through a map:
// either way the first track with an id wins and a missing id is none.
TEST(TrackIndex, FindsTheFirstTrackWithEachId) {
  const std::vector<std::vector<std::uint32_t>> cases = {
      {5, 3, 5, 0, 3, 9},                       // close together: a table
      {5, 3, 5, 4000000000u, 3, 9, 0xFFFFFFFF}  // far apart: the map
  };
  for (const auto& ids : cases) {
    const TrackIndex index(ids);
    EXPECT_EQ(index.find(5), 0u);
    EXPECT_EQ(index.find(3), 1u);
    EXPECT_EQ(index.find(9), 5u);
    EXPECT_EQ(index.find(7), TrackIndex::kNoTrack);
    EXPECT_EQ(index.find(12345678), TrackIndex::kNoTrack);
  }
  EXPECT_EQ(TrackIndex(std::vector<std::uint32_t>{0xFFFFFFFF}).find(0xFFFFFFFF), 0u);
  EXPECT_EQ(TrackIndex(std::vector<std::uint32_t>{}).find(0), TrackIndex::kNoTrack);
}

}  // namespace
}  // namespace dovrel
