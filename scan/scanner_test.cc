// Whole scans of folders made here: the walk, the playlists, the artwork
// files and the progress, and everything that must be skipped, not fatal.
#include "scan/scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scan/playlist_file.h"
#include "scan/testing/audio_fixtures.h"
#include "src/scratch_dir_test_util.h"

namespace dovrel::scan {

void PrintTo(const Skipped& s, std::ostream* out) { *out << "{" << s.path << ", " << s.reason << "}"; }

namespace {

namespace fs = std::filesystem;
namespace t = testing;

class Scan : public ::testing::Test {
 protected:
  // A one-second WAV at `relative`, titled `title` when given.
  void wav(const std::string& relative, std::optional<std::string> title = std::nullopt,
           std::vector<std::uint8_t> picture = {}) {
    const fs::path path = dir_.dir() / relative;
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(t::write_bytes(path.string(), t::wav_bytes({})));
    t::Tags tags;
    tags.title = std::move(title);
    if (!picture.empty()) tags.pictures.push_back({std::move(picture), true});
    if (tags.title || !tags.pictures.empty()) {
      ASSERT_TRUE(t::tag_file(path.string(), tags));
    }
  }
  void text(const std::string& relative, const std::string& content) {
    const fs::path path = dir_.dir() / relative;
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(t::write_bytes(path.string(), std::vector<std::uint8_t>(content.begin(), content.end())));
  }
  ScanResult scan(std::vector<std::string> folders = {""}, std::optional<std::string> artwork = std::nullopt) {
    ScanOptions options;
    options.root = dir_.dir().string();
    options.folders = std::move(folders);
    options.artwork_folder = std::move(artwork);
    auto result = scan_folders(options);
    EXPECT_TRUE(result) << result.error();
    return result ? std::move(*result) : ScanResult{};
  }
  static std::vector<std::string> paths(const ScanResult& r) {
    std::vector<std::string> out;
    for (const auto& track : r.tracks) out.push_back(track.audio_path);
    return out;
  }

  scratch::ScratchDir dir_;
};

TEST_F(Scan, FilesComeInByteOrderOfTheirPathsFromTheFoldersAsked) {
  wav("music/b.wav");
  wav("music/a/z.wav");
  wav("music/a.wav");
  wav("music/B.WAV");
  wav("other/c.wav");
  text("music/notes.txt", "not audio");
  text("music/cover.jpg", "\xFF\xD8\xFF");
  EXPECT_EQ(paths(scan()), (std::vector<std::string>{"/music/B.WAV", "/music/a.wav", "/music/a/z.wav", "/music/b.wav",
                                                     "/other/c.wav"}));
  // Overlapping folders give each file once.
  EXPECT_EQ(paths(scan({"music/a", "music", "./music/"})),
            (std::vector<std::string>{"/music/B.WAV", "/music/a.wav", "/music/a/z.wav", "/music/b.wav"}));
  EXPECT_TRUE(scan({}).tracks.empty());
}

TEST_F(Scan, AFolderThatCannotBeListedFailsTheScan) {
  ScanOptions options;
  options.root = dir_.path("absent");
  auto result = scan_folders(options);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "cannot scan " + dir_.path("absent") + ": No such file or directory (os error 2)");
  text("file", "x");
  options.root = dir_.dir().string();
  options.folders = {"file"};
  EXPECT_EQ(scan_folders(options).error(), "cannot scan " + dir_.path("file") + ": Not a directory (os error 20)");
}

TEST_F(Scan, BrokenFilesAndDanglingLinksAreSkippedNotFatal) {
  wav("music/good.wav", "Good");
  text("music/broken.wav", "RIFF....WAVEjunk");
  text("music/empty.mp3", "");
  fs::create_symlink(dir_.path("nowhere.wav"), dir_.dir() / "music/dangling.wav");
  const ScanResult r = scan();
  EXPECT_EQ(paths(r), (std::vector<std::string>{"/music/good.wav"}));
  ASSERT_EQ(r.skipped.size(), 3u);
  EXPECT_EQ(r.skipped[0].path, "/music/broken.wav");
  EXPECT_EQ(r.skipped[1], (Skipped{"/music/dangling.wav", "No such file or directory (os error 2)"}));
  EXPECT_EQ(r.skipped[2].path, "/music/empty.mp3");
  EXPECT_FALSE(r.skipped[0].reason.empty());
}

TEST_F(Scan, SymbolicLinkLoopsAreSkippedAndLinksFollowedOnce) {
  wav("music/a/one.wav");
  fs::create_symlink(dir_.dir() / "music", dir_.dir() / "music/a/back");          // a loop
  fs::create_symlink(dir_.dir() / "music/a/back", dir_.dir() / "music/a/back2");  // through the loop's link
  wav("elsewhere/two.wav");
  fs::create_symlink(dir_.dir() / "elsewhere", dir_.dir() / "music/linked");  // a link to a folder, no loop
  const ScanResult r = scan({"music"});
  EXPECT_EQ(paths(r), (std::vector<std::string>{"/music/a/one.wav", "/music/linked/two.wav"}));
  EXPECT_EQ(r.skipped, (std::vector<Skipped>{{"/music/a/back", "symbolic link loop back to /music"},
                                             {"/music/a/back2", "symbolic link loop back to /music"}}));
}

TEST_F(Scan, UnreadableFoldersAreSkipped) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, whom folder permissions do not stop";
  wav("music/open/a.wav");
  wav("music/closed/b.wav");
  fs::permissions(dir_.dir() / "music/closed", fs::perms::none);
  const ScanResult r = scan();
  fs::permissions(dir_.dir() / "music/closed", fs::perms::owner_all);
  EXPECT_EQ(paths(r), (std::vector<std::string>{"/music/open/a.wav"}));
  EXPECT_EQ(r.skipped, (std::vector<Skipped>{{"/music/closed", "Permission denied (os error 13)"}}));
}

TEST_F(Scan, UnreadableFilesAreSkipped) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, whom file permissions do not stop";
  wav("music/locked.wav");
  fs::permissions(dir_.dir() / "music/locked.wav", fs::perms::none);
  const ScanResult r = scan();
  EXPECT_EQ(r.skipped, (std::vector<Skipped>{{"/music/locked.wav", "Permission denied (os error 13)"}}));
}

TEST_F(Scan, PathsThatNoRequestCanCarryAreSkipped) {
  wav("music/Caf\xe9.wav");  // a Latin-1 file name
  std::string deep = "music";
  for (int i = 0; i < 6; ++i) deep += "/" + std::string(200, 'd');
  wav(deep + "/long.wav");
  const ScanResult r = scan();
  EXPECT_EQ(paths(r), std::vector<std::string>{});
  ASSERT_EQ(r.skipped.size(), 2u) << ::testing::PrintToString(r.skipped);
  EXPECT_EQ(r.skipped[0], (Skipped{"/music/Caf\xef\xbf\xbd.wav", "its path is not valid UTF-8"}));
  EXPECT_EQ(r.skipped[1].reason, "its path is longer than 1024 bytes");
}

TEST_F(Scan, PlaylistFilesBecomePlaylistsInFoldersOfTheirFolders) {
  wav("music/a.wav", "A");
  wav("music/sub/b.wav", "B");
  wav("outside/c.wav", "C");
  text("top.m3u", "music/a.wav\n");
  const std::string root = dir_.dir().string();
  text("lists/club/late.m3u8",
       "\xEF\xBB\xBF#EXTM3U\r\n"
       "#EXTINF:1,A\r\n"
       "../../music/a.wav\r\n"  // relative to the playlist
       "\r\n" +
           root + "/music/sub/b.wav\n" +  // absolute, under the root
           "file://" + root +
           "/music/sub/%62.wav\n"  // a file URL
           "../../music/missing.wav\n"
           "../../../escape.wav\n"
           "/elsewhere/x.wav\n"
           "http://example.invalid/a.wav\n"
           "../../music/notes.txt\n"
           "../../music/a.wav\n");
  text("music/notes.txt", "x");
  const ScanResult r = scan({"music", "lists", ""});
  ASSERT_EQ(paths(r), (std::vector<std::string>{"/music/a.wav", "/music/sub/b.wav", "/outside/c.wav"}));
  ASSERT_EQ(r.playlists.size(), 4u);
  auto expect_node = [](const ScannedPlaylist& p, std::uint32_t id, std::uint32_t parent, const std::string& name,
                        bool folder, std::vector<std::size_t> tracks) {
    EXPECT_EQ(p.id, id);
    EXPECT_EQ(p.parent_id, parent);
    EXPECT_EQ(p.name, name);
    EXPECT_EQ(p.is_folder, folder);
    EXPECT_EQ(p.tracks, tracks);
  };
  expect_node(r.playlists[0], 1, 0, "lists", true, {});
  expect_node(r.playlists[1], 2, 1, "club", true, {});
  expect_node(r.playlists[2], 3, 2, "late", false, {0, 1, 1, 0});
  expect_node(r.playlists[3], 4, 0, "top", false, {0});
  const std::string list = "/lists/club/late.m3u8";
  EXPECT_EQ(r.skipped, (std::vector<Skipped>{
                           {list, "line 7: ../../music/missing.wav: No such file or directory (os error 2)"},
                           {list, "line 8: ../../../escape.wav: outside the root"},
                           {list, "line 9: /elsewhere/x.wav: outside the root"},
                           {list, "line 10: http://example.invalid/a.wav: not a file path"},
                           {list, "line 11: ../../music/notes.txt: not a scanned track"},
                       }));
}

TEST_F(Scan, AnM3uLineThatIsNotUtf8IsLatin1) {
  wav("music/Caf\xc3\xa9.wav");
  text("music/old.m3u", "Caf\xe9.wav\n");
  text("music/new.m3u8", "Caf\xe9.wav\n");
  const ScanResult r = scan();
  ASSERT_EQ(r.playlists.size(), 3u);
  EXPECT_EQ(r.playlists[1].name, "new");
  EXPECT_TRUE(r.playlists[1].tracks.empty());
  EXPECT_EQ(r.playlists[2].name, "old");
  EXPECT_EQ(r.playlists[2].tracks, (std::vector<std::size_t>{0}));
  EXPECT_EQ(r.skipped, (std::vector<Skipped>{{"/music/new.m3u8",
                                              "line 1: Caf\xef\xbf\xbd.wav: No such file or directory (os error 2)"}}));
}

TEST_F(Scan, EachDistinctPictureIsWrittenOnceAndFoundAgainLater) {
  wav("music/a.wav", "A", t::fake_png(1));
  wav("music/b.wav", "B", t::fake_png(1));
  wav("music/c.wav", "C", t::fake_png(2));
  wav("music/d.wav", "D", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  wav("music/e.wav", "E");
  ScanOptions options;
  options.root = dir_.dir().string();
  options.artwork_folder = "art/covers";
  auto r = scan_folders(options);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->tracks.size(), 5u);
  EXPECT_EQ(r->tracks[0].artwork_path, r->tracks[1].artwork_path);
  EXPECT_NE(r->tracks[0].artwork_path, r->tracks[2].artwork_path);
  EXPECT_EQ(r->tracks[3].artwork_path, "");  // not an image the scan knows
  EXPECT_EQ(r->tracks[4].artwork_path, "");
  EXPECT_TRUE(r->tracks[0].artwork_path.starts_with("/art/covers/"));
  EXPECT_EQ(r->tracks[0].artwork_path.size(), std::string("/art/covers/0123456789abcdef.png").size());
  EXPECT_EQ(dir_.list("art/covers").size(), 2u);
  EXPECT_EQ(scratch::read_whole(dir_.path(r->tracks[2].artwork_path.substr(1))), t::fake_png(2));
  // A second scan finds the same files and leaves them as they are.
  const auto before = fs::last_write_time(dir_.dir() / r->tracks[0].artwork_path.substr(1));
  auto again = scan_folders(options);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->tracks[0].artwork_path, r->tracks[0].artwork_path);
  EXPECT_EQ(fs::last_write_time(dir_.dir() / r->tracks[0].artwork_path.substr(1)), before);
  // Without the folder no picture is read and nothing is written.
  fs::remove_all(dir_.dir() / "art");
  options.artwork_folder.reset();
  auto none = scan_folders(options);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->tracks[0].artwork_path, "");
  EXPECT_FALSE(fs::exists(dir_.dir() / "art"));
}

TEST_F(Scan, AnArtworkFolderThatCannotBeMadeFailsTheScan) {
  wav("music/a.wav", "A", t::fake_png(1));
  text("art", "a file where the folder should be");
  ScanOptions options;
  options.root = dir_.dir().string();
  options.artwork_folder = "art";
  auto r = scan_folders(options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "cannot make folder " + dir_.path("art") + ": File exists (os error 17)");
}

TEST_F(Scan, OneOrTwoThreadsGiveTheSameResultAndProgressEndsAtTheTotal) {
  for (int i = 0; i < 40; ++i) wav("music/" + std::to_string(i % 7) + "/" + std::to_string(i) + ".wav");
  text("music/3/bad.wav", "bad");
  ScanOptions options;
  options.root = dir_.dir().string();
  std::vector<Progress> seen;
  options.progress = [&](const Progress& p) { seen.push_back(p); };
  options.threads = 1;
  auto one = scan_folders(options);
  options.threads = 2;
  auto two = scan_folders(options);
  ASSERT_TRUE(one && two);
  ASSERT_EQ(paths(*one), paths(*two));
  EXPECT_EQ(one->skipped, two->skipped);
  EXPECT_EQ(one->tracks.size(), 40u);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().done, 41u);
  EXPECT_EQ(seen.back().total, 41u);
  EXPECT_TRUE(seen.back().folder.starts_with("/music/"));
  for (const Progress& p : seen) EXPECT_LE(p.done, p.total);
}

TEST(PlaylistFile, EntriesSkipCommentsBlankLinesAndLineEnds) {
  EXPECT_EQ(playlist_entries("\xEF\xBB\xBF#EXTM3U\r\n a.mp3 \r\n\r\n#x\nb/c.flac", false),
            (std::vector<PlaylistEntry>{{2, "a.mp3"}, {5, "b/c.flac"}}));
  EXPECT_EQ(playlist_entries("Caf\xe9.mp3\n", true), (std::vector<PlaylistEntry>{{1, "Caf\xc3\xa9.mp3"}}));
  EXPECT_EQ(playlist_entries("Caf\xe9.mp3\n", false), (std::vector<PlaylistEntry>{{1, "Caf\xe9.mp3"}}));
  EXPECT_TRUE(playlist_entries("", false).empty());
}

TEST(PlaylistFile, EntriesResolveUnderTheRootOrNot) {
  const RootPaths root{"media/stick", "mnt/real"};
  struct Case {
    std::string entry;
    std::string folder;
    std::string result;  // "!" + the reason for a failure
  };
  const std::vector<Case> cases = {
      {"a.mp3", "music", "music/a.mp3"},
      {"./x/../a.mp3", "music", "music/a.mp3"},
      {"../a.mp3", "music", "a.mp3"},
      {"../../a.mp3", "music", "!outside the root"},
      {"..", "", "!outside the root"},
      {"/media/stick/music/a.mp3", "x", "music/a.mp3"},
      {"/mnt/real/music/a.mp3", "x", "music/a.mp3"},
      {"/media/stick/../other/a.mp3", "x", "!outside the root"},
      {"/media/sticky/a.mp3", "x", "!outside the root"},
      {"/media/stick", "x", "!outside the root"},
      {"file:///media/stick/a%20b.mp3", "", "a b.mp3"},
      {"file://localhost/media/stick/a.mp3", "", "a.mp3"},
      {"file://host/media/stick/a.mp3", "", "!not a file path"},
      {"https://example.invalid/a.mp3", "", "!not a file path"},
      {"C:a.mp3", "", "C:a.mp3"},
  };
  for (const Case& c : cases) {
    auto got = resolve_entry(c.entry, c.folder, root);
    EXPECT_EQ(got ? *got : "!" + got.error(), c.result) << c.entry;
  }
  EXPECT_EQ(normalise("/a//b/./c/"), "a/b/c");
  EXPECT_EQ(normalise("a/.."), "");
  EXPECT_EQ(normalise("a/../.."), std::nullopt);
}

}  // namespace
}  // namespace dovrel::scan
