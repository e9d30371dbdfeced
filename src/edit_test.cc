// The "edit" action: its request (strict changes, messages that name the
// place), and through the command line: all or nothing, an empty edit that
// changes no byte, and a result that reads as a fresh build of the same
// library.
#include "edit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "cli_runner_test_util.h"
#include "request.h"
#include "scratch_dir_test_util.h"
#include "vantrel_pdb/library.h"

namespace dovrel {
namespace {

using Image = std::vector<std::uint8_t>;

std::string edit_request(const std::string& changes) {
  return R"({"action":"edit","input":"/in.pdb","output":"/out.pdb","changes":[)" + changes + "]}";
}

struct RequestCase {
  const char* name;
  std::string changes;
  const char* message;  // "" when the request reads
};

class EditRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(EditRequest, ReadsOrFailsNamingThePlace) {
  auto request = parse_request(edit_request(GetParam().changes));
  if (std::string(GetParam().message).empty()) {
    EXPECT_TRUE(request) << request.error().message;
  } else {
    ASSERT_FALSE(request);
    EXPECT_EQ(request.error().message, GetParam().message);
  }
}

const std::string kTrack =
    R"({"id":4,"title":"T","artist":"A","album":"B","genre":"G","key":"K","audioPath":"/music/t.mp3",)"
    R"("analysisPath":"","artworkPath":"","bpm":120,"duration":1,"sampleRate":44100,"fileSize":1})";

INSTANTIATE_TEST_SUITE_P(
    Cases, EditRequest,
    ::testing::Values(
        RequestCase{"none", "", ""},
        RequestCase{
            "every_op",
            R"({"op":"addTracks","tracks":[)" + kTrack +
                R"(]},{"op":"setTrack","id":1,"rating":5,"label":"L"},)"
                R"({"op":"removeTracks","ids":[1,2]},)"
                R"({"op":"addPlaylists","playlists":[{"id":9,"name":"P","parentId":0,"isFolder":false,"tracks":[4]}]},)"
                R"({"op":"renamePlaylist","id":9,"name":"Q"},{"op":"movePlaylist","id":9,"parentId":0},)"
                R"({"op":"movePlaylist","position":0,"id":9,"parentId":3},)"
                R"({"op":"setPlaylistTracks","id":9,"tracks":[4,4]},{"op":"removePlaylists","ids":[9]})",
            ""},
        RequestCase{"unknown_op", R"({"op":"frob"})", R"(changes[0]: unknown op "frob")"},
        RequestCase{"unknown_field", R"({"op":"setTrack","id":1},{"op":"setTrack","id":1,"colour":"red"})",
                    "changes[1]: unknown field `colour`"},
        RequestCase{"id_is_not_a_setTrack_change", R"({"op":"renamePlaylist","id":1,"name":"x","rating":1})",
                    "changes[0]: unknown field `rating`"},
        RequestCase{"missing_op", R"({"id":1})", "changes[0]: missing field `op`"},
        RequestCase{"op_not_a_string", R"({"op":5})", "changes[0].op: expected a string, got 5"},
        RequestCase{"missing_id", R"({"op":"setTrack","rating":1})", "changes[0]: missing field `id`"},
        RequestCase{"missing_parent", R"({"op":"movePlaylist","id":1})", "changes[0]: missing field `parentId`"},
        RequestCase{"rating_too_big", R"({"op":"setTrack","id":1,"rating":256})",
                    "changes[0].rating: expected an unsigned 8-bit integer, got 256"},
        RequestCase{"negative_position", R"({"op":"movePlaylist","id":1,"parentId":0,"position":-1})",
                    "changes[0].position: expected an unsigned 32-bit integer, got -1"},
        RequestCase{"null_name", R"({"op":"renamePlaylist","id":1,"name":null})",
                    "changes[0].name: expected a string, got null"},
        RequestCase{"repeated_key", R"({"op":"removeTracks","ids":[1],"ids":[2]})",
                    "changes[0]: duplicate field `ids`"},
        RequestCase{"track_record", R"({"op":"addTracks","tracks":[{"id":1}]})",
                    "changes[0].tracks[0]: missing field `title`"},
        RequestCase{"playlist_record", R"({"op":"addPlaylists","playlists":[{"id":1,"name":"x"}]})",
                    "changes[0].playlists[0]: missing field `parentId`"},
        RequestCase{"change_not_an_object", R"(7)", "changes[0]: expected a JSON object, got 7"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(EditRequest, TheTopLevelSkipsUnknownKeysButNeedsChanges) {
  auto skipped = parse_request(R"({"action":"edit","keepTracks":"x","changes":[]})");
  ASSERT_TRUE(skipped) << skipped.error().message;
  EXPECT_TRUE(skipped->changes.empty());
  EXPECT_FALSE(skipped->keep_tracks);
  EXPECT_EQ(parse_request(R"({"action":"edit","input":"/a"})").error().message, "missing field `changes`");
  EXPECT_EQ(parse_request(R"({"action":"edit","changes":{}})").error().message,
            "changes: expected an array, got an object");
  // The other actions skip "changes".
  EXPECT_TRUE(parse_request(R"({"action":"patch","changes":5})"));
}

TEST(EditRequest, SetTrackHoldsTheKeysGiven) {
  auto request = parse_request(edit_request(R"({"op":"setTrack","id":7,"bpm":128.5,"comment":"","label":"L"})"));
  ASSERT_TRUE(request) << request.error().message;
  ASSERT_EQ(request->changes.size(), 1u);
  const EditChange& c = request->changes[0];
  EXPECT_EQ(c.op, EditChange::Op::kSetTrack);
  EXPECT_EQ(c.id, 7u);
  EXPECT_EQ(c.track.bpm, 128.5);
  EXPECT_EQ(c.track.comment, "");
  EXPECT_EQ(c.track.label, "L");
  EXPECT_FALSE(c.track.title);
  EXPECT_FALSE(c.track.rating);
}

// ---------------------------------------------------------------------------
// Through the command line.

std::string track_json(std::uint32_t id, const std::string& title, const std::string& extra = "") {
  const std::string n = std::to_string(id);
  std::string out = R"({"id":)";
  out.append(n).append(R"(,"title":")").append(title);
  out.append(R"(","artist":"Mira","album":"Low Tide","genre":"House","key":"Fm","audioPath":"/music/)");
  out.append(n).append(R"(.mp3","analysisPath":"/scans/)").append(n);
  out.append(R"(.dat","artworkPath":"","bpm":120,"duration":300,"sampleRate":44100,"fileSize":1000)");
  return out.append(extra).append("}");
}

class EditCommand : public ::testing::Test {
 protected:
  // Tracks 1 to 3 (1 with a label), folder 10 holding playlist 11 (2, 1),
  // playlist 12 (3) at the top.
  std::string build(const std::string& name, const std::string& tracks, const std::string& playlists) {
    const std::string path = scratch_.path(name);
    auto run = cli_runner::run_dovrel(R"({"action":"build","output":")" + path + R"(","tracks":[)" + tracks +
                                      R"(],"playlists":[)" + playlists + "]}");
    EXPECT_EQ(run.err, "");
    return path;
  }
  std::string start() {
    return build(
        "lib.pdb",
        track_json(1, "One", R"(,"label":"Tidal")") + "," + track_json(2, "Two") + "," + track_json(3, "Three"),
        R"({"id":10,"name":"Sets","parentId":0,"isFolder":true,"tracks":[]},)"
        R"({"id":11,"name":"Evening","parentId":10,"isFolder":false,"tracks":[2,1]},)"
        R"({"id":12,"name":"Warm-up","parentId":0,"isFolder":false,"tracks":[3]})");
  }
  cli_runner::Outcome edit(const std::string& input, const std::string& output, const std::string& changes) {
    return cli_runner::run_dovrel(R"({"action":"edit","input":")" + input + R"(","output":")" + output +
                                  R"(","changes":[)" + changes + "]}");
  }
  scratch::ScratchDir scratch_;
};

TEST_F(EditCommand, NoChangesLeaveABuiltFileByteForByte) {
  const std::string file = start();
  const Image before = scratch::read_whole(file);
  auto run = edit(file, file, "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(scratch::read_whole(file), before);
  auto read = cli_runner::run_dovrel(R"({"action":"read","input":")" + file + R"("})");
  EXPECT_EQ(run.out, read.out);
}

TEST_F(EditCommand, TheFirstFailingChangeFailsTheWholeEditAndWritesNothing) {
  const std::string file = start();
  const Image before = scratch::read_whole(file);
  const std::string changes = R"({"op":"renamePlaylist","id":11,"name":"A much longer name than before"},)"
                              R"({"op":"setTrack","id":2,"rating":3},{"op":"removeTracks","ids":[7]})";
  for (const std::string& output : {file, scratch_.path("new.pdb")}) {
    cli_runner::expect_failure(edit(file, output, changes), "changes[2]: no track with id 7");
  }
  cli_runner::expect_failure(edit(file, file, R"({"op":"movePlaylist","id":10,"parentId":11})"),
                             "changes[0]: playlist 11 is not a folder");
  cli_runner::expect_failure(
      edit(file, file, std::string(R"({"op":"addTracks","tracks":[)") + track_json(3, "x") + "]}"),
      "changes[0]: Duplicate track ID");
  cli_runner::expect_failure(edit(scratch_.path("none.pdb"), file, ""), "No such file or directory (os error 2)");
  EXPECT_EQ(scratch::read_whole(file), before);
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"lib.pdb"});
}

// The tracks (label included, by id) and playlists (by id) of a file.
struct Contents {
  std::vector<vantrel_pdb::TrackInfo> tracks;
  std::vector<vantrel_pdb::PlaylistInfo> playlists;
};

Contents contents_of(const std::string& path) {
  auto library = vantrel_pdb::Library::open(scratch::read_whole(path));
  EXPECT_TRUE(library) << library.error().message();
  Contents c{library->tracks().value(), library->playlists().value()};
  std::sort(c.tracks.begin(), c.tracks.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  std::sort(c.playlists.begin(), c.playlists.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return c;
}

TEST_F(EditCommand, AnEditedFileReadsAsAFreshBuildOfTheSameLibrary) {
  const std::string file = start();
  const std::string edited = scratch_.path("edited.pdb");
  auto run = edit(
      file, edited,
      std::string(R"({"op":"addTracks","tracks":[)") + track_json(4, "Four", R"(,"label":"Shore")") + "]}," +
          R"({"op":"setTrack","id":2,"title":"Two, the long version of the title","rating":4,)"
          R"("label":"Tidal","artist":"Ola","bpm":128.5,"comment":"after midnight"},)"
          R"({"op":"setTrack","id":1,"rating":2},)"
          R"({"op":"addPlaylists","playlists":[{"id":13,"name":"Late","parentId":10,"isFolder":false,"tracks":[4,2,4]}]},)"
          R"({"op":"renamePlaylist","id":11,"name":"Early evening, on the terrace"},)"
          R"({"op":"movePlaylist","id":12,"parentId":10,"position":0},)"
          R"({"op":"setPlaylistTracks","id":11,"tracks":[1,4,2]},)"
          R"({"op":"removeTracks","ids":[3]})");
  ASSERT_EQ(run.status, 0) << run.err;
  auto read = cli_runner::run_dovrel(R"({"action":"read","input":")" + edited + R"("})");
  EXPECT_EQ(run.out, read.out);

  const std::string fresh = build(
      "fresh.pdb",
      track_json(1, "One", R"(,"label":"Tidal","rating":2)") + "," +
          R"({"id":2,"title":"Two, the long version of the title","artist":"Ola","album":"Low Tide","genre":"House",)"
          R"("key":"Fm","audioPath":"/music/2.mp3","analysisPath":"/scans/2.dat","artworkPath":"","bpm":128.5,)"
          R"("duration":300,"sampleRate":44100,"fileSize":1000,"rating":4,"label":"Tidal","comment":"after midnight"},)" +
          track_json(4, "Four", R"(,"label":"Shore")"),
      R"({"id":10,"name":"Sets","parentId":0,"isFolder":true,"tracks":[]},)"
      R"({"id":12,"name":"Warm-up","parentId":10,"isFolder":false,"tracks":[]},)"
      R"({"id":11,"name":"Early evening, on the terrace","parentId":10,"isFolder":false,"tracks":[1,4,2]},)"
      R"({"id":13,"name":"Late","parentId":10,"isFolder":false,"tracks":[4,2,4]})");
  const Contents got = contents_of(edited);
  const Contents want = contents_of(fresh);
  ASSERT_EQ(got.tracks.size(), want.tracks.size());
  for (std::size_t i = 0; i < got.tracks.size(); ++i) {
    const auto& g = got.tracks[i];
    const auto& w = want.tracks[i];
    EXPECT_EQ(std::tie(g.id, g.title, g.artist, g.album, g.genre, g.key, g.label, g.artwork_path, g.audio_path,
                       g.analysis_path, g.comment, g.tempo, g.bitrate, g.sample_rate, g.file_size, g.duration,
                       g.sample_depth, g.file_type, g.rating),
              std::tie(w.id, w.title, w.artist, w.album, w.genre, w.key, w.label, w.artwork_path, w.audio_path,
                       w.analysis_path, w.comment, w.tempo, w.bitrate, w.sample_rate, w.file_size, w.duration,
                       w.sample_depth, w.file_type, w.rating))
        << g.id;
  }
  ASSERT_EQ(got.playlists.size(), want.playlists.size());
  for (std::size_t i = 0; i < got.playlists.size(); ++i) {
    const auto& g = got.playlists[i];
    const auto& w = want.playlists[i];
    EXPECT_EQ(std::tie(g.id, g.parent_id, g.name, g.is_folder, g.tracks, g.children),
              std::tie(w.id, w.parent_id, w.name, w.is_folder, w.tracks, w.children))
        << g.id;
  }
}

}  // namespace
}  // namespace dovrel
