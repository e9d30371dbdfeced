// The library's changes in place (set_track, remove_tracks and the playlist
// edits): random sequences of them against a model of the library, the
// undo of every refused change, and how much the image grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "testing/xorshift.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

using testing::XorShift64;

constexpr std::size_t format_page_size() { return 4096; }

std::vector<std::uint8_t> bytes_of(Library& library) {
  auto bytes = library.bytes();
  EXPECT_TRUE(bytes) << bytes.error().message();
  return bytes ? std::vector<std::uint8_t>(bytes->begin(), bytes->end()) : std::vector<std::uint8_t>{};
}

// The library as a reader should see it: tracks by id, and each node with
// its parent, name, kind, tracks, and its place among its siblings.
struct Node {
  std::string name;
  std::uint32_t parent = 0;
  bool is_folder = false;
  std::vector<std::uint32_t> tracks;
};

struct Model {
  std::map<std::uint32_t, TrackInfo> tracks;
  std::map<std::uint32_t, Node> nodes;
  std::map<std::uint32_t, std::vector<std::uint32_t>> children;  // parent -> ids in order

  void detach(std::uint32_t id) {
    auto& siblings = children[nodes[id].parent];
    siblings.erase(std::find(siblings.begin(), siblings.end(), id));
  }
  void remove_subtree(std::uint32_t id) {
    for (std::uint32_t child : std::vector<std::uint32_t>(children[id])) remove_subtree(child);
    children.erase(id);
    detach(id);
    nodes.erase(id);
  }
  bool under(std::uint32_t node, std::uint32_t ancestor) const {
    for (std::uint32_t at = node; at != 0; at = nodes.at(at).parent) {
      if (at == ancestor) return true;
    }
    return false;
  }
};

TrackInfo expected_info(const TrackInput& in) {
  TrackInfo t;
  t.id = in.id;
  t.title = in.title;
  t.artist = in.artist;
  t.album = in.album;
  t.genre = in.genre;
  t.key = in.key;
  t.label = in.label.value_or("");
  t.artwork_path = in.artwork_path;
  t.audio_path = in.audio_path;
  t.analysis_path = in.analysis_path;
  t.comment = in.comment;
  t.tempo = in.tempo;
  t.bpm = in.tempo / 100.0;
  t.bitrate = in.bitrate;
  t.sample_rate = in.sample_rate;
  t.file_size = in.file_size;
  t.duration = in.duration;
  t.sample_depth = in.sample_depth;
  t.file_type = file_type_for_path(in.audio_path).value_or(0);
  t.rating = in.rating;
  return t;
}

void expect_same_track(const TrackInfo& got, const TrackInfo& want) {
  EXPECT_EQ(got.id, want.id);
  EXPECT_EQ(got.title, want.title) << got.id;
  EXPECT_EQ(got.artist, want.artist) << got.id;
  EXPECT_EQ(got.album, want.album) << got.id;
  EXPECT_EQ(got.genre, want.genre) << got.id;
  EXPECT_EQ(got.key, want.key) << got.id;
  EXPECT_EQ(got.label, want.label) << got.id;
  EXPECT_EQ(got.artwork_path, want.artwork_path) << got.id;
  EXPECT_EQ(got.audio_path, want.audio_path) << got.id;
  EXPECT_EQ(got.analysis_path, want.analysis_path) << got.id;
  EXPECT_EQ(got.comment, want.comment) << got.id;
  EXPECT_EQ(got.tempo, want.tempo) << got.id;
  EXPECT_EQ(got.bitrate, want.bitrate) << got.id;
  EXPECT_EQ(got.sample_rate, want.sample_rate) << got.id;
  EXPECT_EQ(got.file_size, want.file_size) << got.id;
  EXPECT_EQ(got.duration, want.duration) << got.id;
  EXPECT_EQ(got.sample_depth, want.sample_depth) << got.id;
  EXPECT_EQ(got.file_type, want.file_type) << got.id;
  EXPECT_EQ(got.rating, want.rating) << got.id;
}

void expect_matches(Library& library, const Model& model) {
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  ASSERT_EQ(tracks->size(), model.tracks.size());
  for (const TrackInfo& got : *tracks) {
    auto want = model.tracks.find(got.id);
    ASSERT_NE(want, model.tracks.end()) << got.id;
    expect_same_track(got, want->second);
  }
  auto playlists = library.playlists();
  ASSERT_TRUE(playlists) << playlists.error().message();
  ASSERT_EQ(playlists->size(), model.nodes.size());
  std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> orders;  // parent -> (sort, id)
  for (const PlaylistInfo& got : *playlists) {
    auto want = model.nodes.find(got.id);
    ASSERT_NE(want, model.nodes.end()) << got.id;
    EXPECT_EQ(got.name, want->second.name) << got.id;
    EXPECT_EQ(got.parent_id, want->second.parent) << got.id;
    EXPECT_EQ(got.is_folder, want->second.is_folder) << got.id;
    EXPECT_EQ(got.tracks, want->second.tracks) << got.id;
    orders[got.parent_id].emplace_back(got.sort_order, got.id);
  }
  for (auto& [parent, order] : orders) {
    std::sort(order.begin(), order.end());
    std::vector<std::uint32_t> ids;
    for (const auto& [sort, id] : order) ids.push_back(id);
    auto want = model.children.find(parent);
    ASSERT_NE(want, model.children.end()) << parent;
    EXPECT_EQ(ids, want->second) << "children of " << parent;
  }
}

// Texts of every encoding and of lengths around the short-string limit.
std::string random_text(XorShift64& rng) {
  static const char* const kPieces[] = {
      "a", "Night", "caf\xc3\xa9", "\xe2\x99\xab", " ", "Harbour Lights", "0123456789abcdefghijklmnopqrstuvwxyz"};
  std::string text;
  const std::size_t n = rng() % 6;
  for (std::size_t i = 0; i < n; ++i) text += kPieces[rng() % std::size(kPieces)];
  if (rng() % 8 == 0) text += std::string(100 + rng() % 60, 'x');
  return text;
}

std::string random_path(XorShift64& rng) {
  static const char* const kExtensions[] = {".mp3", ".flac", ".wav", ".m4a", ".aiff"};
  return std::string("/music/").append(random_text(rng)).append(kExtensions[rng() % std::size(kExtensions)]);
}

TrackInput random_track(XorShift64& rng, std::uint32_t id) {
  TrackInput t;
  t.id = id;
  t.title = random_text(rng);
  t.artist = std::string("Artist ") + std::to_string(rng() % 4);
  t.album = std::string("Album ") + std::to_string(rng() % 3);
  t.genre = rng() % 2 ? "House" : "Ambient";
  t.key = "Fm";
  if (rng() % 2) t.label = std::string("Label ") + std::to_string(rng() % 3);
  t.audio_path = random_path(rng);
  t.analysis_path = std::string("/scans/") + std::to_string(id) + ".dat";
  if (rng() % 2) t.artwork_path = std::string("/art/") + std::to_string(rng() % 5) + ".jpg";
  t.comment = random_text(rng);
  t.tempo = static_cast<std::uint32_t>(rng() % 20000);
  t.bitrate = 320;
  t.file_size = static_cast<std::uint32_t>(rng());
  t.duration = static_cast<std::uint16_t>(rng() % 600);
  t.rating = static_cast<std::uint8_t>(rng() % 6);
  return t;
}

template <class T>
T pick(XorShift64& rng, const std::map<std::uint32_t, T>& items) {
  auto it = items.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(rng() % items.size()));
  return it->second;
}

template <class T>
std::uint32_t pick_id(XorShift64& rng, const std::map<std::uint32_t, T>& items) {
  auto it = items.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(rng() % items.size()));
  return it->first;
}

// One random change applied to both; a change the model says must fail is
// checked to fail and to leave the image byte for byte as it was.
void random_change(XorShift64& rng, Library& library, Model& model, std::uint32_t& next_id) {
  const std::vector<std::uint8_t> before = bytes_of(library);
  std::expected<void, PdbError> result;
  bool must_fail = false;
  // Weighted towards additions, so that the library grows as it changes.
  static constexpr std::uint64_t kOps[] = {0, 0, 1, 2, 3, 4, 4, 5, 6, 7, 8};
  const std::uint64_t op = kOps[rng() % std::size(kOps)];
  const std::uint32_t absent_id = 900000 + static_cast<std::uint32_t>(rng() % 10);
  if (op == 0 || model.tracks.empty()) {
    TrackInput t = random_track(rng, next_id++);
    model.tracks[t.id] = expected_info(t);
    result = library.add_track(t);
    if (result) result = library.commit();
  } else if (op == 1 || op == 2) {
    const bool absent = rng() % 10 == 0;
    const std::uint32_t id = absent ? absent_id : pick_id(rng, model.tracks);
    TrackChange change;
    TrackInfo want = absent ? TrackInfo{} : model.tracks[id];
    if (rng() % 2) want.title = *(change.title = random_text(rng));
    if (rng() % 3 == 0) want.comment = *(change.comment = random_text(rng));
    if (rng() % 3 == 0) want.rating = *(change.rating = static_cast<std::uint8_t>(rng() % 6));
    if (rng() % 3 == 0) {
      want.tempo = *(change.tempo = static_cast<std::uint32_t>(rng() % 20000));
      want.bpm = want.tempo / 100.0;
    }
    if (rng() % 4 == 0) want.artist = *(change.artist = std::string("Artist ") + std::to_string(rng() % 6));
    if (rng() % 4 == 0) want.album = *(change.album = random_text(rng));
    if (rng() % 5 == 0) want.label = *(change.label = std::string("Label ") + std::to_string(rng() % 4));
    if (rng() % 5 == 0) want.key = *(change.key = std::string("A") + std::to_string(rng() % 12));
    if (rng() % 4 == 0) {
      want.audio_path = *(change.audio_path = random_path(rng));
      want.file_type = *file_type_for_path(want.audio_path);
    }
    if (rng() % 4 == 0)
      want.artwork_path = *(change.artwork_path = rng() % 3 ? std::string("/art/n") + std::to_string(rng() % 4) : "");
    if (rng() % 5 == 0) want.duration = *(change.duration = static_cast<std::uint16_t>(rng() % 900));
    must_fail = absent;
    if (!absent) model.tracks[id] = want;
    result = library.set_track(id, change);
  } else if (op == 3) {
    const bool absent = rng() % 8 == 0;
    const std::uint32_t id = absent ? absent_id : pick_id(rng, model.tracks);
    must_fail = absent;
    if (!absent) {
      model.tracks.erase(id);
      for (auto& [node_id, node] : model.nodes) std::erase(node.tracks, id);
    }
    const std::vector<std::uint32_t> ids = {id};
    result = library.remove_tracks(ids);
  } else if (op == 4 || model.nodes.empty()) {
    PlaylistInput p;
    p.id = next_id++;
    p.name = random_text(rng);
    p.is_folder = rng() % 3 == 0;
    std::vector<std::uint32_t> folders = {0};
    for (const auto& [id, node] : model.nodes) {
      if (node.is_folder) folders.push_back(id);
    }
    p.parent_id = folders[rng() % folders.size()];
    if (!p.is_folder) {
      for (std::uint64_t n = rng() % 4; n > 0; --n) p.tracks.push_back(pick_id(rng, model.tracks));
    }
    model.nodes[p.id] = {p.name, p.parent_id, p.is_folder, p.tracks};
    model.children[p.parent_id].push_back(p.id);
    result = library.add_playlist(p);
    if (result) result = library.commit();
  } else if (op == 5) {
    const std::uint32_t id = pick_id(rng, model.nodes);
    const std::string name = random_text(rng);
    model.nodes[id].name = name;
    result = library.rename_playlist(id, name);
  } else if (op == 6) {
    const std::uint32_t id = pick_id(rng, model.nodes);
    std::uint32_t parent = rng() % 3 == 0 ? 0 : pick_id(rng, model.nodes);
    const std::size_t siblings = model.children[parent].size() - (model.nodes[id].parent == parent ? 1 : 0);
    std::optional<std::uint32_t> position;
    if (rng() % 2) position = static_cast<std::uint32_t>(rng() % (siblings + 2));
    must_fail = (parent != 0 && (!model.nodes[parent].is_folder || model.under(parent, id))) ||
                (position && *position > siblings);
    if (!must_fail) {
      model.detach(id);
      auto& list = model.children[parent];
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(position ? *position : list.size()), id);
      model.nodes[id].parent = parent;
    }
    result = library.move_playlist(id, parent, position);
  } else if (op == 7) {
    const std::uint32_t id = pick_id(rng, model.nodes);
    std::vector<std::uint32_t> tracks;
    for (std::uint64_t n = rng() % 6; n > 0; --n) tracks.push_back(pick_id(rng, model.tracks));
    if (rng() % 10 == 0) tracks.push_back(absent_id);
    must_fail = model.nodes[id].is_folder || std::count(tracks.begin(), tracks.end(), absent_id) > 0;
    if (!must_fail) model.nodes[id].tracks = tracks;
    result = library.set_playlist_tracks(id, tracks);
  } else {
    const std::uint32_t id = pick_id(rng, model.nodes);
    model.remove_subtree(id);
    const std::vector<std::uint32_t> ids = {id};
    result = library.remove_playlists(ids);
  }
  if (must_fail) {
    ASSERT_FALSE(result) << "op " << op;
    ASSERT_EQ(bytes_of(library), before) << "op " << op << ": " << result.error().message();
  } else {
    ASSERT_TRUE(result) << "op " << op << ": " << result.error().message();
  }
}

class RandomChanges : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomChanges, ReadBackAsTheModelSays) {
  XorShift64 rng(GetParam());
  Library library = Library::create();
  Model model;
  model.children[0];
  std::uint32_t next_id = 1;
  for (int i = 0; i < 250; ++i) {
    random_change(rng, library, model, next_id);
    if (::testing::Test::HasFatalFailure()) return;
    if (i % 25 == 24) expect_matches(library, model);
  }
  expect_matches(library, model);
  // The image reopens as the same library.
  auto reopened = Library::open(bytes_of(library));
  ASSERT_TRUE(reopened) << reopened.error().message();
  expect_matches(*reopened, model);
}

// Tracks 1 to `count`, each in playlist 1; folder 2 at the top level.
Library plain_library(std::uint32_t count) {
  Library library = Library::create();
  PlaylistInput playlist{1, "Evening", 0, false, {}};
  for (std::uint32_t id = 1; id <= count; ++id) {
    TrackInput t;
    t.id = id;
    t.title = std::string("Title ") + std::to_string(id);
    t.artist = "Artist";
    t.audio_path = std::string("/music/") + std::to_string(id) + ".mp3";
    EXPECT_TRUE(library.add_track(t));
    playlist.tracks.push_back(id);
  }
  EXPECT_TRUE(library.add_playlist(playlist));
  EXPECT_TRUE(library.add_playlist({2, "Sets", 0, true, {}}));
  EXPECT_TRUE(library.commit());
  return library;
}

TEST(LibraryEdits, LookupsById) {
  Library library = plain_library(3);
  auto track = library.track(2);
  ASSERT_TRUE(track) << track.error().message();
  EXPECT_EQ(track->title, "Title 2");
  EXPECT_EQ(track->artist, "Artist");
  EXPECT_EQ(library.track(9).error().message(), "no track with id 9");
  auto playlist = library.playlist(1);
  ASSERT_TRUE(playlist);
  EXPECT_EQ(playlist->tracks, (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(library.playlist(3).error().message(), "no playlist with id 3");
  // A pending addition is committed first.
  ASSERT_TRUE(library.add_playlist({3, "Late", 2, false, {3}}));
  auto late = library.playlist(3);
  ASSERT_TRUE(late) << late.error().message();
  EXPECT_EQ(late->parent_id, 2u);
}

TEST(LibraryEdits, RepeatedRenamesGrowOnlyWhenANameOutgrowsItsRow) {
  Library library = plain_library(10);
  const std::size_t start = bytes_of(library).size();
  XorShift64 rng(7);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(library.rename_playlist(1, std::string(1 + rng() % 60, 'n')));
  }
  ASSERT_TRUE(library.rename_playlist(1, "Evening"));
  // A new row only for a name longer than every one before: a few dozen bytes each.
  EXPECT_LE(bytes_of(library).size(), start + format_page_size());
  EXPECT_EQ(library.playlist(1)->name, "Evening");
  EXPECT_EQ(library.playlist(1)->tracks.size(), 10u);
}

TEST(LibraryEdits, SettingEveryTrackTwiceGrowsByTheRowsOnce) {
  constexpr std::uint32_t kTracks = 200;
  Library library = plain_library(kTracks);
  const std::size_t start = bytes_of(library).size();
  const auto pass = [&library] {
    for (std::uint32_t id = 1; id <= kTracks; ++id) {
      TrackChange change;
      change.comment = std::string("Played at the harbour, summer set ") + std::to_string(id);
      change.rating = 4;
      ASSERT_TRUE(library.set_track(id, change));
    }
  };
  pass();
  const std::size_t once = bytes_of(library).size();
  pass();
  EXPECT_EQ(bytes_of(library).size(), once);
  // Each row replaced once: about 260 bytes a row, some 15 rows a page.
  EXPECT_LE(once - start, (kTracks / 15 + 2) * format_page_size());
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks);
  ASSERT_EQ(tracks->size(), kTracks);
  EXPECT_EQ(library.track(17)->comment, "Played at the harbour, summer set 17");
  EXPECT_EQ(library.playlist(1)->tracks.size(), kTracks);
}

TEST(LibraryEdits, AFailedChangeLeavesTheLibraryAsItWas) {
  Library library = plain_library(3);
  const auto before = bytes_of(library);
  TrackChange change;
  change.title = "New";
  change.audio_path = "/music/x.ogg";
  EXPECT_EQ(library.set_track(1, change).error().message(), "Unsupported audio extension");
  const std::vector<std::uint32_t> absent = {2, 8};
  EXPECT_EQ(library.remove_tracks(absent).error().message(), "no track with id 8");
  EXPECT_EQ(library.remove_playlists(absent).error().message(), "no playlist with id 8");
  EXPECT_EQ(library.rename_playlist(8, "x").error().message(), "no playlist with id 8");
  EXPECT_EQ(library.set_playlist_tracks(2, absent).error().message(), "playlist 2 is a folder, which holds no tracks");
  EXPECT_EQ(library.move_playlist(2, 1).error().message(), "playlist 1 is not a folder");
  EXPECT_EQ(bytes_of(library), before);
}

// A check put off to the write gives the bytes and reads of one made at
// once, for each way a change is undone: by its log, by the image before,
// and the commit of an edit; a call in between makes the check first.
TEST(LibraryEdits, ACheckPutOffToTheWriteEndsAsOneMadeAtOnce) {
  const std::vector<std::function<std::expected<void, PdbError>(Library&)>> changes = {
      [](Library& l) { return l.set_tempo(2, 12800); },
      [](Library& l) { return l.rename_playlist(1, std::string(300, 'n')); },
      [](Library& l) {
        TrackInput t;
        t.id = 9;
        t.title = "Added";
        t.audio_path = "/music/9.mp3";
        if (auto ok = l.add_track(t); !ok) return ok;
        return l.commit();
      }};
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    Library at_once = plain_library(3);
    ASSERT_TRUE(changes[i](at_once));
    Library beside = plain_library(3);
    beside.defer_check();
    ASSERT_TRUE(changes[i](beside));
    auto image = beside.bytes_while_checking();
    ASSERT_TRUE(image);
    EXPECT_EQ(std::vector<std::uint8_t>(image->begin(), image->end()), bytes_of(at_once));
    // A check that passes is settled by waiting for it.
    EXPECT_TRUE(beside.await_check());
    EXPECT_TRUE(beside.settle_check());  // nothing left to settle
    EXPECT_EQ(beside.playlists()->size(), at_once.playlists()->size());
    Library between = plain_library(3);
    between.defer_check();
    ASSERT_TRUE(changes[i](between));
    EXPECT_EQ(between.track(1)->title, "Title 1");
    EXPECT_EQ(bytes_of(between), bytes_of(at_once));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomChanges, ::testing::Values(1u, 2u, 3u, 0xBEEFu, 0x5EEDu, 77u));

}  // namespace
}  // namespace vantrel_pdb
