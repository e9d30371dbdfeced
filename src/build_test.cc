#include "build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "build_pipeline.h"
#include "cli_runner_test_util.h"
#include "format/blank_image.h"
#include "json_writer.h"
#include "output_line_test_util.h"
#include "read/database.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "report.h"
#include "request.h"
#include "scratch_dir_test_util.h"
#include "testing/image_builder.h"

namespace dovrel {
namespace {

namespace kind = vantrel_pdb::table_kind;
namespace row = vantrel_pdb::track_row;
namespace tree = vantrel_pdb::playlist_tree_row;
namespace entry = vantrel_pdb::entry_row;
using vantrel_pdb::testing::get_u16;
using vantrel_pdb::testing::get_u32;

// The parts joined, built by appending (GCC 12 misjudges literal + temporary
// string in optimised builds).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

Track track(std::uint32_t id, std::string audio_path = "/music/a.mp3") {
  Track t;
  t.id = id;
  t.title = cat("Title ", std::to_string(id));
  t.artist = "Artist";
  t.album = "Album";
  t.genre = "Genre";
  t.key = "Am";
  t.audio_path = std::move(audio_path);
  t.bpm = 120;
  t.duration = 200;
  t.sample_rate = 44100;
  t.file_size = 1000;
  return t;
}

Playlist playlist(std::uint32_t id, std::uint32_t parent, bool folder, std::vector<std::uint32_t> tracks = {}) {
  return Playlist{id, cat("P", std::to_string(id)), parent, folder, std::move(tracks)};
}

Request request(std::vector<Track> tracks, std::vector<Playlist> playlists = {}) {
  Request r;
  r.action = "build";
  r.tracks = std::move(tracks);
  r.playlists = std::move(playlists);
  return r;
}

std::vector<std::uint8_t> built(const Request& r) {
  auto image = build(r);
  if (!image) {
    ADD_FAILURE() << image.error().message;
    return {};
  }
  return *image;
}

std::string build_error(const Request& r) {
  auto image = build(r);
  return image ? std::string("(built)") : image.error().message;
}

// The request as JSON text, for the build made while the text is read.
std::string request_text(const Request& r) {
  auto quoted = [](std::string_view text) {
    std::string out = "\"";
    append_json_escaped(out, text);
    return out + "\"";
  };
  std::string out = "{\"action\":\"build\",\"tracks\":[";
  for (const Track& t : r.tracks) {
    if (out.back() != '[') out += ',';
    out += cat(R"({"id":)", std::to_string(t.id), R"(,"title":)", quoted(t.title), R"(,"artist":)", quoted(t.artist),
               R"(,"album":)", quoted(t.album), R"(,"genre":)", quoted(t.genre), R"(,"key":)", quoted(t.key),
               R"(,"audioPath":)", quoted(t.audio_path), R"(,"analysisPath":)", quoted(t.analysis_path),
               R"(,"artworkPath":)", quoted(t.artwork_path), R"(,"bpm":)", std::to_string(t.bpm),
               R"(,"duration":)", std::to_string(t.duration), R"(,"sampleRate":)", std::to_string(t.sample_rate),
               R"(,"fileSize":)", std::to_string(t.file_size), R"(,"comment":)", quoted(t.comment));
    if (t.label) out += cat(R"(,"label":)", quoted(*t.label));
    out += '}';
  }
  out += "],\"playlists\":[";
  for (const Playlist& p : r.playlists) {
    if (out.back() != '[') out += ',';
    out += cat(R"({"id":)", std::to_string(p.id), R"(,"name":)", quoted(p.name), R"(,"parentId":)",
               std::to_string(p.parent_id), R"(,"isFolder":)", p.is_folder ? "true" : "false", R"(,"tracks":[)");
    for (std::size_t i = 0; i < p.tracks.size(); ++i) out += cat(i ? "," : "", std::to_string(p.tracks[i]));
    out += "]}";
  }
  return out + "]}";
}

// The library a request's text gives when it is built as it is read (at
// any size), or nothing when the text is read first and built after.
std::optional<Result<vantrel_pdb::Library>> built_while_read(std::string_view text) {
  auto parsed = parse_request_building(std::vector<std::uint8_t>(text.begin(), text.end()), 0);
  if (!parsed) {
    ADD_FAILURE() << parsed.error().message;
    return std::nullopt;
  }
  return std::move(parsed->built);
}

vantrel_pdb::Database decoded(const std::vector<std::uint8_t>& image) {
  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) {
    ADD_FAILURE() << db.error().message();
    return {};
  }
  return *db;
}

// The n-th row of table `k` of a decoded image.
std::uint64_t row_at(const vantrel_pdb::Database& db, std::uint32_t k, std::size_t n) {
  auto rows = db.row_locations(k);
  if (n >= rows.size()) {
    ADD_FAILURE() << "table " << k << " has " << rows.size() << " rows, wanted row " << n;
    return 0;
  }
  return rows[n];
}

TEST(Build, EmptyRequestGivesTheBlankImageUnchanged) {
  auto image = built(request({}));
  EXPECT_EQ(image.size(), 167936u);
  EXPECT_EQ(image, vantrel_pdb::make_blank_image());
  EXPECT_EQ(get_u32(image, 20), 1u);  // sequence
}

TEST(Build, RequestTrackIdsAreStoredInRequestOrder) {
  auto image = built(request({track(5), track(3)}));
  auto db = decoded(image);
  ASSERT_EQ(db.row_locations(kind::tracks).size(), 2u);
  EXPECT_EQ(get_u32(image, row_at(db, kind::tracks, 0) + 72), 5u);
  EXPECT_EQ(get_u32(image, row_at(db, kind::tracks, 1) + 72), 3u);
  EXPECT_EQ(db.tracks[0].strings[row::kTitleSlot], "Title 5");
  EXPECT_EQ(db.tracks[1].strings[row::kTitleSlot], "Title 3");
  EXPECT_EQ(get_u32(image, 20), 2u);  // one edit: the sequence goes up once
  auto report = joined(read(image));
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_LT(report->find("\"id\":5,"), report->find("\"id\":3,"));
}

TEST(Build, RequestFieldsReachTheTrackRow) {
  Track t = track(907, "/music/Artist/Song.wav");
  t.analysis_path = "/analysis/907.bin";
  t.comment = "warm \xe2\x80\x94 up";
  t.bitrate = 1411;
  t.sample_rate = 96000;
  t.file_size = 4294967295u;
  t.duration = 65535;
  t.rating = 5;
  t.sample_depth = 24;
  Track plain = track(908);  // no sampleDepth in the request: 0, not the editor's 16
  auto image = built(request({t, plain}));
  auto db = decoded(image);
  ASSERT_EQ(db.tracks.size(), 2u);
  const std::uint64_t r = row_at(db, kind::tracks, 0);
  EXPECT_EQ(get_u32(image, r + 8), 96000u);
  EXPECT_EQ(get_u32(image, r + 16), 4294967295u);
  EXPECT_EQ(get_u32(image, r + 28), 0u);  // artwork_id: no artwork path
  EXPECT_EQ(get_u32(image, r + 40), 0u);  // label_id: never given
  EXPECT_EQ(get_u32(image, r + 48), 1411u);
  EXPECT_EQ(get_u32(image, r + 56), 12000u);
  EXPECT_EQ(get_u16(image, r + 82), 24u);
  EXPECT_EQ(get_u16(image, r + 84), 65535u);
  EXPECT_EQ(image[r + 89], 5u);
  EXPECT_EQ(get_u16(image, r + 90), 11u);
  EXPECT_EQ(get_u16(image, row_at(db, kind::tracks, 1) + 82), 0u);
  const auto& s = db.tracks[0].strings;
  EXPECT_EQ(s[row::kTitleSlot], "Title 907");
  EXPECT_EQ(s[row::kFilePathSlot], "/music/Artist/Song.wav");
  EXPECT_EQ(s[row::kFileNameSlot], "Song.wav");
  EXPECT_EQ(s[row::kAnalysisPathSlot], "/analysis/907.bin");
  EXPECT_EQ(s[row::kCommentSlot], "warm \xe2\x80\x94 up");
}

TEST(Build, EmptyNamesFindOrCreateOneEmptyRow) {
  Track a = track(1);
  Track b = track(2);
  for (Track* t : {&a, &b}) t->artist = t->album = t->genre = t->key = "";
  auto db = decoded(built(request({a, b})));
  ASSERT_EQ(db.artists.size(), 1u);
  ASSERT_EQ(db.albums.size(), 1u);
  ASSERT_EQ(db.genres.size(), 1u);
  ASSERT_EQ(db.keys.size(), 1u);
  EXPECT_EQ(db.artists[0].name, "");
  EXPECT_EQ(db.albums[0].name, "");
  EXPECT_EQ(db.genres[0].name, "");
  EXPECT_EQ(db.keys[0].name, "");
  for (const auto& t : db.tracks) {
    EXPECT_EQ(t.artist_id, db.artists[0].id);
    EXPECT_EQ(t.album_id, db.albums[0].id);
    EXPECT_EQ(t.genre_id, db.genres[0].id);
    EXPECT_EQ(t.key_id, db.keys[0].id);
    EXPECT_NE(t.artist_id, 0u);
  }
}

TEST(Build, RequestLabelFindsOrCreatesOneLabelRow) {
  Track a = track(1);
  Track b = track(2);
  Track none = track(3);
  a.label = b.label = "Harbour Tapes";
  auto image = built(request({a, none, b}));
  auto db = decoded(image);
  ASSERT_EQ(db.labels.size(), 1u);
  EXPECT_EQ(db.labels[0].name, "Harbour Tapes");
  EXPECT_EQ(db.tracks[0].label_id, db.labels[0].id);
  EXPECT_EQ(db.tracks[1].label_id, 0u);
  EXPECT_EQ(db.tracks[2].label_id, db.labels[0].id);
  EXPECT_NE(db.labels[0].id, 0u);
}

struct TempoCase {
  double bpm;
  std::uint32_t tempo;
};

class Tempo : public ::testing::TestWithParam<TempoCase> {};

TEST_P(Tempo, IsHundredthsRoundedHalfAwayAndClamped) { EXPECT_EQ(tempo_from_bpm(GetParam().bpm), GetParam().tempo); }

INSTANTIATE_TEST_SUITE_P(Conversions, Tempo,
                         ::testing::Values(TempoCase{128.5, 12850}, TempoCase{0.125, 13}, TempoCase{120.004, 12000},
                                           TempoCase{2.675, 268},  // 267.5 exactly in double: away from zero
                                           TempoCase{1.005, 100},  // 100.49999999999999 in double
                                           TempoCase{0.005, 1}, TempoCase{0.004999, 0}, TempoCase{0, 0},
                                           TempoCase{-0.0, 0}, TempoCase{-0.005, 0}, TempoCase{-3, 0},
                                           TempoCase{-1e300, 0}, TempoCase{42949672.94, 4294967294u},
                                           TempoCase{42949672.945, 4294967295u}, TempoCase{42949672.95, 4294967295u},
                                           TempoCase{42949672.955, 4294967295u}, TempoCase{1e300, 4294967295u},
                                           TempoCase{std::numeric_limits<double>::infinity(), 4294967295u},
                                           TempoCase{std::numeric_limits<double>::quiet_NaN(), 0}));

TEST(Tempo, IsWrittenAtRowOffset56) {
  std::vector<Track> tracks;
  const double bpms[] = {128.5, 0.125, 120.004, -3, 1e300};
  for (double bpm : bpms) {
    tracks.push_back(track(static_cast<std::uint32_t>(tracks.size() + 1)));
    tracks.back().bpm = bpm;
  }
  auto image = built(request(tracks));
  auto db = decoded(image);
  const std::uint32_t expected[] = {12850, 13, 12000, 0, 4294967295u};
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    EXPECT_EQ(get_u32(image, row_at(db, kind::tracks, k) + 56), expected[k]) << "bpm " << bpms[k];
  }
}

TEST(Tempo, NanCannotComeFromARequest) {
  for (const char* bpm : {"NaN", "nan", "Infinity", "-Infinity"}) {
    auto r = parse_request(cat(R"({"action":"build","tracks":[{"id":1,"title":"","artist":"","album":"",)",
                               R"("genre":"","key":"","audioPath":"a.mp3","analysisPath":"","artworkPath":"",)",
                               R"("duration":0,"sampleRate":0,"fileSize":0,"bpm":)", bpm, "}]}"));
    EXPECT_FALSE(r) << bpm;
  }
}

struct FileTypeCase {
  const char* path;
  std::optional<std::uint16_t> code;
};

class FileType : public ::testing::TestWithParam<FileTypeCase> {};

TEST_P(FileType, ComesFromTheLastExtension) {
  const auto& c = GetParam();
  EXPECT_EQ(file_type_for_path(c.path), c.code);
  auto image = build(request({track(1, c.path)}));
  if (!c.code) {
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().message, "Unsupported audio extension");
    return;
  }
  ASSERT_TRUE(image) << image.error().message;
  auto db = decoded(*image);
  EXPECT_EQ(get_u16(*image, row_at(db, kind::tracks, 0) + 90), *c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, FileType,
    ::testing::Values(FileTypeCase{"/m/a.mp3", 1}, FileTypeCase{"/m/a.MP3", 1}, FileTypeCase{"/m/a.m4a", 4},
                      FileTypeCase{"/m/a.aac", 4}, FileTypeCase{"/m/a.Flac", 5}, FileTypeCase{"/m/a.alac", 6},
                      FileTypeCase{"/m/a.wav", 11}, FileTypeCase{"/m/a.aif", 12}, FileTypeCase{"/m/a.AIFF", 12},
                      FileTypeCase{"mp3", 1},             // no "." at all: the whole path is the extension
                      FileTypeCase{"/m.v2/a.b.wav", 11},  // only the last "." counts
                      FileTypeCase{"/music/mp3", std::nullopt}, FileTypeCase{"/m/a.", std::nullopt},
                      FileTypeCase{"/m/a.ogg", std::nullopt}, FileTypeCase{"", std::nullopt},
                      FileTypeCase{"/m/a.mp3.ogg", std::nullopt}, FileTypeCase{"/m.mp3/a", std::nullopt},
                      FileTypeCase{"/m/a.mp3 ", std::nullopt}, FileTypeCase{"/m/a.mp\xc3\xa9", std::nullopt}));

TEST(BuildPlaylists, ChildListedBeforeItsFolderIsCreatedAfterIt) {
  auto image = built(request({track(5)}, {playlist(20, 10, false, {5}), playlist(10, 0, true)}));
  auto db = decoded(image);
  ASSERT_EQ(db.row_locations(kind::playlist_tree).size(), 2u);
  const std::uint64_t folder = row_at(db, kind::playlist_tree, 0);
  const std::uint64_t child = row_at(db, kind::playlist_tree, 1);
  EXPECT_EQ(get_u32(image, folder + tree::kParentIdOffset), 0u);
  EXPECT_EQ(get_u32(image, folder + tree::kIdOffset), 10u);
  EXPECT_EQ(get_u32(image, folder + tree::kFolderFlagOffset), 1u);
  EXPECT_EQ(get_u32(image, child + tree::kParentIdOffset), 10u);
  EXPECT_EQ(get_u32(image, child + tree::kIdOffset), 20u);
  EXPECT_EQ(get_u32(image, child + tree::kFolderFlagOffset), 0u);
  EXPECT_EQ(db.playlist_tree[0].name, "P10");
  EXPECT_EQ(db.playlist_tree[1].name, "P20");
  const std::uint64_t e = row_at(db, kind::playlist_entries, 0);
  EXPECT_EQ(get_u32(image, e + entry::kEntryIndexOffset), 1u);
  EXPECT_EQ(get_u32(image, e + entry::kTrackIdOffset), 5u);
  EXPECT_EQ(get_u32(image, e + entry::kPlaylistIdOffset), 20u);
}

TEST(BuildPlaylists, ReadyPlaylistsAreCreatedInRequestOrderPassByPass) {
  // Pass 1: 1, 4, then 5 (its parent was created earlier in the pass);
  // pass 2: 2; pass 3: 3.
  auto db = decoded(built(request({}, {playlist(3, 2, false), playlist(2, 1, true), playlist(1, 0, true),
                                       playlist(4, 0, false), playlist(5, 1, false)})));
  std::vector<std::uint32_t> order;
  for (const auto& node : db.playlist_tree) order.push_back(node.id);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 4, 5, 2, 3}));
}

TEST(BuildPlaylists, ChildFirstChainIsAddedOnePassPerLevel) {
  // Folders 1 (top) to 300 (deepest), listed deepest first, with playlist
  // 1000 under folder 150 listed after it and 1001 under folder 200 before
  // everything: each level waits one pass; 1000 joins its parent's pass and
  // 1001 the pass after its parent's.
  std::vector<Playlist> playlists = {playlist(1001, 200, false)};
  for (std::uint32_t id = 300; id >= 1; --id) playlists.push_back(playlist(id, id - 1, true));
  playlists.push_back(playlist(1000, 150, false));
  auto db = decoded(built(request({}, playlists)));
  std::vector<std::uint32_t> expected;
  for (std::uint32_t id = 1; id <= 300; ++id) {
    expected.push_back(id);
    if (id == 150) expected.push_back(1000);
    if (id == 200) expected.push_back(1001);
  }
  std::vector<std::uint32_t> order;
  for (const auto& node : db.playlist_tree) order.push_back(node.id);
  EXPECT_EQ(order, expected);
}

TEST(BuildPlaylists, RepeatedTrackGetsAnEntryEachTime) {
  auto image = built(request({track(4), track(9)}, {playlist(30, 0, false, {9, 4, 9})}));
  auto db = decoded(image);
  ASSERT_EQ(db.row_locations(kind::playlist_entries).size(), 3u);
  const std::uint32_t tracks[] = {9, 4, 9};
  for (std::uint32_t n = 0; n < 3; ++n) {
    const std::uint64_t e = row_at(db, kind::playlist_entries, n);
    EXPECT_EQ(get_u32(image, e + entry::kEntryIndexOffset), n + 1);
    EXPECT_EQ(get_u32(image, e + entry::kTrackIdOffset), tracks[n]);
    EXPECT_EQ(get_u32(image, e + entry::kPlaylistIdOffset), 30u);
  }
  auto report = joined(read(image));
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_NE(report->find(R"("tracks":[9,4,9])"), std::string::npos) << *report;
}

TEST(BuildPlaylists, ParentThatIsNotAFolderStillTakesChildren) {
  auto image = built(request({}, {playlist(1, 0, false), playlist(2, 1, false)}));
  auto db = decoded(image);
  ASSERT_EQ(db.playlist_tree.size(), 2u);
  EXPECT_EQ(db.playlist_tree[1].parent_id, 1u);
  EXPECT_EQ(db.playlist_tree[1].id, 2u);
}

struct BuildErrorCase {
  const char* name;
  std::vector<Track> tracks;
  std::vector<Playlist> playlists;
  std::string message;
};

class BuildError : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(BuildError, HasExactMessage) {
  EXPECT_EQ(build_error(request(GetParam().tracks, GetParam().playlists)), GetParam().message);
}

// Built as the request is read, the same failure: a track's at once, a
// playlist's or the commit's after the last track.
TEST_P(BuildError, HasTheSameMessageBuiltWhileRead) {
  auto library = built_while_read(request_text(request(GetParam().tracks, GetParam().playlists)));
  ASSERT_TRUE(library.has_value());
  std::string message = "(built)";
  if (!*library) {
    message = (*library).error().message;
  } else if (auto image = std::move(**library).take_bytes(); !image) {
    message = image.error().message();
  }
  EXPECT_EQ(message, GetParam().message);
}

// Its row estimate: 140 + 4104 for the title (long ASCII, 4-byte header)
// + 96 for the other twenty strings, each rounded up to 4.
Track long_title_track() {
  Track t = track(1);
  t.title = std::string(4100, 'x');
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BuildError,
    ::testing::Values(
        BuildErrorCase{"DuplicateTrack", {track(1), track(2), track(1)}, {}, "Duplicate track ID"},
        // Track duplicates come first, before extensions and playlists.
        BuildErrorCase{
            "DuplicateBeforeExtension", {track(1, "a.ogg"), track(1)}, {playlist(1, 99, false)}, "Duplicate track ID"},
        BuildErrorCase{"MissingParent",
                       {},
                       {playlist(1, 0, false), playlist(2, 99, false)},
                       "Playlist parent cycle or missing parent"},
        BuildErrorCase{
            "TwoCycle", {}, {playlist(1, 2, true), playlist(2, 1, true)}, "Playlist parent cycle or missing parent"},
        BuildErrorCase{"SelfParent", {}, {playlist(7, 7, true)}, "Playlist parent cycle or missing parent"},
        BuildErrorCase{"DuplicatePlaylist", {}, {playlist(3, 0, false), playlist(3, 0, true)}, "Duplicate playlist ID"},
        BuildErrorCase{"PlaylistIdZero", {}, {playlist(0, 0, false)}, "Duplicate playlist ID"},
        // A duplicate shows only once its parent exists ...
        BuildErrorCase{"DuplicateAfterParentExists",
                       {},
                       {playlist(5, 6, false), playlist(6, 0, true), playlist(5, 0, false)},
                       "Duplicate playlist ID"},
        // ... and a missing parent stops the passes before that.
        BuildErrorCase{"MissingParentHidesDuplicate",
                       {},
                       {playlist(5, 0, false), playlist(5, 99, false)},
                       "Playlist parent cycle or missing parent"},
        BuildErrorCase{"AbsentTrack", {track(1)}, {playlist(1, 0, false, {1, 7})}, "Playlist references absent track"},
        // The editor's id of the folder (2), not the request's 50.
        BuildErrorCase{"FolderWithTracks",
                       {track(1)},
                       {playlist(8, 0, false), playlist(50, 0, true, {1})},
                       "no playlist with id 2"},
        // Extensions are checked only after every track and playlist is in.
        BuildErrorCase{"AbsentTrackBeforeExtension",
                       {track(1, "/m/a.ogg")},
                       {playlist(1, 0, false, {2})},
                       "Playlist references absent track"},
        BuildErrorCase{"MissingParentBeforeExtension",
                       {track(1, "/m/a.ogg")},
                       {playlist(1, 5, false)},
                       "Playlist parent cycle or missing parent"},
        BuildErrorCase{"ExtensionOfALaterTrack",
                       {track(1), track(2, "/m/b.ogg")},
                       {playlist(1, 0, false, {1, 2})},
                       "Unsupported audio extension"},
        BuildErrorCase{"TitleTooLong", {long_title_track()}, {}, "row allocation 4340 exceeds page capacity 4050"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The same request gives the same bytes, whether the build copies the
// request's texts or takes them (as the tool does), which leaves the
// request's tracks and playlists empty and its output as it was.
TEST(Build, SameRequestGivesSameBytes) {
  std::vector<Track> tracks;
  for (std::uint32_t id = 40; id > 0; --id) {
    tracks.push_back(track(id, id % 2 ? "/m/a.flac" : "/m/b.MP3"));
    tracks.back().artist = cat("Artist ", std::to_string(id % 5));
    tracks.back().artwork_path = id % 3 ? cat("/art/", std::to_string(id), ".jpg") : "";
    // Texts past the short-string buffer, which a move hands over.
    tracks.back().comment = cat("a comment long enough to live on the heap, track ", std::to_string(id));
    if (id % 4 == 0) tracks.back().label = cat("a label long enough to live on the heap ", std::to_string(id));
  }
  auto r = request(tracks, {playlist(2, 1, false, {1, 2, 3}), playlist(1, 0, true), playlist(3, 0, false, {40})});
  r.output = "/o.pdb";
  auto first = built(r);
  EXPECT_EQ(first, built(r));
  EXPECT_GT(first.size(), vantrel_pdb::make_blank_image().size());
  auto taken = build_library_taking(r);
  ASSERT_TRUE(taken) << taken.error().message;
  auto image = std::move(*taken).take_bytes();
  ASSERT_TRUE(image) << image.error().message();
  EXPECT_EQ(*image, first);
  EXPECT_TRUE(r.tracks.empty());
  EXPECT_TRUE(r.playlists.empty());
  EXPECT_EQ(r.output, "/o.pdb");
}

// Built as its text is read, in batches on a second thread, a request of
// many batches gives the same bytes as one read first; a request the one
// pass leaves to the document is read first; a fault of the request comes
// before any failure of the build.
TEST(Build, BuiltWhileReadGivesTheSameBytes) {
  std::vector<Track> tracks;
  for (std::uint32_t id = 1; id <= 1300; ++id) {
    tracks.push_back(track(id, id % 3 ? "/m/a.flac" : "/m/b.mp3"));
    tracks.back().artist = cat("Artist \"", std::to_string(id % 7), "\"");
    tracks.back().comment = cat("a comment long enough to live on the heap, track ", std::to_string(id));
    if (id % 5 == 0) tracks.back().label = cat("Label ", std::to_string(id % 3));
  }
  const Request r = request(tracks, {playlist(1, 0, true), playlist(2, 1, false, {1, 1300, 7})});
  const std::string text = request_text(r);
  auto library = built_while_read(text);
  ASSERT_TRUE(library.has_value());
  ASSERT_TRUE(*library) << (*library).error().message;
  auto image = std::move(**library).take_bytes();
  ASSERT_TRUE(image) << image.error().message();
  EXPECT_EQ(*image, built(r));

  // Keys a build does not use: the text is read first, and the request holds its tracks.
  const std::string with_tempos = text.substr(0, text.size() - 1) + R"(,"tempos":{"1":2}})";
  auto parsed = parse_request_building(std::vector<std::uint8_t>(with_tempos.begin(), with_tempos.end()), 0);
  ASSERT_TRUE(parsed) << parsed.error().message;
  EXPECT_FALSE(parsed->built.has_value());
  EXPECT_EQ(parsed->request.tracks.size(), 1300u);

  // A repeated track id early, a fault of the request late: the request's message.
  std::vector<Track> repeated = tracks;
  repeated[3].id = 1;
  std::string faulty = request_text(request(repeated));
  faulty.insert(faulty.size() - 1, R"(,"input":7)");
  auto refused = parse_request_building(std::vector<std::uint8_t>(faulty.begin(), faulty.end()), 0);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "input: expected a string, got 7");

  // Text that is not UTF-8 in the last track's comment, after batches that
  // read well: the request's message, whatever the adder had made.
  std::string not_utf8 = text;
  not_utf8.replace(not_utf8.rfind("track 1300"), 5, "tr\xffk");
  auto invalid = parse_request_building(std::vector<std::uint8_t>(not_utf8.begin(), not_utf8.end()), 0);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().message, "stream did not contain valid UTF-8");

  // A text that stands elsewhere (a mapped request) gives each the same.
  const auto from_view = [](const std::string& t) {
    std::string padded = t + std::string(kRequestPadding, '\0');
    return parse_request_building(std::string_view(padded.data(), t.size()), 0);
  };
  auto viewed = from_view(text);
  ASSERT_TRUE(viewed && viewed->built && *viewed->built) << text.size();
  auto viewed_image = std::move(**viewed->built).take_bytes();
  ASSERT_TRUE(viewed_image);
  EXPECT_EQ(*viewed_image, *image);
  auto viewed_tempos = from_view(with_tempos);
  ASSERT_TRUE(viewed_tempos);
  EXPECT_FALSE(viewed_tempos->built.has_value());
  EXPECT_EQ(viewed_tempos->request.tracks.size(), 1300u);
  auto viewed_refused = from_view(faulty);
  ASSERT_FALSE(viewed_refused);
  EXPECT_EQ(viewed_refused.error().message, refused.error().message);
}

// A mapped request lets go of the text the one pass has read: what the pass
// is told it has read, it never looks at again. The told bytes are spoiled
// here as they are told, and the build is the same.
TEST(Build, TextToldReadIsNotReadAgain) {
  std::vector<Track> tracks;
  const std::string long_comment(2000, 'c');
  for (std::uint32_t id = 1; id <= 5000; ++id) {
    tracks.push_back(track(id, "/m/a.flac"));
    tracks.back().comment = cat(long_comment, std::to_string(id));
  }
  const Request r = request(tracks, {playlist(1, 0, false, {5000, 1})});
  const std::string text = request_text(r);
  ASSERT_GT(text.size(), 2 * kTextReadStep);
  std::string padded = text + std::string(kRequestPadding, '\0');
  std::vector<std::size_t> told;
  auto parsed = parse_request_building(std::string_view(padded.data(), text.size()), 0, [&](std::size_t bytes) {
    ASSERT_LE(bytes, text.size());
    told.push_back(bytes);
    std::fill_n(padded.begin(), bytes, '#');
  });
  ASSERT_TRUE(parsed && parsed->built && *parsed->built);
  EXPECT_GE(told.size(), 2u);
  EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
  auto image = std::move(**parsed->built).take_bytes();
  ASSERT_TRUE(image);
  EXPECT_EQ(*image, built(r));
}

// Batches of tracks added as they come, each prepared where it was read or
// left to the adder: the same bytes, and the same first failure, whichever
// thread prepared which batch.
TEST(Build, BatchesPreparedByEitherThreadAddAlike) {
  std::vector<Track> tracks;
  for (std::uint32_t id = 1; id <= 40; ++id) tracks.push_back(track(id, id % 2 ? "/m/a.flac" : "/m/b.mp3"));
  const Request r = request(tracks, {playlist(1, 0, false, {3, 40})});
  std::vector<Track> repeated = tracks;
  repeated[25].id = 2;  // in the third batch
  for (const std::vector<Track>* source : {&tracks, &repeated}) {
    const std::string expected = source == &tracks ? "(built)" : "Duplicate track ID";
    for (int pattern : {0, 1, 2}) {  // none prepared here, all, every other
      TrackAdder adder = TrackAdder::for_text(4000);
      for (std::size_t begin = 0, b = 0; begin < source->size(); begin += 10, ++b) {
        std::vector<Track> part(source->begin() + static_cast<std::ptrdiff_t>(begin),
                                source->begin() + static_cast<std::ptrdiff_t>(begin + 10));
        auto batch = TrackAdder::batch_of(std::move(part), 100 * (begin + 10), b == 0);
        if (pattern == 1 || (pattern == 2 && b % 2 == 1)) TrackAdder::prepare(batch);
        adder.add(batch);
      }
      auto library = std::move(adder).finish(r);
      std::string message = "(built)";
      if (!library) {
        message = library.error().message;
      } else if (auto image = std::move(*library).take_bytes(); !image) {
        message = image.error().message();
      } else {
        EXPECT_EQ(*image, built(r)) << pattern;
      }
      EXPECT_EQ(message, expected) << pattern;
    }
  }
}

// The command line: which message a failing build prints, and that it
// leaves no file behind.
class BuildCommand : public ::testing::Test {
 protected:
  static std::string track_json(std::uint32_t id, const std::string& audio) {
    return cat(R"({"id":)", std::to_string(id),
               R"(,"title":"T","artist":"A","album":"B","genre":"G","key":"Am","audioPath":")", audio,
               R"(","analysisPath":"","artworkPath":"","bpm":120,"duration":1,"sampleRate":44100,"fileSize":1})");
  }
  std::string build_json(const std::string& tracks, const std::string& playlists, const std::string& output) {
    std::string out = cat(R"({"action":"build","tracks":[)", tracks, R"(],"playlists":[)", playlists, "]");
    if (!output.empty()) out += cat(R"(,"output":")", output, "\"");
    return out + "}";
  }
  scratch::ScratchDir scratch_;
};

TEST_F(BuildCommand, MissingOutputComesOnlyAfterASuccessfulBuild) {
  using cli_runner::expect_failure;
  using cli_runner::run_dovrel;
  expect_failure(run_dovrel(R"({"action":"build"})"), "Missing output");
  expect_failure(run_dovrel(R"({"action":"build","output":null,"input":"ignored"})"), "Missing output");
  expect_failure(run_dovrel(build_json(cat(track_json(1, "a.mp3"), ",", track_json(1, "b.mp3")), "", "")),
                 "Duplicate track ID");
  expect_failure(run_dovrel(build_json(track_json(1, "a.ogg"), "", "")), "Unsupported audio extension");
  expect_failure(run_dovrel(build_json(track_json(1, "a.ogg"),
                                       R"({"id":1,"name":"P","parentId":0,"isFolder":false,"tracks":[2]})", "")),
                 "Playlist references absent track");
  EXPECT_TRUE(scratch_.list().empty());
}

TEST_F(BuildCommand, FailedBuildLeavesNoFileAndKeepsAnOldOne) {
  using cli_runner::expect_failure;
  using cli_runner::run_dovrel;
  const std::string fresh = scratch_.path("fresh.pdb");
  expect_failure(run_dovrel(build_json(track_json(1, "a.ogg"), "", fresh)), "Unsupported audio extension");
  EXPECT_FALSE(std::filesystem::exists(fresh));
  const std::vector<std::uint8_t> old = {1, 2, 3};
  const std::string kept = scratch_.write("kept.pdb", old);
  expect_failure(run_dovrel(build_json(cat(track_json(1, "a.mp3"), ",", track_json(1, "b.mp3")), "", kept)),
                 "Duplicate track ID");
  EXPECT_EQ(scratch::read_whole(kept), old);
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"kept.pdb"});
}

TEST_F(BuildCommand, WritesWhatItReports) {
  const std::string out = scratch_.path("lib.pdb");
  auto run = cli_runner::run_dovrel(build_json(cat(track_json(5, "a.wav"), ",", track_json(3, "b.mp3")), "", out));
  ASSERT_EQ(run.status, 0) << run.err;
  auto file = scratch::read_whole(out);
  auto report = joined(read(file));
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_EQ(run.out, *report);
  // Twice the same request, twice the same file.
  const std::string again = scratch_.path("again.pdb");
  auto second = cli_runner::run_dovrel(build_json(cat(track_json(5, "a.wav"), ",", track_json(3, "b.mp3")), "", again));
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(scratch::read_whole(again), file);
}

// The example requests run in the order the examples README gives, with
// their paths moved into the scratch directory.
class ExampleRoundTrip : public BuildCommand {
 protected:
  std::string example(const std::string& name) {
    std::ifstream in(cat(DOVREL_SOURCE_DIR, "/examples/", name));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << name;
    for (const std::string from : {"out/library-patched.pdb", "out/library.pdb"}) {
      const std::string to = scratch_.path(from.substr(4));
      for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
      }
    }
    return text;
  }
  // The report's records, read back with the request parser (the report's
  // track and playlist records are request records).
  static Request records_of(const std::string& report) {
    auto parsed = parse_request(cat(R"({"action":"report",)", std::string_view(report).substr(1)));
    if (!parsed) ADD_FAILURE() << parsed.error().message;
    return parsed ? *parsed : Request{};
  }
  static std::string run_ok(const std::string& request) {
    auto run = cli_runner::run_dovrel(request);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return run.out;
  }
};

TEST_F(ExampleRoundTrip, BuildPatchRead) {
  auto library = parse_request(example("library.json"));
  ASSERT_TRUE(library) << library.error().message;
  auto patch = parse_request(example("patch.json"));
  ASSERT_TRUE(patch) << patch.error().message;

  // Build: the report gives back every request track as it was asked for,
  // and the playlists folders first, in pass order.
  const std::string built_line = run_ok(example("library.json"));
  Request built_report = records_of(built_line);
  EXPECT_EQ(built_report.tracks, library->tracks);
  std::vector<std::uint32_t> order;
  for (const auto& p : built_report.playlists) order.push_back(p.id);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{10, 21, 22, 11, 14, 12, 13}));
  std::unordered_map<std::uint32_t, Playlist> asked;
  for (const auto& p : library->playlists) asked.emplace(p.id, p);
  for (const auto& p : built_report.playlists) EXPECT_EQ(p, asked.at(p.id));
  auto file = scratch::read_whole(scratch_.path("library.pdb"));
  EXPECT_EQ(file, built(*library));
  EXPECT_EQ(run_ok(cat(R"({"action":"read","input":")", scratch_.path("library.pdb"), "\"}")), built_line);

  // Patch: the kept tracks in file order with the new tempos, the kept
  // playlists without the entries of removed tracks.
  const std::string patched_line = run_ok(example("patch.json"));
  Request patched = records_of(patched_line);
  const std::set<std::uint32_t> keep(patch->keep_tracks->begin(), patch->keep_tracks->end());
  const std::set<std::uint32_t> keep_lists(patch->keep_playlists->begin(), patch->keep_playlists->end());
  std::vector<Track> tracks;
  for (Track t : library->tracks) {
    if (!keep.contains(t.id)) continue;
    if (auto tempo = patch->tempos.find(t.id); tempo != patch->tempos.end()) t.bpm = tempo->second / 100.0;
    tracks.push_back(t);
  }
  EXPECT_EQ(patched.tracks, tracks);
  std::vector<Playlist> playlists;
  for (Playlist p : built_report.playlists) {
    if (!keep_lists.contains(p.id)) continue;
    std::erase_if(p.tracks, [&](std::uint32_t id) { return !keep.contains(id); });
    playlists.push_back(p);
  }
  EXPECT_EQ(patched.playlists, playlists);
  EXPECT_EQ(scratch::read_whole(scratch_.path("library-patched.pdb")).size(), file.size());

  // Read: the patched file says what the patch reported.
  EXPECT_EQ(run_ok(example("read.json")), patched_line);
}

}  // namespace
}  // namespace dovrel
