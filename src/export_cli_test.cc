// "export" and the short report, run through the real binary.
#include <gtest/gtest.h>
#include <simdjson.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_runner_test_util.h"
#include "export_csv.h"
#include "export_html.h"
#include "export_m3u8.h"
#include "scratch_dir_test_util.h"
#include "vantrel_pdb/library.h"

namespace dovrel {
namespace {

using cli_runner::expect_failure;
using cli_runner::Outcome;
using cli_runner::run_dovrel;
namespace fs = std::filesystem;

vantrel_pdb::TrackInput track_input(std::uint32_t id, std::string title, std::string artist, std::string path) {
  vantrel_pdb::TrackInput t;
  t.id = id;
  t.title = std::move(title);
  t.artist = std::move(artist);
  t.album = "Album";
  t.genre = "House";
  t.key = "Am";
  t.audio_path = std::move(path);
  t.duration = 240;
  t.tempo = 12400;
  return t;
}

// A small library: two tracks, a folder "Sets" holding "Warm: up" and
// "warm_ up" (which clash once made safe), and a top-level playlist.
std::vector<std::uint8_t> small_image() {
  auto library = vantrel_pdb::Library::create();
  auto a = track_input(1, "One", "Ada", "/music/one.mp3");
  a.label = "North";
  a.artwork_path = "/art/1.jpg";
  EXPECT_TRUE(library.add_track(a));
  EXPECT_TRUE(library.add_track(track_input(2, "Two, \"2\"", "", "/music/two.flac")));
  EXPECT_TRUE(library.add_playlist({10, "Sets", 0, true, {}}));
  EXPECT_TRUE(library.add_playlist({11, "Warm: up", 10, false, {2, 1}}));
  EXPECT_TRUE(library.add_playlist({12, "warm_ up", 10, false, {1}}));
  EXPECT_TRUE(library.add_playlist({13, "All", 0, false, {1, 2}}));
  auto image = std::move(library).take_bytes();
  EXPECT_TRUE(image);
  return *image;
}

std::string text_of(const std::string& path) {
  auto bytes = scratch::read_whole(path);
  return {bytes.begin(), bytes.end()};
}

std::string export_request(const std::string& format, const std::string& input, const std::string& output,
                           const std::string& extra = "") {
  return R"({"action":"export","format":")" + format + R"(","input":")" + input + R"(","output":")" + output + "\"" +
         extra + "}";
}

class Export : public ::testing::Test {
 protected:
  void SetUp() override { input_ = scratch_.write("lib.pdb", small_image()); }
  scratch::ScratchDir scratch_;
  std::string input_;
};

TEST_F(Export, M3u8WritesOnePlaylistFilePerPlaylist) {
  const std::string out = scratch_.path("lists");
  Outcome run = run_dovrel(export_request("m3u8", input_, out, R"(,"root":"/media/stick/")"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"files\":[\"" + out + "/Sets/Warm_ up.m3u8\",\"" + out + "/Sets/warm_ up (2).m3u8\",\"" + out +
                         "/All.m3u8\"]}\n");
  EXPECT_EQ(text_of(out + "/Sets/Warm_ up.m3u8"),
            "#EXTM3U\n#EXTINF:240,Two, \"2\"\n/media/stick/music/two.flac\n"
            "#EXTINF:240,Ada - One\n/media/stick/music/one.mp3\n");
  EXPECT_EQ(text_of(out + "/Sets/warm_ up (2).m3u8"), "#EXTM3U\n#EXTINF:240,Ada - One\n/media/stick/music/one.mp3\n");
  EXPECT_EQ(scratch_.list("lists"), (std::vector<std::string>{"All.m3u8", "Sets"}));
  EXPECT_EQ(scratch_.list("lists/Sets"), (std::vector<std::string>{"Warm_ up.m3u8", "warm_ up (2).m3u8"}));
}

TEST_F(Export, M3u8ReplacesItsFilesAndLeavesOthers) {
  const std::string out = scratch_.path("lists");
  fs::create_directories(out + "/Sets");
  scratch_.write("lists/All.m3u8", {'o', 'l', 'd'});
  scratch_.write("lists/Sets/mine.txt", {'k'});
  ASSERT_EQ(run_dovrel(export_request("m3u8", input_, out + "///")).status, 0);
  EXPECT_EQ(text_of(out + "/All.m3u8"),
            "#EXTM3U\n#EXTINF:240,Ada - One\n/music/one.mp3\n#EXTINF:240,Two, \"2\"\n/music/two.flac\n");
  EXPECT_EQ(scratch_.list("lists/Sets"), (std::vector<std::string>{"Warm_ up.m3u8", "mine.txt", "warm_ up (2).m3u8"}));

  // Exported again: a file that holds its playlist already is left as it
  // is (the same inode), one holding other bytes of the same length is
  // written again.
  const auto inode = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_ino;
  };
  const auto kept = inode(out + "/Sets/Warm_ up.m3u8");
  const std::string expected = text_of(out + "/All.m3u8");
  scratch_.write("lists/All.m3u8", std::vector<std::uint8_t>(expected.size(), '#'));
  ASSERT_EQ(run_dovrel(export_request("m3u8", input_, out)).status, 0);
  EXPECT_EQ(inode(out + "/Sets/Warm_ up.m3u8"), kept);
  EXPECT_EQ(text_of(out + "/All.m3u8"), expected);
}

TEST_F(Export, CsvWritesTracksAndPlaylistsBesideThem) {
  const std::string out = scratch_.path("library.csv");
  Outcome run = run_dovrel(export_request("csv", input_, out));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"files\":[\"" + out + "\",\"" + scratch_.path("library-playlists.csv") + "\"]}\n");
  EXPECT_EQ(text_of(out),
            "id,title,artist,album,genre,key,label,bpm,duration,rating,bitrate,sampleRate,sampleDepth,fileSize,"
            "fileType,comment,audioPath,analysisPath,artworkPath\r\n"
            "1,One,Ada,Album,House,Am,North,124.0,240,0,0,44100,16,0,mp3,,/music/one.mp3,,/art/1.jpg\r\n"
            "2,\"Two, \"\"2\"\"\",,Album,House,Am,,124.0,240,0,0,44100,16,0,flac,,/music/two.flac,,\r\n");
  EXPECT_EQ(text_of(scratch_.path("library-playlists.csv")),
            "playlistId,parentId,isFolder,path,name,trackCount,tracks\r\n"
            "10,0,true,Sets,Sets,0,\r\n"
            "11,10,false,Sets / Warm: up,Warm: up,2,2 1\r\n"
            "12,10,false,Sets / warm_ up,warm_ up,1,1\r\n"
            "13,0,false,All,All,2,1 2\r\n");
}

TEST_F(Export, HtmlWritesOnePageWithThumbnailsFromTheRoot) {
  fs::create_directories(scratch_.dir() / "stick/art");
  scratch_.write("stick/art/1.jpg", {0xff, 0xd8, 0xff, 0xe0});
  const std::string out = scratch_.path("library.html");
  Outcome run = run_dovrel(export_request("html", input_, out, ",\"root\":\"" + scratch_.path("stick") + "\""));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"files\":[\"" + out + "\"]}\n");
  const std::string page = text_of(out);
  EXPECT_NE(page.find("{\"art\":{\"/art/1.jpg\":\"data:image/jpeg;base64,/9j/4A==\"},"), std::string::npos);
  EXPECT_NE(page.find("\"summary\":{\"artworkShown\":1,"), std::string::npos);
  EXPECT_EQ(scratch_.list(), (std::vector<std::string>{"lib.pdb", "library.html", "stick"}));
}

TEST_F(Export, FailsWithOneLineAndWritesNothing) {
  expect_failure(run_dovrel(R"({"action":"export","format":"csv","output":"x.csv"})"), "Missing input");
  expect_failure(run_dovrel(R"({"action":"export","format":"csv","input":")" + input_ + "\"}"), "Missing output");
  expect_failure(run_dovrel(export_request("csv", scratch_.path("absent.pdb"), scratch_.path("a.csv"))),
                 "No such file or directory (os error 2)");
  expect_failure(run_dovrel(export_request("html", input_, scratch_.path("lib.pdb/x.html"))),
                 "cannot write output " + scratch_.path("lib.pdb/x.html") + ": Not a directory (os error 20)");
  expect_failure(run_dovrel(export_request("m3u8", input_, input_)),
                 "cannot create folder " + input_ + ": Not a directory (os error 20)");
  scratch_.write("lists", {'x'});
  fs::create_directories(scratch_.dir() / "dir");
  scratch_.write("dir/Sets", {'x'});
  expect_failure(run_dovrel(export_request("m3u8", input_, scratch_.path("dir"))),
                 "cannot create folder " + scratch_.path("dir/Sets") + ": Not a directory (os error 20)");
  expect_failure(run_dovrel(export_request("pdf", input_, "x")),
                 "format: expected \"m3u8\", \"csv\" or \"html\", got \"pdf\"");
  EXPECT_EQ(scratch_.list(), (std::vector<std::string>{"dir", "lib.pdb", "lists"}));
  EXPECT_EQ(scratch_.list("dir"), (std::vector<std::string>{"Sets"}));
}

TEST_F(Export, OfAnEmptyLibraryWritesHeadersAndNoPlaylists) {
  auto blank = vantrel_pdb::Library::create().take_bytes();
  ASSERT_TRUE(blank);
  const std::string empty = scratch_.write("empty.pdb", *blank);
  Outcome m3u8 = run_dovrel(export_request("m3u8", empty, scratch_.path("none")));
  EXPECT_EQ(m3u8.out, "{\"files\":[]}\n");
  EXPECT_TRUE(fs::is_directory(scratch_.path("none")));
  ASSERT_EQ(run_dovrel(export_request("csv", empty, scratch_.path("e.csv"))).status, 0);
  EXPECT_EQ(text_of(scratch_.path("e-playlists.csv")), "playlistId,parentId,isFolder,path,name,trackCount,tracks\r\n");
  ASSERT_EQ(run_dovrel(export_request("html", empty, scratch_.path("e.html"))).status, 0);
  EXPECT_EQ(text_of(scratch_.path("e.html")), html_page({}, {}, {}, false));
}

TEST_F(Export, SummaryReportOfBuildAndPatchIsShortAndWritesTheSameFile) {
  const std::string build = R"({"action":"build","output":")" + scratch_.path("b.pdb") +
                            R"(","tracks":[{"id":5,"title":"T","artist":"A","album":"B","genre":"G","key":"K",)"
                            R"("audioPath":"/m/t.mp3","analysisPath":"","artworkPath":"/art/5.jpg","bpm":120,)"
                            R"("duration":60,"sampleRate":44100,"fileSize":1}],)"
                            R"("playlists":[{"id":1,"name":"F","parentId":0,"isFolder":true,"tracks":[]},)"
                            R"({"id":2,"name":"P","parentId":1,"isFolder":false,"tracks":[5,5]}])";
  Outcome full = run_dovrel(build + "}");
  ASSERT_EQ(full.status, 0) << full.err;
  const auto full_bytes = scratch::read_whole(scratch_.path("b.pdb"));
  EXPECT_EQ(run_dovrel(build + R"(,"report":"full"})").out, full.out);
  Outcome summary = run_dovrel(build + R"(,"report":"summary"})");
  ASSERT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(summary.out, "{\"artwork\":1,\"entries\":2,\"folders\":1,\"outputBytes\":" +
                             std::to_string(full_bytes.size()) + ",\"playlists\":1,\"tracks\":1}\n");
  EXPECT_EQ(scratch::read_whole(scratch_.path("b.pdb")), full_bytes);

  Outcome patch = run_dovrel(R"({"action":"patch","report":"summary","input":")" + scratch_.path("b.pdb") +
                             R"(","output":")" + scratch_.path("p.pdb") + R"(","keepPlaylists":[1]})");
  ASSERT_EQ(patch.status, 0) << patch.err;
  EXPECT_EQ(patch.out, "{\"artwork\":1,\"entries\":0,\"folders\":1,\"outputBytes\":" +
                           std::to_string(full_bytes.size()) + ",\"playlists\":0,\"tracks\":1}\n");
  expect_failure(run_dovrel(build + R"(,"report":"Summary"})"),
                 "report: expected \"full\" or \"summary\", got \"Summary\"");
}

// The 100,000-track library: every format holds every track and playlist.
// A track that no playlist holds is never read for an entry, and an id too
// large for a map of the listed ids (every track read then) is still found.
TEST(ExportM3u8Tracks, OnlyListedTracksAndAnyId) {
  scratch::ScratchDir scratch;
  for (const bool far : {false, true}) {
    auto library = vantrel_pdb::Library::create();
    ASSERT_TRUE(library.add_track(track_input(1, "Kept", "Ada", "/music/kept.mp3")));
    ASSERT_TRUE(library.add_track(track_input(2, "Unlisted", "Bo", "/music/unlisted.mp3")));
    if (far) {
      ASSERT_TRUE(library.add_track(track_input(4000000000u, "Far", "", "/music/far.mp3")));
    }
    std::vector<std::uint32_t> tracks = {1};
    if (far) tracks.insert(tracks.begin(), 4000000000u);
    ASSERT_TRUE(library.add_playlist({10, "Set", 0, false, tracks}));
    auto image = std::move(library).take_bytes();
    ASSERT_TRUE(image);
    const std::string name = far ? "far" : "near";
    const std::string input = scratch.write(name + ".pdb", *image);
    ASSERT_EQ(run_dovrel(export_request("m3u8", input, scratch.path(name))).status, 0);
    EXPECT_EQ(text_of(scratch.path(name + "/Set.m3u8")), std::string("#EXTM3U\n") +
                                                             (far ? "#EXTINF:240,Far\n/music/far.mp3\n" : "") +
                                                             "#EXTINF:240,Ada - Kept\n/music/kept.mp3\n");
  }
}

TEST(ExportLarge, HundredThousandTracks) {
  constexpr std::uint32_t kTracks = 100000;
  auto library = vantrel_pdb::Library::create();
  for (std::uint32_t id = 1; id <= kTracks; ++id) {
    // Built by appending: g++ 12 misjudges literal + temporary string in optimised builds.
    const std::string number = std::to_string(id);
    ASSERT_TRUE(library.add_track(track_input(id, std::string("T").append(number),
                                              std::string("A").append(std::to_string(id % 997)),
                                              std::string("/m/").append(number).append(".mp3"))));
  }
  std::vector<std::uint32_t> entries;
  for (std::uint32_t p = 1; p <= 100; ++p) {
    entries.clear();
    for (std::uint32_t e = 0; e < 1000; ++e) entries.push_back((p * 1000 + e * 7) % kTracks + 1);
    ASSERT_TRUE(library.add_playlist({p, std::string("List ").append(std::to_string(p % 50)), 0, false, entries}));
  }
  auto tracks = library.tracks();
  auto playlists = library.playlists();
  ASSERT_TRUE(tracks && playlists);
  auto image = library.bytes();
  ASSERT_TRUE(image);
  scratch::ScratchDir scratch;
  const std::string input = scratch.write("big.pdb", std::vector<std::uint8_t>(image->begin(), image->end()));

  const std::string csv = tracks_csv(*tracks);
  std::size_t records = 0;
  for (std::size_t at = csv.find("\r\n"); at != std::string::npos; at = csv.find("\r\n", at + 2)) ++records;
  EXPECT_EQ(records, kTracks + 1);
  EXPECT_TRUE(
      csv.ends_with("\r\n100000,T100000,A300,Album,House,Am,,124.0,240,0,0,44100,16,0,mp3,,/m/100000.mp3,,\r\n"));

  // The tool reads a large library in two halves at once: the same bytes.
  ASSERT_EQ(run_dovrel(export_request("csv", input, scratch.path("big.csv"))).status, 0);
  EXPECT_EQ(text_of(scratch.path("big.csv")), csv);
  ASSERT_EQ(run_dovrel(export_request("html", input, scratch.path("big.html"))).status, 0);
  EXPECT_EQ(text_of(scratch.path("big.html")), html_page(*tracks, *playlists, {}, false));
  ASSERT_EQ(run_dovrel(export_request("m3u8", input, scratch.path("lists"), R"(,"root":"/r")")).status, 0);
  const M3u8Export rooted = export_m3u8(*tracks, *playlists, "/r");
  EXPECT_EQ(text_of(scratch.path("lists/" + rooted.files[99].path)), rooted.bytes(rooted.files[99]));

  const M3u8Export lists = export_m3u8(*tracks, *playlists, std::nullopt);
  ASSERT_EQ(lists.files.size(), 100u);
  EXPECT_EQ(lists.files[0].path, "List 1.m3u8");
  EXPECT_EQ(lists.files[50].path, "List 1 (2).m3u8");
  for (const auto& file : lists.files) {
    const std::string bytes = lists.bytes(file);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2001);
  }

  const std::string data = html_data(*tracks, *playlists, {}, false);
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  ASSERT_EQ(parser.parse(data).get(root), simdjson::SUCCESS);
  EXPECT_EQ(root["tracks"].get_array().size(), kTracks);
  EXPECT_EQ(root["playlists"].get_array().size(), 100u);
  EXPECT_EQ(std::uint64_t(root["summary"]["tracks"].get_uint64()), kTracks);
  EXPECT_EQ(std::uint64_t(root["summary"]["totalDuration"].get_uint64()), 240u * kTracks);
}

}  // namespace
}  // namespace dovrel
