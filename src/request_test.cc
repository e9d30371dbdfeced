#include "request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "request_one_pass.h"

namespace dovrel {
namespace {

// A JSON object written from (key, raw JSON value) pairs, in order.
using Fields = std::vector<std::pair<std::string, std::string>>;

std::string object(const Fields& fields) {
  std::string out = "{";
  for (const auto& [key, value] : fields) {
    if (out.size() > 1) out += ",";
    out += "\"" + key + "\":" + value;
  }
  return out + "}";
}

// The parts joined, built by appending (GCC 12 misjudges literal + temporary
// string in optimised builds).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

std::string one_item_array(const std::string& item) { return cat("[", item, "]"); }

Fields full_track() {
  return {{"id", "7"},
          {"title", "\"T\""},
          {"artist", "\"A\""},
          {"album", "\"B\""},
          {"genre", "\"G\""},
          {"key", "\"Am\""},
          {"audioPath", "\"/a.mp3\""},
          {"analysisPath", "\"/a.dat\""},
          {"artworkPath", "\"\""},
          {"bpm", "128"},
          {"duration", "300"},
          {"sampleRate", "44100"},
          {"fileSize", "1000"}};
}

Fields full_playlist() {
  return {{"id", "3"}, {"name", "\"P\""}, {"parentId", "0"}, {"isFolder", "false"}, {"tracks", "[7,7,1]"}};
}

Fields without(Fields fields, const std::string& key) {
  std::erase_if(fields, [&](const auto& f) { return f.first == key; });
  return fields;
}

Fields with(Fields fields, const std::string& key, const std::string& value) {
  for (auto& f : fields) {
    if (f.first == key) {
      f.second = value;
      return fields;
    }
  }
  fields.emplace_back(key, value);
  return fields;
}

std::string request_with_tracks(const std::vector<Fields>& tracks) {
  std::string list = "[";
  for (const auto& t : tracks) {
    if (list.size() > 1) list += ',';
    list += object(t);
  }
  return object({{"action", "\"build\""}, {"tracks", list + "]"}});
}

std::string request_with_playlists(const std::vector<Fields>& playlists) {
  std::string list = "[";
  for (const auto& p : playlists) {
    if (list.size() > 1) list += ',';
    list += object(p);
  }
  return object({{"action", "\"build\""}, {"playlists", list + "]"}});
}

std::string error_of(std::string_view text) {
  auto request = parse_request(text);
  if (request) return "(parsed)";
  return request.error().message;
}

TEST(Request, ParsesEveryField) {
  Fields track = full_track();
  track = with(track, "bitrate", "320");
  track = with(track, "sampleDepth", "24");
  track = with(track, "rating", "5");
  track = with(track, "comment", "\"c\\u00e9\\n\"");
  track = with(track, "bpm", "128.25");
  track = with(track, "label", "\"Harbour Tapes\"");
  std::string text = object({{"action", "\"patch\""},
                             {"input", "\"in.pdb\""},
                             {"output", "\"out.pdb\""},
                             {"tracks", one_item_array(object(track))},
                             {"playlists", one_item_array(object(full_playlist()))},
                             {"keepTracks", "[1,1,4294967295]"},
                             {"keepPlaylists", "[]"},
                             {"tempos", R"({"7":12850,"0":0})"}});
  auto request = parse_request(text);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->action, "patch");
  EXPECT_EQ(request->input, "in.pdb");
  EXPECT_EQ(request->output, "out.pdb");
  ASSERT_EQ(request->tracks.size(), 1u);
  const Track& t = request->tracks[0];
  EXPECT_EQ(t.id, 7u);
  EXPECT_EQ(t.title, "T");
  EXPECT_EQ(t.artist, "A");
  EXPECT_EQ(t.album, "B");
  EXPECT_EQ(t.genre, "G");
  EXPECT_EQ(t.key, "Am");
  EXPECT_EQ(t.audio_path, "/a.mp3");
  EXPECT_EQ(t.analysis_path, "/a.dat");
  EXPECT_EQ(t.artwork_path, "");
  EXPECT_EQ(t.bpm, 128.25);
  EXPECT_EQ(t.duration, 300);
  EXPECT_EQ(t.sample_rate, 44100u);
  EXPECT_EQ(t.file_size, 1000u);
  EXPECT_EQ(t.bitrate, 320u);
  EXPECT_EQ(t.sample_depth, 24);
  EXPECT_EQ(t.rating, 5);
  EXPECT_EQ(t.comment, "c\xc3\xa9\n");
  EXPECT_EQ(t.label, "Harbour Tapes");
  ASSERT_EQ(request->playlists.size(), 1u);
  EXPECT_EQ(request->playlists[0], (Playlist{3, "P", 0, false, {7, 7, 1}}));
  EXPECT_EQ(request->keep_tracks, (std::vector<std::uint32_t>{1, 1, 4294967295u}));
  EXPECT_EQ(request->keep_playlists, std::vector<std::uint32_t>{});
  EXPECT_EQ(request->tempos, (vantrel_pdb::TempoMap{{7, 12850}, {0, 0}}));
}

TEST(Request, AbsentKeysTakeTheirDefaults) {
  auto request = parse_request(R"({"action":"read"})");
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->input);
  EXPECT_FALSE(request->output);
  EXPECT_TRUE(request->tracks.empty());
  EXPECT_TRUE(request->playlists.empty());
  EXPECT_FALSE(request->keep_tracks);
  EXPECT_FALSE(request->keep_playlists);
  EXPECT_TRUE(request->tempos.empty());

  auto built = parse_request(request_with_tracks({full_track()}));
  ASSERT_TRUE(built);
  EXPECT_EQ(built->tracks[0].bitrate, 0u);
  EXPECT_EQ(built->tracks[0].sample_depth, 0);
  EXPECT_EQ(built->tracks[0].rating, 0);
  EXPECT_EQ(built->tracks[0].comment, "");
  EXPECT_FALSE(built->tracks[0].label);
  EXPECT_EQ(built->tracks[0].bpm, 128.0);
}

TEST(Request, NullIsAbsentForTheFourOptionalKeys) {
  auto request = parse_request(R"({"action":"x","input":null,"output":null,"keepTracks":null,"keepPlaylists":null})");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_FALSE(request->input);
  EXPECT_FALSE(request->output);
  EXPECT_FALSE(request->keep_tracks);
  EXPECT_FALSE(request->keep_playlists);
}

class MissingTrackField : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingTrackField, IsNamedWithItsPlace) {
  EXPECT_EQ(error_of(request_with_tracks({full_track(), without(full_track(), GetParam())})),
            "tracks[1]: missing field `" + GetParam() + "`");
}

INSTANTIATE_TEST_SUITE_P(Required, MissingTrackField,
                         ::testing::Values("id", "title", "artist", "album", "genre", "key", "audioPath",
                                           "analysisPath", "artworkPath", "bpm", "duration", "sampleRate", "fileSize"));

class MissingPlaylistField : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingPlaylistField, IsNamedWithItsPlace) {
  EXPECT_EQ(error_of(request_with_playlists({without(full_playlist(), GetParam())})),
            "playlists[0]: missing field `" + GetParam() + "`");
}

INSTANTIATE_TEST_SUITE_P(Required, MissingPlaylistField,
                         ::testing::Values("id", "name", "parentId", "isFolder", "tracks"));

TEST(Request, FirstMissingFieldInFieldOrderIsNamed) {
  EXPECT_EQ(error_of(request_with_tracks({without(without(full_track(), "fileSize"), "title")})),
            "tracks[0]: missing field `title`");
  EXPECT_EQ(error_of(R"({"tracks":[]})"), "missing field `action`");
  EXPECT_EQ(error_of("{}"), "missing field `action`");
  // A field error found while walking comes before any missing field.
  EXPECT_EQ(error_of(request_with_tracks({{{"duration", "-1"}}})),
            "tracks[0].duration: expected an unsigned 16-bit integer, got -1");
}

struct ErrorCase {
  std::string text;
  std::string message;
};

class RequestError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RequestError, HasExactMessage) { EXPECT_EQ(error_of(GetParam().text), GetParam().message); }

std::string track_field(const std::string& key, const std::string& value) {
  return request_with_tracks({with(full_track(), key, value)});
}
std::string playlist_field(const std::string& key, const std::string& value) {
  return request_with_playlists({with(full_playlist(), key, value)});
}

INSTANTIATE_TEST_SUITE_P(
    Widths, RequestError,
    ::testing::Values(
        ErrorCase{track_field("rating", "256"), "tracks[0].rating: expected an unsigned 8-bit integer, got 256"},
        ErrorCase{track_field("duration", "65536"),
                  "tracks[0].duration: expected an unsigned 16-bit integer, got 65536"},
        ErrorCase{track_field("duration", "70000"),
                  "tracks[0].duration: expected an unsigned 16-bit integer, got 70000"},
        ErrorCase{track_field("sampleDepth", "65536"),
                  "tracks[0].sampleDepth: expected an unsigned 16-bit integer, got 65536"},
        ErrorCase{track_field("id", "4294967296"), "tracks[0].id: expected an unsigned 32-bit integer, got 4294967296"},
        ErrorCase{track_field("fileSize", "18446744073709551615"),
                  "tracks[0].fileSize: expected an unsigned 32-bit integer, got 18446744073709551615"},
        ErrorCase{track_field("id", "-1"), "tracks[0].id: expected an unsigned 32-bit integer, got -1"},
        ErrorCase{track_field("id", "1.5"), "tracks[0].id: expected an unsigned 32-bit integer, got 1.5"},
        ErrorCase{track_field("sampleRate", "1e2"),
                  "tracks[0].sampleRate: expected an unsigned 32-bit integer, got 100.0"},
        ErrorCase{track_field("bitrate", "1.0"), "tracks[0].bitrate: expected an unsigned 32-bit integer, got 1.0"},
        ErrorCase{playlist_field("parentId", "-5"),
                  "playlists[0].parentId: expected an unsigned 32-bit integer, got -5"},
        ErrorCase{playlist_field("tracks", "[1,2,3.5]"),
                  "playlists[0].tracks[2]: expected an unsigned 32-bit integer, got 3.5"},
        ErrorCase{R"({"action":"patch","keepTracks":[0,1,-1]})",
                  "keepTracks[2]: expected an unsigned 32-bit integer, got -1"},
        ErrorCase{R"({"action":"patch","keepPlaylists":[4294967296]})",
                  "keepPlaylists[0]: expected an unsigned 32-bit integer, got 4294967296"}));

INSTANTIATE_TEST_SUITE_P(
    Types, RequestError,
    ::testing::Values(
        ErrorCase{R"({"action":null})", "action: expected a string, got null"},
        ErrorCase{R"({"action":5})", "action: expected a string, got 5"},
        ErrorCase{R"({"action":"read","input":7})", "input: expected a string, got 7"},
        ErrorCase{R"({"action":"read","output":[]})", "output: expected a string, got an array"},
        ErrorCase{R"({"action":"read","tracks":null})", "tracks: expected an array, got null"},
        ErrorCase{R"({"action":"read","playlists":{}})", "playlists: expected an array, got an object"},
        ErrorCase{R"({"action":"read","tracks":[1]})", "tracks[0]: expected a JSON object, got 1"},
        ErrorCase{R"({"action":"read","tempos":null})", "tempos: expected a JSON object, got null"},
        ErrorCase{R"({"action":"read","tempos":[]})", "tempos: expected a JSON object, got an array"},
        ErrorCase{R"({"action":"read","keepTracks":"1"})", "keepTracks: expected an array, got \"1\""},
        ErrorCase{track_field("comment", "null"), "tracks[0].comment: expected a string, got null"},
        ErrorCase{track_field("label", "5"), "tracks[0].label: expected a string, got 5"},
        ErrorCase{track_field("title", "false"), "tracks[0].title: expected a string, got false"},
        ErrorCase{track_field("bpm", "\"128\""), "tracks[0].bpm: expected a number, got \"128\""},
        ErrorCase{track_field("bpm", "null"), "tracks[0].bpm: expected a number, got null"},
        ErrorCase{track_field("id", "\"1\""), "tracks[0].id: expected an unsigned 32-bit integer, got \"1\""},
        ErrorCase{track_field("rating", "true"), "tracks[0].rating: expected an unsigned 8-bit integer, got true"},
        ErrorCase{playlist_field("isFolder", "0"), "playlists[0].isFolder: expected true or false, got 0"},
        ErrorCase{playlist_field("tracks", "null"), "playlists[0].tracks: expected an array, got null"},
        // A long string is quoted back cut short, never inside a character.
        ErrorCase{track_field("id", cat("\"", std::string(39, 'x'), "\xc3\xa9\"")),
                  cat("tracks[0].id: expected an unsigned 32-bit integer, got \"", std::string(39, 'x'), "...\"")},
        ErrorCase{track_field("id", "\"a\\nb\""), "tracks[0].id: expected an unsigned 32-bit integer, got \"a\\nb\""},
        ErrorCase{"[]", "expected a JSON object, got an array"},
        ErrorCase{"\"read\"", "expected a JSON object, got \"read\""},
        ErrorCase{"null", "expected a JSON object, got null"}));

INSTANTIATE_TEST_SUITE_P(
    Duplicates, RequestError,
    ::testing::Values(ErrorCase{R"({"action":"read","action":"read"})", "duplicate field `action`"},
                      ErrorCase{R"({"action":"read","input":null,"input":"a"})", "duplicate field `input`"},
                      ErrorCase{R"({"x":1,"action":"read","x":2})", "duplicate field `x`"},
                      ErrorCase{R"({"action":"read","a\nb":1,"a\nb":2})", "duplicate field `a\\nb`"},
                      // The repeated key is found before its value is looked at...
                      ErrorCase{R"({"action":"read","action":5})", "duplicate field `action`"},
                      // ...but a bad value before the repetition fails first.
                      ErrorCase{R"({"action":5,"action":"read"})", "action: expected a string, got 5"},
                      ErrorCase{request_with_tracks({full_track(),
                                                     [] {
                                                       Fields track = full_track();
                                                       track.emplace_back("title", "\"again\"");
                                                       return track;
                                                     }()}),
                                "tracks[1]: duplicate field `title`"},
                      ErrorCase{request_with_tracks({[] {
                                  Fields track = full_track();
                                  track.emplace_back("unknown", "1");
                                  track.emplace_back("unknown", "2");
                                  return track;
                                }()}),
                                "tracks[0]: duplicate field `unknown`"},
                      ErrorCase{request_with_playlists({full_playlist(),
                                                        [] {
                                                          Fields playlist = full_playlist();
                                                          playlist.emplace_back("name", "\"again\"");
                                                          return playlist;
                                                        }()}),
                                "playlists[1]: duplicate field `name`"}));

INSTANTIATE_TEST_SUITE_P(
    Tempos, RequestError,
    ::testing::Values(
        ErrorCase{R"({"action":"patch","tempos":{"x":1}})", "tempos: key \"x\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"":1}})", "tempos: key \"\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"-1":1}})", "tempos: key \"-1\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"+1":1}})", "tempos: key \"+1\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{" 1":1}})", "tempos: key \" 1\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"1.0":1}})", "tempos: key \"1.0\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"4294967296":1}})",
                  "tempos: key \"4294967296\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"99999999999999999999":1}})",
                  "tempos: key \"99999999999999999999\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"\u0661":1}})",
                  "tempos: key \"\xd9\xa1\" is not an unsigned 32-bit integer"},
        ErrorCase{R"({"action":"patch","tempos":{"7":120.5}})",
                  "tempos[\"7\"]: expected an unsigned 32-bit integer, got 120.5"},
        ErrorCase{R"({"action":"patch","tempos":{"7":-1}})",
                  "tempos[\"7\"]: expected an unsigned 32-bit integer, got -1"},
        ErrorCase{R"({"action":"patch","tempos":{"7":1,"7":null}})",
                  "tempos[\"7\"]: expected an unsigned 32-bit integer, got null"}));

// The scan's own keys; the keys of other actions are skipped as unknown.
INSTANTIATE_TEST_SUITE_P(
    Scan, RequestError,
    ::testing::Values(
        ErrorCase{R"({"action":"scan"})", "missing field `root`"},
        ErrorCase{R"({"action":"scan","root":5})", "root: expected a string, got 5"},
        ErrorCase{R"({"action":"scan","root":""})", "root: expected a folder, got \"\""},
        ErrorCase{R"({"action":"scan","root":"/r","folders":"music"})", "folders: expected an array, got \"music\""},
        ErrorCase{R"({"action":"scan","root":"/r","folders":["a",7]})", "folders[1]: expected a string, got 7"},
        ErrorCase{R"({"action":"scan","root":"/r","folders":["a","/etc"]})",
                  "folders[1]: expected a relative path inside the root, got \"/etc\""},
        ErrorCase{R"({"action":"scan","root":"/r","folders":["a/../.."]})",
                  "folders[0]: expected a relative path inside the root, got \"a/../..\""},
        ErrorCase{R"({"action":"scan","root":"/r","artworkFolder":"../art"})",
                  "artworkFolder: expected a relative path inside the root of printable ASCII, at most 103 bytes, "
                  "got \"../art\""},
        ErrorCase{R"({"action":"scan","root":"/r","artworkFolder":"caf\u00e9"})",
                  "artworkFolder: expected a relative path inside the root of printable ASCII, at most 103 bytes, "
                  "got \"caf\xc3\xa9\""},
        ErrorCase{R"({"action":"scan","root":"/r","artworkFolder":5})", "artworkFolder: expected a string, got 5"},
        ErrorCase{R"({"action":"scan","root":"/r","input":5})", "input: expected a string, got 5"},
        ErrorCase{R"({"action":"scan","root":"/r","root":"/s"})", "duplicate field `root`"}));

TEST(Request, ScanPathsAreNormalisedAndOtherActionsKeysSkipped) {
  auto request = parse_request(
      R"({"action":"scan","root":"/media/stick/","folders":["./music//house/","",".","a/../b"],"output":"o.pdb",)"
      R"("artworkFolder":"./art/covers/","input":null,"tracks":5,"keepTracks":"x"})");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->action, "scan");
  EXPECT_EQ(request->scan.root, "/media/stick/");
  EXPECT_EQ(request->scan.folders, (std::vector<std::string>{"music/house", "", "", "b"}));
  EXPECT_EQ(request->scan.artwork_folder, "art/covers");
  EXPECT_EQ(request->output, "o.pdb");
  EXPECT_EQ(request->input, std::nullopt);
  auto defaults = parse_request(R"({"action":"scan","root":"/r","folders":null,"artworkFolder":null})");
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->scan.folders, std::nullopt);
  EXPECT_EQ(defaults->scan.artwork_folder, std::nullopt);
  EXPECT_EQ(defaults->output, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    ReportAndExport, RequestError,
    ::testing::Values(
        ErrorCase{R"({"action":"build","report":"short"})", "report: expected \"full\" or \"summary\", got \"short\""},
        ErrorCase{R"({"report":null,"action":"patch"})", "report: expected \"full\" or \"summary\", got null"},
        ErrorCase{R"({"action":"build","report":"full","report":"full"})", "duplicate field `report`"},
        ErrorCase{R"({"action":"read","report":1,"report":2})", "duplicate field `report`"},
        ErrorCase{R"({"action":"export","input":"a","output":"b"})", "missing field `format`"},
        ErrorCase{R"({"action":"export","format":"M3U8"})",
                  "format: expected \"m3u8\", \"csv\" or \"html\", got \"M3U8\""},
        ErrorCase{R"({"action":"export","format":["csv"]})",
                  "format: expected \"m3u8\", \"csv\" or \"html\", got an array"},
        ErrorCase{R"({"action":"export","format":"csv","root":5})", "root: expected a string, got 5"},
        ErrorCase{R"({"action":"export","format":"csv","input":1})", "input: expected a string, got 1"},
        ErrorCase{R"({"action":"export","format":"csv","format":"csv"})", "duplicate field `format`"},
        ErrorCase{R"({"action":"export","format":"csv","x":1,"x":1})", "duplicate field `x`"}));

TEST(Request, ReportIsReadByBuildAndPatchOnly) {
  for (const char* text : {R"({"action":"build","report":"summary"})", R"({"report":"summary","action":"patch"})"}) {
    auto request = parse_request(text);
    ASSERT_TRUE(request) << request.error().message;
    EXPECT_EQ(request->report, ReportKind::kSummary) << text;
  }
  auto full = parse_request(R"({"action":"build","report":"full"})");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->report, ReportKind::kFull);
  // "read", an unknown action and "export" skip it, whatever its value.
  for (const char* text : {R"({"action":"read","report":"summary"})", R"({"action":"read","report":[1]})",
                           R"({"action":"Build","report":7})", R"({"action":"export","format":"csv","report":7})"}) {
    auto request = parse_request(text);
    ASSERT_TRUE(request) << text << ": " << request.error().message;
    EXPECT_EQ(request->report, ReportKind::kFull) << text;
  }
}

TEST(Request, ExportReadsItsKeysAndSkipsOthers) {
  auto request =
      parse_request(R"({"root":"/media/stick","format":"html","action":"export","input":"a.pdb","output":null,)"
                    R"("tracks":5,"keepTracks":"x"})");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->action, "export");
  EXPECT_EQ(request->export_args.format, ExportFormat::kHtml);
  EXPECT_EQ(request->export_args.root, "/media/stick");
  EXPECT_EQ(request->input, "a.pdb");
  EXPECT_FALSE(request->output);
  EXPECT_TRUE(request->tracks.empty());
  for (auto [name, format] : {std::pair{"m3u8", ExportFormat::kM3u8}, std::pair{"csv", ExportFormat::kCsv}}) {
    auto other = parse_request(cat(R"({"action":"export","root":null,"format":")", name, "\"}"));
    ASSERT_TRUE(other) << other.error().message;
    EXPECT_EQ(other->export_args.format, format);
    EXPECT_FALSE(other->export_args.root);
  }
}

TEST(Request, TemposKeysAreDecimalAndTheLaterValueWins) {
  auto request = parse_request(R"({"action":"patch","tempos":{"7":1,"007":2,"4294967295":3,"0":4,"7":5}})");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->tempos, (vantrel_pdb::TempoMap{{7, 5}, {4294967295u, 3}, {0, 4}}));
}

TEST(Request, BpmTakesAnyNumber) {
  for (auto [text, value] :
       std::vector<std::pair<std::string, double>>{{"128", 128.0},
                                                   {"128.5", 128.5},
                                                   {"1e2", 100.0},
                                                   {"-3", -3.0},
                                                   {"0", 0.0},
                                                   {"18446744073709551615", 18446744073709551615.0}}) {
    auto request = parse_request(track_field("bpm", text));
    ASSERT_TRUE(request) << text << ": " << request.error().message;
    EXPECT_EQ(request->tracks[0].bpm, value) << text;
  }
}

TEST(Request, IntegerLimitsAreInclusive) {
  auto request = parse_request(request_with_tracks(
      {with(with(with(with(full_track(), "rating", "255"), "duration", "65535"), "sampleDepth", "65535"), "id",
            "4294967295")}));
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->tracks[0].rating, 255);
  EXPECT_EQ(request->tracks[0].duration, 65535);
  EXPECT_EQ(request->tracks[0].sample_depth, 65535);
  EXPECT_EQ(request->tracks[0].id, 4294967295u);
  // -0 is the integer zero.
  auto zero = parse_request(track_field("id", "-0"));
  ASSERT_TRUE(zero) << zero.error().message;
  EXPECT_EQ(zero->tracks[0].id, 0u);
}

TEST(Request, UnknownKeysAreIgnoredAtEveryLevel) {
  Fields track = full_track();
  track.emplace_back("mood", "{\"nested\":[1,{\"a\":1,\"a\":2}]}");
  track.emplace_back("Title", "5");
  Fields playlist = full_playlist();
  playlist.emplace_back("colour", "null");
  std::string text = object({{"Action", "1"},
                             {"action", "\"read\""},
                             {"extra", "[null,true]"},
                             {"tracks", one_item_array(object(track))},
                             {"playlists", one_item_array(object(playlist))}});
  auto request = parse_request(text);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->tracks[0].title, "T");
  EXPECT_EQ(request->playlists[0].name, "P");
}

TEST(Request, ActionIsNotJudgedByTheParser) {
  for (const char* action : {"", "Read", "anything"}) {
    auto request = parse_request(object({{"action", std::string("\"") + action + "\""}}));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->action, action);
  }
}

TEST(Request, SurroundingWhitespaceIsAllowed) { EXPECT_TRUE(parse_request(" \t\r\n{\"action\":\"read\"}\n\n ")); }

class InvalidJson : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidJson, FailsAsInvalidJson) {
  EXPECT_TRUE(error_of(GetParam()).starts_with("invalid JSON: ")) << error_of(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Texts, InvalidJson,
                         ::testing::Values("", "   \n", "{", "{\"action\":\"read\"} x", "{\"action\":\"read\"}{}",
                                           "{\"action\":\"read\",}", "{\"action\":'read'}", "{\"action\":\"read\"",
                                           "{\"action\":\"\\ud800\"}", "{\"action\":\"read\",\"x\":nul}",
                                           "{\"action\":\"read\",\"x\":-}", "{\"action\":\"read\",\"x\":1.e400}",
                                           "{\"action\":\"a\tb\"}"));

TEST(Request, EmptyInputNamesTheMissingDocument) { EXPECT_EQ(error_of(""), "invalid JSON: Empty: no JSON found"); }

TEST(Request, DeepNestingIsRefused) {
  std::string deep = "{\"action\":\"read\",\"x\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
  // The parser's limit is 1024 levels, the request object being the first.
  EXPECT_EQ(error_of(deep), "invalid JSON: objects and arrays nested deeper than 1024 levels at byte 1044");
  std::string shallow = "{\"action\":\"read\",\"x\":" + std::string(500, '[') + std::string(500, ']') + "}";
  EXPECT_TRUE(parse_request(shallow));
}

class InvalidUtf8 : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidUtf8, HasTheStreamMessage) { EXPECT_EQ(error_of(GetParam()), "stream did not contain valid UTF-8"); }

INSTANTIATE_TEST_SUITE_P(Texts, InvalidUtf8,
                         ::testing::Values("{\"action\":\"\xff\"}", "{\"action\":\"read\"}\xc3",
                                           "{\"action\":\"read\",\"x\":\"\xc0\xaf\"}", "{\"action\":\"\xed\xa0\x80\"}",
                                           "\x80", "{\"action\":\"\xf4\x90\x80\x80\"}",
                                           // Invalid UTF-8 is reported even where the JSON is broken too.
                                           "{\"acti\xfe"));

TEST(Request, NonAsciiTextSurvives) {
  auto request = parse_request("{\"action\":\"read\",\"input\":\"/m\xc3\xbasica/\\u2665\\ud83c\\udfb5.pdb\"}");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->input, "/m\xc3\xbasica/\xe2\x99\xa5\xf0\x9f\x8e\xb5.pdb");
}

// The parse of a text taken over, read where it stands and freed once
// parsed (as the tool reads standard input).
std::string padded_error_of(std::string_view text) {
  auto request = parse_request_taking(std::vector<std::uint8_t>(text.begin(), text.end()));
  return request ? "(parsed)" : request.error().message;
}

TEST_P(RequestError, PaddedTextHasTheSameMessage) { EXPECT_EQ(padded_error_of(GetParam().text), GetParam().message); }
TEST_P(InvalidJson, PaddedTextFailsAlike) { EXPECT_EQ(padded_error_of(GetParam()), error_of(GetParam())); }
TEST_P(InvalidUtf8, PaddedTextFailsAlike) { EXPECT_EQ(padded_error_of(GetParam()), error_of(GetParam())); }

TEST(Request, PaddedTextParsesTheSameRecords) {
  const std::string text =
      cat(R"({"action":"build","output":"/o.pdb","tracks":)", one_item_array(object(full_track())), R"(,"playlists":)",
          one_item_array(object(full_playlist())), R"(,"keepTracks":[1,2],"tempos":{"7":12850}})");
  auto padded = parse_request_taking(std::vector<std::uint8_t>(text.begin(), text.end()));
  auto plain = parse_request(text);
  ASSERT_TRUE(padded) << padded.error().message;
  ASSERT_TRUE(plain);
  EXPECT_EQ(padded->action, plain->action);
  EXPECT_EQ(padded->output, plain->output);
  EXPECT_EQ(padded->tracks, plain->tracks);
  EXPECT_EQ(padded->playlists, plain->playlists);
  EXPECT_EQ(padded->keep_tracks, plain->keep_tracks);
  EXPECT_EQ(padded->tempos, plain->tempos);
}

Fields every_track_field() {
  Fields fields = full_track();
  fields.insert(fields.end(),
                {{"bitrate", "320"}, {"sampleDepth", "24"}, {"rating", "5"}, {"comment", "\"c\""}, {"label", "\"L\""}});
  return fields;
}

// The key search starts after the previous key; any order of keys, unknown
// ones among them, gives the same record.
TEST(Request, TrackKeysInAnyOrderGiveTheSameRecord) {
  auto parsed = [](const Fields& fields) {
    auto request = parse_request(request_with_tracks({fields}));
    EXPECT_TRUE(request) << request.error().message;
    return request ? request->tracks.at(0) : Track{};
  };
  const Fields forward = every_track_field();
  const Track expected = parsed(forward);
  EXPECT_EQ(expected.comment, "c");
  EXPECT_EQ(expected.sample_depth, 24);
  EXPECT_EQ(expected.label, "L");
  Fields reversed(forward.rbegin(), forward.rend());
  EXPECT_EQ(parsed(reversed), expected);
  for (std::size_t shift = 1; shift < forward.size(); shift += 4) {
    Fields rotated = forward;
    std::rotate(rotated.begin(), rotated.begin() + static_cast<std::ptrdiff_t>(shift), rotated.end());
    EXPECT_EQ(parsed(rotated), expected) << shift;
  }
  Fields with_unknown;
  for (const auto& field : forward) {
    with_unknown.push_back(field);
    with_unknown.emplace_back("x" + field.first, "[1]");
  }
  EXPECT_EQ(parsed(with_unknown), expected);
}

TEST(Request, RepeatedTrackKeyIsFoundWhereverTheSearchStarts) {
  for (const auto& [key, value] : every_track_field()) {
    Fields right_after;
    for (const auto& field : every_track_field()) {
      right_after.push_back(field);
      if (field.first == key) right_after.push_back(field);
    }
    Fields at_the_end = every_track_field();
    at_the_end.emplace_back(key, value);
    for (const Fields& fields : {right_after, at_the_end}) {
      EXPECT_EQ(error_of(request_with_tracks({fields})), "tracks[0]: duplicate field `" + key + "`");
    }
  }
}

// The one pass over a build request, against the reader with the document.
// Where the pass reads a request it must give the document's request; where
// it cannot vouch for one (any fault, escaped keys, keys a build does not
// use, numbers too big for the parser) it must read nothing, so that the
// document's reader gives its message.
struct OnePassCase {
  std::string text;
  bool read;  // the one pass reads it
};

class OnePass : public ::testing::TestWithParam<OnePassCase> {};

void expect_same_request(const Request& a, const Request& b) {
  EXPECT_EQ(a.action, b.action);
  EXPECT_EQ(a.input, b.input);
  EXPECT_EQ(a.output, b.output);
  EXPECT_EQ(a.tracks, b.tracks);
  EXPECT_EQ(a.playlists, b.playlists);
  EXPECT_EQ(a.report, b.report);
  EXPECT_EQ(a.keep_tracks, b.keep_tracks);
  EXPECT_EQ(a.keep_playlists, b.keep_playlists);
  EXPECT_EQ(a.tempos, b.tempos);
}

TEST_P(OnePass, ReadsWhatTheDocumentReadsOrNothing) {
  const std::string& text = GetParam().text;
  std::vector<char> padded(text.begin(), text.end());
  padded.resize(text.size() + kRequestPadding);
  const std::optional<Request> fast = read_build_in_one_pass(std::string_view(padded.data(), text.size()));
  ASSERT_EQ(fast.has_value(), GetParam().read) << text;
  auto slow = parse_request_with_document(text);
  if (fast) {
    ASSERT_TRUE(slow) << slow.error().message;
    expect_same_request(*fast, *slow);
  }
  // The public entry gives the document reader's outcome either way.
  auto entry = parse_request(text);
  ASSERT_EQ(entry.has_value(), slow.has_value());
  if (entry) {
    expect_same_request(*entry, *slow);
  } else {
    EXPECT_EQ(entry.error().message, slow.error().message);
  }
}

std::string build_with(const std::string& rest) { return cat(R"({"action":"build",)", rest, "}"); }
std::string build_track(const std::string& key, const std::string& value) {
  return cat(R"({"action":"build","tracks":)", one_item_array(object(with(every_track_field(), key, value))), "}");
}

INSTANTIATE_TEST_SUITE_P(
    Read, OnePass,
    ::testing::Values(
        OnePassCase{request_with_tracks({full_track(), every_track_field()}), true},
        OnePassCase{cat(R"({"output":"/o.pdb","report":"summary","tracks":[],"action":"build","input":null})"), true},
        OnePassCase{build_with(R"("report":"full","playlists":)" + one_item_array(object(full_playlist()))), true},
        OnePassCase{" \n{ \"action\" : \"build\" , \"tracks\" : [ ] }\t\r\n ", true},
        // Escapes in values, unknown keys of every kind, duplicates inside them.
        OnePassCase{build_track("title", R"("a\"b\\c\u00e9\ud83c\udfb5\n\/")"), true},
        OnePassCase{build_track("comment", R"("m\u00fasica, [tab]\t")"), true},
        OnePassCase{build_with(R"("x":{"a":1,"a":[true,false,null,"\u0041",-1.5e-3,{}]},"tracks":[])"), true},
        OnePassCase{build_track("xtra", R"([[[]],{"k":{"k":0}}])"), true},
        // Numbers as the document converts them.
        OnePassCase{build_track("bpm", "18446744073709551615"), true},
        OnePassCase{build_track("bpm", "-9223372036854775808"), true}, OnePassCase{build_track("bpm", "-0"), true},
        OnePassCase{build_track("bpm", "0.1"), true}, OnePassCase{build_track("bpm", "5e-324"), true},
        OnePassCase{build_track("bpm", "1.7976931348623157e308"), true},
        OnePassCase{build_track("bpm", "2.2250738585072011e-308"), true},
        // More digits than a 64-bit integer holds: read as a double, not as 0.
        OnePassCase{build_track("bpm", std::string(115, '3') + "128.5"), true},
        OnePassCase{build_track("fileSize", "4294967295"), true}, OnePassCase{build_track("rating", "255"), true}));

INSTANTIATE_TEST_SUITE_P(
    LeftToTheDocument, OnePass,
    ::testing::Values(
        // Not JSON.
        OnePassCase{build_with(R"("tracks":[])") + " x", false},
        OnePassCase{build_with(R"("tracks":[])") + "{}", false}, OnePassCase{build_with(R"("tracks":[])") + "]", false},
        OnePassCase{build_with(R"("tracks":[],)"), false}, OnePassCase{build_with(R"("tracks":[1,])"), false},
        OnePassCase{build_with(R"("x":[1,,2])"), false}, OnePassCase{build_with(R"("x":{"a" 1})"), false},
        OnePassCase{build_with(R"("x":{"a":1,})"), false}, OnePassCase{build_with(R"("x":tru)"), false},
        OnePassCase{build_with(R"("x":nul)"), false}, OnePassCase{build_with(R"("x":truex)"), false},
        OnePassCase{build_with(R"("x":-)"), false}, OnePassCase{build_with(R"("x":01)"), false},
        OnePassCase{build_with(R"("x":1.e400)"), false}, OnePassCase{build_with(R"("x":"\ud800")"), false},
        OnePassCase{build_with(R"("x":"\q")"), false}, OnePassCase{build_with(R"("x" "tracks":[])"), false},
        OnePassCase{R"({"action":"build")", false}, OnePassCase{R"({"action":"build"}})", false},
        OnePassCase{R"([{"action":"build"}])", false},
        // Faults of fields.
        OnePassCase{build_track("id", "-1"), false}, OnePassCase{build_track("id", "1.0"), false},
        OnePassCase{build_track("id", "1e2"), false}, OnePassCase{build_track("id", "4294967296"), false},
        OnePassCase{build_track("rating", "256"), false}, OnePassCase{build_track("title", "null"), false},
        OnePassCase{build_track("label", "null"), false}, OnePassCase{build_track("bpm", "\"128\""), false},
        OnePassCase{request_with_tracks({without(full_track(), "fileSize")}), false},
        OnePassCase{request_with_tracks({with(full_track(), "title", "\"T\",\"title\":\"U\"")}), false},
        OnePassCase{request_with_playlists({with(full_playlist(), "isFolder", "0")}), false},
        OnePassCase{request_with_playlists({with(full_playlist(), "tracks", "[1,-2]")}), false},
        OnePassCase{build_with(R"("report":"brief")"), false}, OnePassCase{build_with(R"("input":7)"), false},
        OnePassCase{build_with(R"("tracks":[],"tracks":[])"), false}, OnePassCase{build_with(R"("x":1,"x":2)"), false},
        OnePassCase{R"({"action":"build","action":"build"})", false},
        // Requests the pass leaves to the document though they have no fault.
        OnePassCase{R"({"action":"read","tracks":[]})", false}, OnePassCase{R"({"tracks":[]})", false},
        OnePassCase{build_with(R"("keepTracks":[1])"), false}, OnePassCase{build_with(R"("tempos":{"1":2})"), false},
        OnePassCase{build_with(R"("\u0074racks":[])"), false},
        OnePassCase{build_with(R"("x":123456789012345678901234567890)"), false},
        OnePassCase{build_track("bpm", "123456789012345678901234567890"), false},
        OnePassCase{build_with("\"x\":" + std::string(100, '[') + std::string(100, ']')), false}));

}  // namespace
}  // namespace dovrel
