// salvage on sound images (lossless: the new database reads as the old) and
// on images that break its rules (duplicates, orphans, cycles, entries of
// what is gone, texts and paths the library does not take).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/blank_image.h"
#include "format/format.h"
#include "read/catalog.h"
#include "read/database.h"
#include "testing/image_builder.h"
#include "testing/sample_library.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

namespace k = table_kind;
namespace t = testing;
using Image = std::vector<std::uint8_t>;

// A history playlist as read: its id, name and tracks by entry index.
struct History {
  std::uint32_t id;
  std::string name;
  std::vector<std::uint32_t> tracks;
  friend bool operator==(const History&, const History&) = default;
};

// Everything salvage keeps of a database: what the library reads of it.
struct Contents {
  std::vector<TrackInfo> tracks;
  std::vector<PlaylistInfo> playlists;
  std::vector<History> history;
};

bool same_track(const TrackInfo& a, const TrackInfo& b) {
  return a.id == b.id && a.title == b.title && a.artist == b.artist && a.album == b.album && a.genre == b.genre &&
         a.key == b.key && a.label == b.label && a.artwork_path == b.artwork_path && a.audio_path == b.audio_path &&
         a.analysis_path == b.analysis_path && a.comment == b.comment && a.tempo == b.tempo && a.bitrate == b.bitrate &&
         a.sample_rate == b.sample_rate && a.file_size == b.file_size && a.duration == b.duration &&
         a.sample_depth == b.sample_depth && a.file_type == b.file_type && a.rating == b.rating;
}

bool same_playlist(const PlaylistInfo& a, const PlaylistInfo& b) {
  return a.id == b.id && a.parent_id == b.parent_id && a.sort_order == b.sort_order && a.name == b.name &&
         a.is_folder == b.is_folder && a.tracks == b.tracks && a.children == b.children;
}

Contents contents_of(Library& library) {
  Contents c;
  c.tracks = library.tracks().value();
  c.playlists = library.playlists().value();
  auto bytes = library.bytes();
  EXPECT_TRUE(bytes);
  auto decoded = Database::from_bytes(*bytes);
  EXPECT_TRUE(decoded) << decoded.error().message();
  if (!decoded) return c;
  const Database& db = *decoded;
  for (const HistoryPlaylist& h : db.history_playlists) {
    std::vector<HistoryEntry> entries;
    for (const HistoryEntry& e : db.history_entries) {
      if (e.playlist_id == h.id) entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HistoryEntry& x, const HistoryEntry& y) { return x.entry_index < y.entry_index; });
    History out{h.id, h.name, {}};
    for (const HistoryEntry& e : entries) out.tracks.push_back(e.track_id);
    c.history.push_back(std::move(out));
  }
  return c;
}

Contents contents_of(const Image& image) {
  auto library = Library::open(image);
  EXPECT_TRUE(library) << library.error().message();
  return library ? contents_of(*library) : Contents{};
}

void expect_same(const Contents& got, const Contents& want) {
  ASSERT_EQ(got.tracks.size(), want.tracks.size());
  for (std::size_t i = 0; i < want.tracks.size(); ++i) {
    EXPECT_TRUE(same_track(got.tracks[i], want.tracks[i])) << "track " << want.tracks[i].id;
  }
  ASSERT_EQ(got.playlists.size(), want.playlists.size());
  for (std::size_t i = 0; i < want.playlists.size(); ++i) {
    EXPECT_TRUE(same_playlist(got.playlists[i], want.playlists[i])) << "playlist " << want.playlists[i].id;
  }
  EXPECT_EQ(got.history, want.history);
}

Salvage salvaged(const Image& image) {
  auto rescued = salvage(image);
  EXPECT_TRUE(rescued) << rescued.error().message();
  return std::move(*rescued);
}

Image bytes_of(Library& library) {
  auto bytes = library.bytes();
  EXPECT_TRUE(bytes);
  return Image(bytes->begin(), bytes->end());
}

const TableLoss& loss_of(const Loss& loss, std::uint32_t kind) {
  return *std::find_if(loss.tables.begin(), loss.tables.end(), [&](const TableLoss& t) { return t.kind == kind; });
}

TEST(Salvage, SoundImagesComeThroughWhole) {
  std::vector<Image> images = {make_blank_image(), t::sample_image(), t::sample_image({.tracks = 300, .seed = 2})};
  Library trimmed = t::sample_library({.tracks = 90, .seed = 5});
  ASSERT_TRUE(trimmed.keep_only(std::vector<std::uint32_t>{1000, 1003, 1006, 1090},
                                std::vector<std::uint32_t>{1, 2, 10, 11, 13}));
  images.push_back(bytes_of(trimmed));
  // Edited after it was made: tracks and playlists added to its pages, a tempo set.
  auto edited = Library::open(t::sample_image({.tracks = 50, .seed = 7}));
  ASSERT_TRUE(edited);
  TrackInput more;
  more.id = 9;
  more.title = "Later";
  more.artist = "Artist 1";
  more.audio_path = "/music/later.wav";
  more.artwork_path = "/art/later.jpg";
  ASSERT_TRUE(edited->add_track(std::move(more)));
  ASSERT_TRUE(edited->add_playlist({40, "Later list", 1, false, {9, 1000}}));
  ASSERT_TRUE(edited->set_tempo(9, 13000));
  images.push_back(bytes_of(*edited));
  for (const Image& image : images) {
    Salvage rescued = salvaged(image);
    const Image out = bytes_of(rescued.library);
    EXPECT_TRUE(check(out).list.empty());
    expect_same(contents_of(out), contents_of(image));
    EXPECT_EQ(rescued.loss.lost(), 0u);
    EXPECT_EQ(rescued.loss.tables.size(), 13u);
  }
  // A patched file's deleted rows are gone from the new one: it is smaller.
  Salvage compacted = salvaged(images[3]);
  EXPECT_LT(bytes_of(compacted.library).size(), images[3].size());
  EXPECT_EQ(loss_of(compacted.loss, k::tracks).kept, 4u);
}

TEST(Salvage, KeepsHistorySortOrdersLabelsAndFileTypes) {
  const Image image = t::sample_image({.tracks = 40, .playlists = 5, .history = 3});
  const Contents before = contents_of(image);
  ASSERT_EQ(before.history.size(), 3u);
  Salvage rescued = salvaged(image);
  expect_same(contents_of(bytes_of(rescued.library)), before);
  EXPECT_EQ(loss_of(rescued.loss, k::history_playlists).kept, 3u);
}

// Rows crafted to break salvage's rules, one table each.
Image rule_breakers() {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t kind = 0; kind < 20; ++kind) table[kind] = b.add_table(kind);
  b.add_row(table[k::artists], t::artist_row(1, "Artist"));
  b.add_row(table[k::artwork], t::id_name_row(5, "/art/caf\xc3\xa9.jpg"));  // not ASCII: not attached
  b.add_row(table[k::artwork], t::id_name_row(6, "/art/6.jpg"));
  b.add_row(table[k::colors], t::color_row(1, "Pink"));
  auto track = [&](std::uint32_t id, const std::string& path, std::uint32_t artwork = 0) {
    t::TrackRowFields shape;
    shape.id = id;
    shape.artist_id = 1;
    shape.artwork_id = artwork;
    shape.title("T" + std::to_string(id)).path(path);
    b.add_row(table[k::tracks], t::track_row(shape));
  };
  track(1, "/music/1.ogg", 5);  // an extension the build refuses: kept with its file type
  track(2, "/music/2.mp3", 6);
  track(2, "/music/2-again.mp3");  // a repeated id: lost
  track(0, "/music/0.mp3", 6);     // id 0 keeps no artwork
  b.add_row(table[k::playlist_tree], t::tree_row(0, 4, 10, true, "Folder"));
  b.add_row(table[k::playlist_tree], t::tree_row(10, 2, 11, false, "In folder"));
  b.add_row(table[k::playlist_tree], t::tree_row(99, 7, 12, false, "Orphan"));
  b.add_row(table[k::playlist_tree], t::tree_row(14, 1, 13, true, "Cycle A"));
  b.add_row(table[k::playlist_tree], t::tree_row(13, 1, 14, true, "Cycle B"));
  b.add_row(table[k::playlist_tree], t::tree_row(0, 9, 11, false, "Same id"));
  b.add_row(table[k::playlist_tree], t::tree_row(0, 9, 0, false, "Id 0"));
  b.add_row(table[k::playlist_entries], t::entry_row(2, 2, 11));
  b.add_row(table[k::playlist_entries], t::entry_row(1, 1, 11));
  b.add_row(table[k::playlist_entries], t::entry_row(3, 77, 11));  // a track that is not there
  b.add_row(table[k::playlist_entries], t::entry_row(1, 1, 10));   // into a folder
  b.add_row(table[k::playlist_entries], t::entry_row(1, 1, 55));   // into no playlist
  b.add_row(table[k::history_playlists], t::id_name_row(3, "Friday"));
  b.add_row(table[k::history_entries], t::entry_row(1, 2, 3));
  b.add_row(table[k::history_entries], t::entry_row(2, 77, 3));
  b.add_row(table[k::history_entries], t::entry_row(1, 2, 4));
  return b.finish();
}

TEST(Salvage, KeepsWhatItCanUnderItsRules) {
  Salvage rescued = salvaged(rule_breakers());
  const Image out = bytes_of(rescued.library);
  for (const Finding& f : check(out).list) ADD_FAILURE() << f.code << ": " << f.message;
  Contents c = contents_of(out);
  ASSERT_EQ(c.tracks.size(), 3u);
  EXPECT_EQ(c.tracks[0].id, 1u);
  EXPECT_EQ(c.tracks[0].artwork_path, "");
  EXPECT_EQ(c.tracks[1].audio_path, "/music/2.mp3");
  EXPECT_EQ(c.tracks[1].artwork_path, "/art/6.jpg");
  EXPECT_EQ(c.tracks[2].id, 0u);
  EXPECT_EQ(c.tracks[2].artwork_path, "");
  for (const TrackInfo& track : c.tracks) EXPECT_EQ(track.artist, "Artist");

  ASSERT_EQ(c.playlists.size(), 5u);
  auto node = [&](std::uint32_t id) {
    return *std::find_if(c.playlists.begin(), c.playlists.end(), [&](const PlaylistInfo& p) { return p.id == id; });
  };
  EXPECT_EQ(node(11).parent_id, 10u);
  EXPECT_EQ(node(11).tracks, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(node(11).sort_order, 2u);
  EXPECT_EQ(node(12).parent_id, 0u);  // orphan: to the top level
  EXPECT_EQ(node(12).sort_order, 7u);
  // The cycle is broken at the node where a walk up the tree enters it.
  EXPECT_EQ(node(13).parent_id, 0u);
  EXPECT_EQ(node(14).parent_id, 13u);
  EXPECT_TRUE(node(10).tracks.empty());
  ASSERT_EQ(c.history.size(), 1u);
  EXPECT_EQ(c.history[0].tracks, (std::vector<std::uint32_t>{2}));

  EXPECT_EQ(loss_of(rescued.loss, k::tracks).kept, 3u);
  EXPECT_EQ(loss_of(rescued.loss, k::tracks).lost, 1u);
  EXPECT_EQ(loss_of(rescued.loss, k::playlist_tree).lost, 2u);
  EXPECT_EQ(loss_of(rescued.loss, k::playlist_entries).kept, 2u);
  EXPECT_EQ(loss_of(rescued.loss, k::playlist_entries).lost, 3u);
  EXPECT_EQ(loss_of(rescued.loss, k::history_entries).lost, 2u);
  EXPECT_EQ(loss_of(rescued.loss, k::colors).lost, 1u);
  EXPECT_EQ(loss_of(rescued.loss, k::artwork).kept, 1u);
}

TEST(Salvage, ATrackTooLargeForTheLibraryIsLeftOutNotTheEdit) {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t kind = 0; kind < 20; ++kind) table[kind] = b.add_table(kind);
  // 3,000 bytes that are not UTF-8: each becomes U+FFFD, stored as UTF-16.
  b.add_row(table[k::tracks], t::track_row(t::TrackRowFields{.id = 1}.title(std::string(3000, '\xff')).path("/a.mp3")));
  b.add_row(table[k::tracks], t::track_row(t::TrackRowFields{.id = 2}.title("fine").path("/b.mp3")));
  Salvage rescued = salvaged(b.finish());
  Contents c = contents_of(bytes_of(rescued.library));
  ASSERT_EQ(c.tracks.size(), 1u);
  EXPECT_EQ(c.tracks[0].id, 2u);
  EXPECT_EQ(loss_of(rescued.loss, k::tracks).lost, 1u);
}

// Enough tracks for the rows to be made by two threads a chunk at a time:
// all come in table order, and the first of an id is kept across chunks.
TEST(Salvage, FirstOfEachIdAcrossChunks) {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t kind = 0; kind < 20; ++kind) table[kind] = b.add_table(kind);
  constexpr std::uint32_t kRows = 9000;
  std::vector<std::uint32_t> kept;
  for (std::uint32_t row = 0; row < kRows; ++row) {
    // Rows 4096 and 8200 repeat kept ids, from the chunk before and its own.
    const std::uint32_t id = row == 4096 ? 5 : row == 8200 ? 8199 : row + 1;
    if (row != 4096 && row != 8200) kept.push_back(id);
    b.add_row(table[k::tracks],
              t::track_row(t::TrackRowFields{.id = id}.title("Track " + std::to_string(row)).path("/m/t.mp3")));
  }
  Salvage rescued = salvaged(b.finish());
  Contents c = contents_of(bytes_of(rescued.library));
  std::vector<std::uint32_t> ids;
  for (const TrackInfo& track : c.tracks) ids.push_back(track.id);
  EXPECT_EQ(ids, kept);
  ASSERT_EQ(c.tracks.size(), kept.size());
  EXPECT_EQ(c.tracks[4].title, "Track 4");  // id 5: the first row of the id
  EXPECT_EQ(loss_of(rescued.loss, k::tracks).lost, 2u);
  EXPECT_EQ(loss_of(rescued.loss, k::tracks).kept, kept.size());
}

// Each finding in full, for comparing two checks.
std::vector<std::string> described(const Findings& findings) {
  std::vector<std::string> out;
  auto part = [](const auto& field) { return field ? std::to_string(*field) : std::string("-"); };
  for (const Finding& f : findings.list) {
    out.push_back(f.code + "|" + f.message + "|" + std::to_string(static_cast<int>(f.severity)) + "|" + part(f.page) +
                  "|" + part(f.table) + "|" + part(f.row) + "|" + part(f.offset) + "|" + part(f.id));
  }
  return out;
}

// The check beside the salvage gives what the two give in turn: on a large
// image (a second thread) and a small one, damaged so that both have work.
TEST(Salvage, CheckedBesideTheSalvageAsInTurn) {
  Image large = t::sample_image({.tracks = 3000, .playlists = 20});
  ASSERT_GE(large.size(), std::size_t{1} << 20);
  constexpr std::size_t kPage = format::kPageSize;
  // Headers of some pages broken, bytes of others changed.
  for (std::size_t page = 5; page < large.size() / kPage; page += 40) {
    std::fill_n(large.begin() + static_cast<std::ptrdiff_t>(page * kPage), 32, 0xFF);
  }
  for (std::size_t at = 3 * kPage + 100; at < large.size(); at += 7 * kPage + 1234) large[at] ^= 0x5A;
  for (const Image& image : {large, rule_breakers()}) {
    CheckedSalvage both = check_and_salvage(image, 20);
    const Findings findings = check(image, 20);
    EXPECT_FALSE(findings.list.empty());
    EXPECT_EQ(described(both.findings), described(findings));
    EXPECT_EQ(both.findings.errors, findings.errors);
    EXPECT_EQ(both.findings.warnings, findings.warnings);
    ASSERT_TRUE(both.rescued) << both.rescued.error().message();
    Salvage alone = salvaged(image);
    EXPECT_EQ(bytes_of(both.rescued->library), bytes_of(alone.library));
    for (const TableLoss& table : alone.loss.tables) {
      EXPECT_EQ(loss_of(both.rescued->loss, table.kind).kept, table.kept);
      EXPECT_EQ(loss_of(both.rescued->loss, table.kind).lost, table.lost);
    }
    // With the new library's check put off to the caller's write: the same
    // image once the check has passed, and the same counts. The caller
    // hears when the image's pages read so far may go: once the rows are
    // recovered at least.
    std::size_t pages_read = 0;
    CheckedSalvage beside = check_and_salvage(image, 20, true, [&pages_read] { ++pages_read; });
    EXPECT_GE(pages_read, 1u);
    ASSERT_TRUE(beside.rescued) << beside.rescued.error().message();
    auto written = beside.rescued->library.bytes_while_checking();
    ASSERT_TRUE(written);
    const Image image_written(written->begin(), written->end());
    ASSERT_TRUE(beside.rescued->library.settle_check());
    EXPECT_EQ(image_written, bytes_of(alone.library));
    for (const TableLoss& table : alone.loss.tables) {
      EXPECT_EQ(loss_of(beside.rescued->loss, table.kind).kept, table.kept);
      EXPECT_EQ(loss_of(beside.rescued->loss, table.kind).lost, table.lost);
    }
  }
}

}  // namespace
}  // namespace vantrel_pdb
