#include "report.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "build.h"
#include "format/format.h"
#include "format/validate.h"
#include "ordered_blocks.h"
#include "output_line_test_util.h"
#include "read/track.h"
#include "testing/image_builder.h"
#include "testing/xorshift.h"
#include "two_halves.h"

namespace dovrel {
namespace {

namespace kind = vantrel_pdb::table_kind;
namespace t = vantrel_pdb::testing;
using t::ImageBuilder;
using t::TrackRowFields;

// An image with one table of every kind the report uses.
class Library {
 public:
  Library() {
    for (std::uint32_t k : {kind::tracks, kind::genres, kind::artists, kind::albums, kind::keys, kind::playlist_tree,
                            kind::playlist_entries, kind::artwork}) {
      table_[k] = b_.add_table(k);
    }
  }
  std::uint64_t track(const TrackRowFields& row_spec) {
    return b_.add_row(table_[kind::tracks], t::track_row(row_spec));
  }
  void artist(std::uint32_t id, std::string_view name) { b_.add_row(table_[kind::artists], t::artist_row(id, name)); }
  void album(std::uint32_t id, std::string_view name) { b_.add_row(table_[kind::albums], t::album_row(id, 0, name)); }
  void genre(std::uint32_t id, std::string_view name) { b_.add_row(table_[kind::genres], t::id_name_row(id, name)); }
  void key(std::uint32_t id, std::string_view name) { b_.add_row(table_[kind::keys], t::key_row(id, name)); }
  void artwork(std::uint32_t id, std::string_view path) { b_.add_row(table_[kind::artwork], t::id_name_row(id, path)); }
  void playlist(std::uint32_t id, std::uint32_t parent, bool folder, std::string_view name) {
    b_.add_row(table_[kind::playlist_tree], t::tree_row(parent, 0, id, folder, name));
  }
  void entry(std::uint32_t index, std::uint32_t track, std::uint32_t playlist) {
    b_.add_row(table_[kind::playlist_entries], t::entry_row(index, track, playlist));
  }
  ImageBuilder& builder() { return b_; }

  std::string report() {
    auto line = joined(read(b_.finish()));
    return line ? *line : "error: " + line.error().message;
  }

 private:
  ImageBuilder b_;
  std::size_t table_[32] = {};
};

// The report line of a library with just these tracks and playlists.
std::string tracks_line(const std::string& tracks) {
  return R"({"playlists":[],"tracks":[)" + tracks +
         R"(],"version":1})"
         "\n";
}

std::string track_record(const std::string& album, const std::string& artist, const std::string& artwork,
                         const std::string& bpm, std::uint32_t id, const std::string& title) {
  return R"({"album":")" + album + R"(","analysisPath":"","artist":")" + artist + R"(","artworkPath":")" + artwork +
         R"(","audioPath":"","bitrate":0,"bpm":)" + bpm +
         R"(,"comment":"","duration":0,"fileSize":0,"genre":"","id":)" + std::to_string(id) +
         R"(,"key":"","rating":0,"sampleDepth":16,"sampleRate":44100,"title":")" + title + R"("})";
}

TEST(Report, BlankLibraryHasNoTracksOrPlaylists) {
  ImageBuilder b;
  for (std::uint32_t k = 0; k < 20; ++k) b.add_table(k);
  auto line = joined(read(b.finish()));
  ASSERT_TRUE(line) << line.error().message;
  EXPECT_EQ(*line, "{\"playlists\":[],\"tracks\":[],\"version\":1}\n");
}

TEST(Report, TrackCarriesEveryFieldInKeyOrder) {
  Library lib;
  lib.artist(2, "Artist");
  lib.album(3, "Album");
  lib.genre(4, "Genre");
  lib.key(5, "Am");
  lib.artwork(6, "/art/6.jpg");
  TrackRowFields row_spec;
  row_spec.id = 907;
  row_spec.artist_id = 2;
  row_spec.album_id = 3;
  row_spec.genre_id = 4;
  row_spec.key_id = 5;
  row_spec.artwork_id = 6;
  row_spec.label_id = 9;
  row_spec.tempo = 12850;
  row_spec.sample_rate = 48000;
  row_spec.file_size = 4294967295u;
  row_spec.bitrate = 320;
  row_spec.duration = 65535;
  row_spec.sample_depth = 24;
  row_spec.rating = 255;
  row_spec.strings[vantrel_pdb::track_row::kAnalysisPathSlot] = "/a/907.dat";
  row_spec.strings[vantrel_pdb::track_row::kCommentSlot] = "nice";
  row_spec.strings[vantrel_pdb::track_row::kFileNameSlot] = "907.mp3";
  row_spec.title("Title").path("/m/907.mp3");
  lib.track(row_spec);
  EXPECT_EQ(lib.report(),
            tracks_line(R"({"album":"Album","analysisPath":"/a/907.dat","artist":"Artist","artworkPath":"/art/6.jpg",)"
                        R"("audioPath":"/m/907.mp3","bitrate":320,"bpm":128.5,"comment":"nice","duration":65535,)"
                        R"("fileSize":4294967295,"genre":"Genre","id":907,"key":"Am","rating":255,"sampleDepth":24,)"
                        R"("sampleRate":48000,"title":"Title"})"));
}

TEST(Report, NamesResolveByFirstMatchingIdOrToEmpty) {
  Library lib;
  lib.artist(1, "first");
  lib.artist(1, "second");
  lib.artist(0, "zero");
  lib.album(7, "album seven");
  lib.artwork(1, "/one.jpg");
  lib.artwork(1, "/other.jpg");
  TrackRowFields a;
  a.id = 1;
  a.artist_id = 1;
  a.album_id = 8;  // no such album
  a.artwork_id = 1;
  lib.track(a.title("a"));
  TrackRowFields b;
  b.id = 2;
  b.artist_id = 0;  // 0 resolves like any id when a row has it
  b.album_id = 7;
  b.artwork_id = 0;  // no artwork row 0
  lib.track(b.title("b"));
  EXPECT_EQ(lib.report(), tracks_line(track_record("", "first", "/one.jpg", "0.0", 1, "a") + "," +
                                      track_record("album seven", "zero", "", "0.0", 2, "b")));
}

// Ids far apart take the other way of looking names up; the rules stay:
// the first row of an id wins, an id without a row gives "".
TEST(Report, NamesResolveAlikeForScatteredIds) {
  Library lib;
  lib.artist(4000000000u, "first");
  lib.artist(4000000000u, "second");
  lib.artist(7, "seven");
  lib.album(3999999999u, "far album");
  lib.artwork(4294967295u, "/max.jpg");
  TrackRowFields a;
  a.id = 1;
  a.artist_id = 4000000000u;
  a.album_id = 3999999999u;
  a.artwork_id = 4294967295u;
  lib.track(a.title("a"));
  TrackRowFields b;
  b.id = 2;
  b.artist_id = 7;
  b.album_id = 8;              // no such album
  b.artwork_id = 4294967294u;  // no such artwork
  lib.track(b.title("b"));
  EXPECT_EQ(lib.report(), tracks_line(track_record("far album", "first", "/max.jpg", "0.0", 1, "a") + "," +
                                      track_record("", "seven", "", "0.0", 2, "b")));
}

TEST(Report, BpmIsTempoInHundredths) {
  struct Case {
    std::uint32_t tempo;
    const char* bpm;
  };
  for (Case c : {Case{12000, "120.0"}, Case{12850, "128.5"}, Case{12345, "123.45"}, Case{0, "0.0"}, Case{1, "0.01"},
                 Case{4294967295u, "42949672.95"}}) {
    Library lib;
    TrackRowFields row_spec;
    row_spec.tempo = c.tempo;
    lib.track(row_spec);
    EXPECT_EQ(lib.report(), tracks_line(track_record("", "", "", c.bpm, 1, ""))) << c.tempo;
  }
}

TEST(Report, TextIsWrittenAsUtf8WithJsonEscapesOnly) {
  Library lib;
  lib.artist(1, "Bj\xc3\xb6rk \xe2\x99\xab");  // stored as UTF-16
  TrackRowFields row_spec;
  row_spec.artist_id = 1;
  lib.track(row_spec.title("a\"b\\c/d\x7f\x01\ne"));
  EXPECT_EQ(lib.report(),
            tracks_line(track_record("", "Bj\xc3\xb6rk \xe2\x99\xab", "", "0.0", 1, "a\\\"b\\\\c/d\x7f\\u0001\\ne")));
}

TEST(Report, PlaylistTracksFollowEntryIndexWithStableTies) {
  Library lib;
  lib.playlist(1, 0, true, "Folder");
  lib.playlist(5, 1, false, "Set");
  lib.playlist(6, 0, false, "Empty");
  lib.entry(3, 30, 5);
  lib.entry(1, 10, 5);
  lib.entry(9, 99, 4);  // playlist 4 is not in the tree
  lib.entry(2, 20, 5);
  lib.entry(1, 11, 5);           // same index as track 10, later in the table
  lib.entry(0xFFFFFFFF, 40, 5);  // indices compare unsigned
  lib.entry(0, 1, 1);            // a folder's entries are listed like any others
  EXPECT_EQ(lib.report(), R"({"playlists":[)"
                          R"({"id":1,"isFolder":true,"name":"Folder","parentId":0,"tracks":[1]},)"
                          R"({"id":5,"isFolder":false,"name":"Set","parentId":1,"tracks":[10,11,20,30,40]},)"
                          R"({"id":6,"isFolder":false,"name":"Empty","parentId":0,"tracks":[]}],)"
                          R"("tracks":[],"version":1})"
                          "\n");
}

TEST(Report, NodesSharingAnIdShareTheirEntries) {
  Library lib;
  lib.playlist(2, 0, false, "a");
  lib.playlist(2, 0, false, "b");
  lib.entry(2, 8, 2);
  lib.entry(1, 7, 2);
  EXPECT_EQ(lib.report(), R"({"playlists":[)"
                          R"({"id":2,"isFolder":false,"name":"a","parentId":0,"tracks":[7,8]},)"
                          R"({"id":2,"isFolder":false,"name":"b","parentId":0,"tracks":[7,8]}],)"
                          R"("tracks":[],"version":1})"
                          "\n");
}

TEST(Report, ManyEntriesAcrossPagesKeepTheirOrder) {
  Library lib;
  lib.playlist(1, 0, false, "big");
  lib.playlist(2, 0, false, "other");
  // Reverse index order, spread over several entry pages, with one tie per index.
  std::string expected;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    std::uint32_t index = 999 - i;
    lib.entry(index, 2 * index, 1);
    lib.entry(index, 2 * index + 1, 1);
    lib.entry(i, i, 2);
  }
  for (std::uint32_t i = 0; i < 2000; ++i) {
    if (i > 0) expected += ',';
    expected += std::to_string(i);
  }
  std::string report = lib.report();
  EXPECT_NE(report.find("\"name\":\"big\",\"parentId\":0,\"tracks\":[" + expected + "]}"), std::string::npos);
}

TEST(Report, DeletedRowsAreNotReported) {
  Library lib;
  TrackRowFields row_spec;
  std::uint64_t gone = lib.track(row_spec.title("gone"));
  row_spec.id = 2;
  lib.track(row_spec.title("kept"));
  lib.builder().set_present(static_cast<std::uint32_t>(gone / 4096), 0, false);
  EXPECT_EQ(lib.report(), tracks_line(track_record("", "", "", "0.0", 2, "kept")));
}

TEST(Report, ReadReportsValidateErrors) {
  EXPECT_EQ(read(std::vector<std::uint8_t>(4095, 0)).error().message, vantrel_pdb::kInvalidPageSize);
  std::vector<std::uint8_t> image(4096, 0);
  t::put_u32(image, vantrel_pdb::format::kPageSizeOffset, 4096);
  t::put_u32(image, vantrel_pdb::format::kTableCountOffset, 201);
  EXPECT_EQ(read(image).error().message, vantrel_pdb::kInvalidTableCount);
}

TEST(Report, ReadReportsReaderErrors) {
  Library lib;
  TrackRowFields row_spec;
  std::uint64_t row = lib.track(row_spec);
  auto image = lib.builder().finish();
  // The title string's kind byte becomes 0x02, which no string kind uses.
  std::uint64_t title = row + t::get_u16(image, row + vantrel_pdb::track_row::kStringOffsetsOffset +
                                                    2 * vantrel_pdb::track_row::kTitleSlot);
  t::put_u8(image, title, 0x02);
  char expected[64];
  std::snprintf(expected, sizeof expected, "unknown PDB string kind 0x02 at offset 0x%llx",
                static_cast<unsigned long long>(title));
  auto line = read(image);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error().message, expected);
}

TEST(Report, DamagedImagesFailCleanlyOrReport) {
  // Every byte damage either reads or fails with a message: never a crash, a
  // hang or a read outside the image (the sanitizer build checks the last).
  Library lib;
  lib.artist(1, "a");
  lib.playlist(1, 0, false, "p");
  lib.entry(1, 1, 1);
  TrackRowFields row_spec;
  row_spec.artist_id = 1;
  lib.track(row_spec.title("t").path("/p"));
  const auto pristine = lib.builder().finish();
  vantrel_pdb::testing::XorShift64 next;
  simdjson::dom::parser parser;
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    auto image = pristine;
    for (int k = 0; k < 4; ++k) {
      image[next() % image.size()] = static_cast<std::uint8_t>(next());
    }
    // Damage aimed at the page header, counts and row index of a data page.
    std::uint64_t page = 4096 * (1 + next() % (image.size() / 4096 - 1));
    image[page + (next() % 2 ? next() % 40 : 4096 - 1 - next() % 64)] = static_cast<std::uint8_t>(next());
    auto line = joined(read(image));
    if (!line) {
      ++failures;
      EXPECT_FALSE(line.error().message.empty());
    } else {
      // Whatever the damage did to the texts, the line is valid JSON.
      EXPECT_TRUE(line->ends_with("\n"));
      EXPECT_EQ(parser.parse(*line).error(), simdjson::SUCCESS) << *line;
    }
  }
  EXPECT_GT(failures, 0);
}

// A library large enough to be rendered by two threads is handed to the
// sink in blocks of records, in order, each after the first starting with
// the comma between it and the one before: every track once, in table
// order, and the end of the line in its place. The line is made as it is
// printed, so printing it twice gives the same bytes.
TEST(ReportLine, OfALargeLibraryComesInOrderedBlocks) {
  Request request;
  request.action = "build";
  constexpr std::uint32_t kTracks = kWorthASecondThread + 1;
  for (std::uint32_t id = 1; id <= kTracks; ++id) {
    Track track;
    track.id = id * 7;
    // Appended, not added: g++ 12 -O2 warns (-Wrestrict) of a false overlap in "T" + string.
    track.title = "T";
    track.title += std::to_string(id);
    track.audio_path = "/m/" + std::to_string(id) + ".mp3";
    request.tracks.push_back(std::move(track));
  }
  auto library = build_library(request);
  ASSERT_TRUE(library) << library.error().message;
  auto line = render_report(*library);
  ASSERT_TRUE(line) << line.error().message;
  ASSERT_EQ(line->parts.size(), 1u);
  EXPECT_TRUE(line->parts[0].ends_with("\"tracks\":["));
  std::vector<std::string> blocks;
  ASSERT_TRUE(line->print([&](std::string_view block) -> Result<void> {
    blocks.emplace_back(block);
    return {};
  }));
  // The head, the blocks of records, the end.
  ASSERT_EQ(blocks.size(), 1 + (kTracks + kItemsPerBlock - 1) / kItemsPerBlock + 1);
  for (std::size_t b = 2; b + 1 < blocks.size(); ++b) EXPECT_TRUE(blocks[b].starts_with(",{")) << b;
  EXPECT_TRUE(blocks[1].starts_with("{"));
  EXPECT_EQ(blocks.back(), "],\"version\":1}\n");
  std::string text;
  for (const std::string& block : blocks) text += block;
  auto again = line->joined();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, text);
  simdjson::dom::parser parser;
  auto tracks = parser.parse(text)["tracks"].get_array();
  ASSERT_EQ(tracks.error(), simdjson::SUCCESS);
  std::uint32_t expected = 0;
  for (auto track : tracks.value()) {
    expected += 7;
    ASSERT_EQ(std::uint64_t(track["id"]), expected);
  }
  EXPECT_EQ(expected, kTracks * 7);
}

// A sink that fails stops the line there, with the sink's error, whichever
// thread's block it refused.
TEST(ReportLine, StopsAtTheFirstBlockItsSinkRefuses) {
  Request request;
  request.action = "build";
  for (std::uint32_t id = 1; id <= kWorthASecondThread + 1; ++id) {
    Track track;
    track.id = id;
    track.audio_path = "/m/a.mp3";
    request.tracks.push_back(std::move(track));
  }
  auto library = build_library(request);
  ASSERT_TRUE(library) << library.error().message;
  auto line = render_report(*library);
  ASSERT_TRUE(line) << line.error().message;
  for (std::size_t refused : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
    std::size_t handed = 0;
    auto printed = line->print([&](std::string_view) -> Result<void> {
      if (handed == refused) return fail("sink refused block " + std::to_string(handed));
      ++handed;
      return {};
    });
    ASSERT_FALSE(printed);
    EXPECT_EQ(printed.error().message, "sink refused block " + std::to_string(refused));
    EXPECT_EQ(handed, refused);
  }
}

}  // namespace
}  // namespace dovrel
