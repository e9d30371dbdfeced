// The "scan" action through the tool: its request, the build request it
// prints and the database that request builds, the edit request against an
// existing database and that edit carried out, and the progress line on a
// terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "cli_runner_test_util.h"
#include "request.h"
#include "scan/testing/audio_fixtures.h"
#include "scan_sync.h"
#include "scratch_dir_test_util.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace dovrel {
namespace {

namespace fs = std::filesystem;
namespace t = scan::testing;
using cli_runner::expect_failure;
using cli_runner::Outcome;
using cli_runner::run_dovrel;

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

class ScanCommand : public ::testing::Test {
 protected:
  std::string root() const { return dir_.path("stick"); }
  std::string at(const std::string& relative) const { return root() + "/" + relative; }

  void file(const std::string& relative, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(fs::path(at(relative)).parent_path());
    ASSERT_TRUE(t::write_bytes(at(relative), bytes));
  }
  void tagged(const std::string& relative, const std::vector<std::uint8_t>& bytes, const t::Tags& tags) {
    file(relative, bytes);
    ASSERT_TRUE(t::tag_file(at(relative), tags));
  }
  void text(const std::string& relative, const std::string& content) {
    file(relative, std::vector<std::uint8_t>(content.begin(), content.end()));
  }
  static t::Tags tags_of(const std::string& title, const std::string& artist, int popm, bool label) {
    t::Tags tags;
    tags.title = title;
    tags.artist = artist;
    tags.album = "Coastline";
    tags.genre = "Dub";
    tags.comment = "from the scan";
    tags.key = "Fm";
    if (label) tags.label = "Tidal Records";
    tags.bpm = "118.25";
    tags.popularimeter = popm;
    tags.rating = "60";
    tags.pictures = {{t::fake_png(static_cast<std::uint8_t>(popm)), true}};
    return tags;
  }
  std::string scan_request(const std::string& extra = "") const {
    return R"~({"action":"scan","root":)~" + quoted(root()) + R"~(,"output":)~" + quoted(at("library.pdb")) + extra +
           "}";
  }

  scratch::ScratchDir dir_;
};

TEST_F(ScanCommand, ItsBuildRequestBuildsADatabaseWhoseReportListsEveryFile) {
  t::Pcm pcm;
  pcm.frames = 2 * 44100;
  tagged("music/a/one.wav", t::wav_bytes(pcm), tags_of("One", "Ines Varga", 255, true));
  tagged("music/a/two.aiff", t::aiff_bytes(pcm), tags_of("Two", "\xe5\xb1\xb1\xe7\x94\xb0", 128, false));
  tagged("music/b/three.m4a", t::m4a_bytes(pcm, t::Mp4Codec::kAlac, 1'411'200), tags_of("Three", "Kaito", 1, true));
  file("music/b/untagged.wav", t::wav_bytes(pcm));
  if (t::have_tool("flac") && t::have_tool("lame")) {
    file("src.wav", t::wav_bytes(pcm));
    fs::create_directories(at("music/c"));
    ASSERT_TRUE(t::encode_flac(at("src.wav"), at("music/c/four.flac")));
    ASSERT_TRUE(t::encode_mp3(at("src.wav"), at("music/c/five.mp3"), 192));
    ASSERT_TRUE(t::tag_file(at("music/c/four.flac"), tags_of("Four", "Odile", 64, true)));
    ASSERT_TRUE(t::tag_file(at("music/c/five.mp3"), tags_of("Five", "Tomasz", 196, false)));
    fs::remove(at("src.wav"));
  }
  text("music/broken.mp3", "not audio at all");
  text("music/lists/set.m3u8", "../a/two.aiff\n../b/three.m4a\n../gone.wav\n../a/two.aiff\n");

  Outcome scan = run_dovrel(scan_request(R"~(,"artworkFolder":"art","folders":["music"])~"));
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.err, "");
  // A valid build request, one line.
  auto request = parse_request(scan.out);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->action, "build");
  EXPECT_EQ(request->output, at("library.pdb"));
  ASSERT_EQ(scan.out.find('\n'), scan.out.size() - 1);
  const std::size_t tracks = t::have_tool("flac") && t::have_tool("lame") ? 6 : 4;
  ASSERT_EQ(request->tracks.size(), tracks);
  const Track& one = request->tracks[0];
  EXPECT_EQ(one.audio_path, "/music/a/one.wav");
  EXPECT_EQ(one.id, 1u);
  EXPECT_EQ(one.title, "One");
  EXPECT_EQ(one.artist, "Ines Varga");
  EXPECT_EQ(one.album, "Coastline");
  EXPECT_EQ(one.genre, "Dub");
  EXPECT_EQ(one.key, "Fm");
  EXPECT_EQ(one.comment, "from the scan");
  EXPECT_EQ(one.label, "Tidal Records");
  EXPECT_EQ(one.bpm, 118.25);
  EXPECT_EQ(one.rating, 5);
  EXPECT_EQ(one.duration, 2);
  EXPECT_EQ(one.sample_rate, 44100u);
  EXPECT_EQ(one.bitrate, 1411u);
  EXPECT_EQ(one.sample_depth, 16);
  EXPECT_EQ(one.file_size, fs::file_size(at("music/a/one.wav")));
  EXPECT_EQ(one.analysis_path, "");
  EXPECT_TRUE(one.artwork_path.starts_with("/art/")) << one.artwork_path;
  EXPECT_TRUE(fs::exists(root() + one.artwork_path));
  EXPECT_EQ(request->tracks[1].label, std::nullopt);
  EXPECT_EQ(request->tracks[2].title, "Three");
  EXPECT_EQ(request->tracks[2].rating, 3);  // MP4 keeps the RATING text (60%), not a popularimeter
  EXPECT_EQ(request->tracks[3].title, "untagged");
  EXPECT_EQ(request->tracks[3].artwork_path, "");
  ASSERT_EQ(request->playlists.size(), 3u);
  EXPECT_EQ(request->playlists[0], (Playlist{1, "music", 0, true, {}}));
  EXPECT_EQ(request->playlists[1], (Playlist{2, "lists", 1, true, {}}));
  EXPECT_EQ(request->playlists[2], (Playlist{3, "set", 2, false, {2, 3, 2}}));
  EXPECT_NE(scan.out.find(R"~("skipped":[{"path":"/music/broken.mp3","reason":)~"), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find(R"~({"path":"/music/lists/set.m3u8","reason":"line 3: ../gone.wav: No such file or )~"
                          R"~(directory (os error 2)"}])~"),
            std::string::npos);

  // scan | dovrel: the build's report holds the very tracks and playlists
  // the scan printed, but the labels, which the report leaves out.
  Outcome build = run_dovrel(scan.out);
  ASSERT_EQ(build.status, 0) << build.err;
  const std::size_t playlists_at = scan.out.find(R"~("playlists":)~");
  const std::size_t skipped_at = scan.out.find(R"~(,"skipped":)~");
  const std::size_t tracks_at = scan.out.find(R"~("tracks":)~", skipped_at);
  const std::string tracks_text = std::regex_replace(scan.out.substr(tracks_at, scan.out.size() - 2 - tracks_at),
                                                     std::regex(R"~(,"label":"[^"]*")~"), "");
  EXPECT_EQ(build.out, "{" + scan.out.substr(playlists_at, skipped_at - playlists_at) + "," + tracks_text +
                           R"~(,"version":1})~" + "\n");
  // The labels are in the database all the same.
  auto image = vantrel_pdb::read_file(at("library.pdb"));
  ASSERT_TRUE(image);
  auto library = vantrel_pdb::Library::open(std::move(*image));
  ASSERT_TRUE(library);
  auto infos = library->tracks();
  ASSERT_TRUE(infos);
  EXPECT_EQ((*infos)[0].label, "Tidal Records");
  EXPECT_EQ((*infos)[1].label, "");
}

TEST_F(ScanCommand, AnExistingDatabaseGetsTheEditThatBringsItInLine) {
  file("music/a.wav", t::wav_bytes({}));
  file("music/b.wav", t::wav_bytes({}));
  file("music/c.wav", t::wav_bytes({}));
  text("music/lists/first.m3u", "../a.wav\n../b.wav\n");
  Outcome scan = run_dovrel(scan_request());
  ASSERT_EQ(scan.status, 0) << scan.err;
  ASSERT_EQ(run_dovrel(scan.out).status, 0);
  // b goes, d and e come, a second playlist joins the first's folder.
  fs::remove(at("music/b.wav"));
  file("music/d.wav", t::wav_bytes({}));
  file("music/e.wav", t::wav_bytes({}));
  text("music/lists/second.m3u", "../e.wav\n../a.wav\n");
  Outcome sync = run_dovrel(scan_request(R"~(,"input":)~" + quoted(at("library.pdb"))));
  ASSERT_EQ(sync.status, 0) << sync.err;
  auto track = [](std::uint32_t id, const std::string& name) {
    return R"~({"album":"","analysisPath":"","artist":"","artworkPath":"","audioPath":"/music/)~" + name +
           R"~(.wav","bitrate":1411,"bpm":0.0,"comment":"","duration":1,"fileSize":176444,"genre":"","id":)~" +
           std::to_string(id) + R"~(,"key":"","rating":0,"sampleDepth":16,"sampleRate":44100,"title":")~" + name +
           R"~("})~";
  };
  EXPECT_EQ(sync.out, R"~({"action":"edit","changes":[{"op":"addTracks","tracks":[)~" + track(4, "d") + "," +
                          track(5, "e") + R"~(]},{"ids":[2],"op":"removeTracks"},{"op":"addPlaylists","playlists":[)~" +
                          R"~({"id":4,"isFolder":false,"name":"second","parentId":2,"tracks":[5,1]}]}],"input":)~" +
                          quoted(at("library.pdb")) + R"~(,"output":)~" + quoted(at("library.pdb")) +
                          R"~(,"skipped":[{"path":"/music/lists/first.m3u","reason":"line 2: ../b.wav: No such file )~"
                          R"~(or directory (os error 2)"}]})~" +
                          "\n");
  // In line already: nothing to change.
  fs::remove(at("music/d.wav"));
  fs::remove(at("music/e.wav"));
  fs::remove(at("music/lists/second.m3u"));
  text("music/lists/first.m3u", "../a.wav\n");
  file("music/b.wav", t::wav_bytes({}));
  Outcome same = run_dovrel(scan_request(R"~(,"input":)~" + quoted(at("library.pdb"))));
  ASSERT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, R"~({"action":"edit","changes":[],"input":)~" + quoted(at("library.pdb")) + R"~(,"output":)~" +
                          quoted(at("library.pdb")) + R"~(,"skipped":[]})~" + "\n");
}

// The sync round trip: the edit request a scan prints, carried out by
// "edit", brings the database in line, so that the next scan finds
// nothing to change.
TEST_F(ScanCommand, TheSyncEditAppliedLeavesNothingToChange) {
  file("music/a.wav", t::wav_bytes({}));
  file("music/b.wav", t::wav_bytes({}));
  text("music/lists/first.m3u", "../a.wav\n../b.wav\n");
  Outcome scan = run_dovrel(scan_request());
  ASSERT_EQ(scan.status, 0) << scan.err;
  ASSERT_EQ(run_dovrel(scan.out).status, 0);
  fs::remove(at("music/b.wav"));
  file("music/c.wav", t::wav_bytes({}));
  text("music/lists/first.m3u", "../a.wav\n");
  text("music/lists/second.m3u", "../c.wav\n../a.wav\n");
  Outcome sync = run_dovrel(scan_request(R"~(,"input":)~" + quoted(at("library.pdb"))));
  ASSERT_EQ(sync.status, 0) << sync.err;
  Outcome edit = run_dovrel(sync.out);
  ASSERT_EQ(edit.status, 0) << edit.err;
  auto image = vantrel_pdb::read_file(at("library.pdb"));
  ASSERT_TRUE(image);
  auto library = vantrel_pdb::Library::open(std::move(*image));
  ASSERT_TRUE(library);
  auto tracks = library->tracks();
  ASSERT_TRUE(tracks);
  std::vector<std::pair<std::uint32_t, std::string>> paths;
  for (const auto& track : *tracks) paths.emplace_back(track.id, track.audio_path);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::pair<std::uint32_t, std::string>>{{1, "/music/a.wav"}, {3, "/music/c.wav"}}));
  auto playlists = library->playlists();
  ASSERT_TRUE(playlists);
  std::vector<std::pair<std::string, std::vector<std::uint32_t>>> lists;
  for (const auto& p : *playlists) {
    if (!p.is_folder) lists.emplace_back(p.name, p.tracks);
  }
  std::sort(lists.begin(), lists.end());
  // "first" keeps what it had but the removed track; the sync adds playlists, it does not rewrite them.
  EXPECT_EQ(lists,
            (std::vector<std::pair<std::string, std::vector<std::uint32_t>>>{{"first", {1}}, {"second", {3, 1}}}));
  Outcome again = run_dovrel(scan_request(R"~(,"input":)~" + quoted(at("library.pdb"))));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, R"~({"action":"edit","changes":[],"input":)~" + quoted(at("library.pdb")) + R"~(,"output":)~" +
                           quoted(at("library.pdb")) + R"~(,"skipped":[]})~" + "\n");
}

TEST_F(ScanCommand, TheLongestTextsAndPathStillBuild) {
  // Every text at its limit, each with one character that makes it UTF-16
  // (two bytes per character in the row), in the longest path a scan takes.
  std::string relative = "music";
  while (relative.size() + 1 + 201 < 1023 - 40) relative += "/\xc3\xa9" + std::string(199, 'd');
  relative += "/\xc3\xa9" + std::string(1023 - relative.size() - 1 - 2 - 4, 'n') + ".wav";
  ASSERT_EQ(relative.size(), 1023u);
  t::Tags tags;
  const std::string huge = "\xc3\xa9" + std::string(100000, 'x');
  tags.title = tags.artist = tags.album = tags.genre = tags.comment = tags.key = tags.label = huge;
  tagged(relative, t::wav_bytes({}), tags);
  Outcome scan = run_dovrel(scan_request());
  ASSERT_EQ(scan.status, 0) << scan.err;
  ASSERT_NE(scan.out.find(R"~("skipped":[])~"), std::string::npos) << scan.out.substr(0, 300);
  Outcome build = run_dovrel(scan.out);
  ASSERT_EQ(build.status, 0) << build.err;
  EXPECT_NE(build.out.find("\"audioPath\":\"/" + relative + "\""), std::string::npos);
  EXPECT_NE(build.out.find("\"title\":\"" + huge.substr(0, 256) + "\""), std::string::npos);
}

TEST_F(ScanCommand, FailuresAreOneLine) {
  fs::create_directories(root());
  expect_failure(run_dovrel(R"~({"action":"scan","root":)~" + quoted(root()) + "}"), "Missing output");
  expect_failure(run_dovrel(R"~({"action":"scan","output":"x.pdb"})~"), "missing field `root`");
  expect_failure(run_dovrel(scan_request(R"~(,"folders":["absent"])~")),
                 "cannot scan " + at("absent") + ": No such file or directory (os error 2)");
  expect_failure(run_dovrel(scan_request(R"~(,"input":)~" + quoted(at("absent.pdb")))),
                 "No such file or directory (os error 2)");
  ASSERT_TRUE(t::write_bytes(dir_.path("not.pdb"), {1, 2, 3}));
  expect_failure(run_dovrel(scan_request(R"~(,"input":)~" + quoted(dir_.path("not.pdb")))),
                 "Invalid PDB page size/length");
  // Nothing is written without an artwork folder, and only artwork with one.
  file("music/a.wav", t::wav_bytes({}));
  ASSERT_EQ(run_dovrel(scan_request()).status, 0);
  EXPECT_EQ(dir_.list("stick"), (std::vector<std::string>{"music"}));
}

TEST_F(ScanCommand, UnreadableFoldersAreSkippedEvenForRoot) {
  // Run as "nobody" when the tests run as root, whom permissions do not stop.
  file("music/open/a.wav", t::wav_bytes({}));
  file("music/closed/b.wav", t::wav_bytes({}));
  fs::permissions(dir_.dir(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(at("music/closed"), fs::perms::none);
  cli_runner::RunOptions options;
  options.unprivileged = true;
  Outcome scan = run_dovrel(scan_request(), options);
  fs::permissions(at("music/closed"), fs::perms::owner_all);
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find(R"~("skipped":[{"path":"/music/closed","reason":"Permission denied (os error 13)"}])~"),
            std::string::npos)
      << scan.out;
  EXPECT_NE(scan.out.find(R"~("audioPath":"/music/open/a.wav")~"), std::string::npos);
}

TEST_F(ScanCommand, ProgressGoesToATerminalAndNowhereElse) {
  for (int i = 0; i < 20; ++i) file("music/house/" + std::to_string(i) + ".wav", t::wav_bytes({}));
  Outcome quiet = run_dovrel(scan_request());
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  cli_runner::RunOptions options;
  options.stderr_path = ::ptsname(master);
  Outcome shown = run_dovrel(scan_request(), options);
  ASSERT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, quiet.out);
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  std::string screen;
  char buffer[4096];
  for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
    screen.append(buffer, static_cast<std::size_t>(got));
  ::close(master);
  EXPECT_TRUE(screen.starts_with("\r\x1b[Kdovrel: scanning 0/20 files  /music/house")) << screen;
  // The last update clears the line; nothing else is printed.
  EXPECT_TRUE(screen.ends_with("\r\x1b[K")) << screen;
  EXPECT_EQ(screen.find('\n'), std::string::npos);
}

TEST(SyncPlan, MatchesTracksByPathAndPlaylistsByTheirPlaceInTheTree) {
  ExistingLibrary existing;
  existing.tracks = {{7, "/music/a.wav"}, {9, "/music/gone.wav"}, {12, "/music/a.wav"}};
  existing.max_track_id = 40;  // larger than any track's: ids go on after it
  existing.playlists = {{3, "lists", 0, true, {}}, {5, "set", 3, false, {}}, {8, "set", 0, true, {}}};
  existing.max_playlist_id = 8;
  ScannedLibrary scanned;
  Track a, b;
  a.audio_path = "/music/a.wav";
  b.audio_path = "/music/b.wav";
  scanned.tracks = {a, b};
  scanned.playlists = {{1, "lists", 0, true, {}},     // is folder 3
                       {2, "set", 1, false, {1, 0}},  // is playlist 5: left as it is
                       {3, "set", 0, false, {0}},     // folder 8 has the name, but it is a folder
                       {4, "sub", 1, true, {}},       // new, under folder 3
                       {5, "deep", 4, false, {1}}};
  const SyncChanges changes =
      plan_sync(existing, scanned, [](const std::string& path) { return path == "/music/gone.wav"; });
  ASSERT_EQ(changes.add_tracks.size(), 1u);
  EXPECT_EQ(changes.add_tracks[0].audio_path, "/music/b.wav");
  EXPECT_EQ(changes.add_tracks[0].id, 41u);
  EXPECT_EQ(changes.remove_tracks, (std::vector<std::uint32_t>{9}));
  EXPECT_EQ(
      changes.add_playlists,
      (std::vector<Playlist>{{9, "set", 0, false, {7}}, {10, "sub", 3, true, {}}, {11, "deep", 10, false, {41}}}));
}

TEST(SyncPlan, ABuildNumbersTracksFromOne) {
  ScannedLibrary scanned;
  scanned.tracks.resize(3);
  scanned.playlists = {{1, "p", 0, false, {2, 0, 2}}};
  number_for_build(scanned);
  EXPECT_EQ(scanned.tracks[2].id, 3u);
  EXPECT_EQ(scanned.playlists[0].tracks, (std::vector<std::uint32_t>{3, 1, 3}));
}

}  // namespace
}  // namespace dovrel
