// Hostile requests: deep nesting, huge texts, every escape, surrogates, NUL
// bytes, numbers out of every range, repeated keys at every level, values of
// every wrong kind, text around the object. Each either parses as documented
// or fails with one line that names the problem; none crashes, and stored
// text is always valid UTF-8.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "actions.h"
#include "build.h"
#include "cli_runner_test_util.h"
#include "output_line_test_util.h"
#include "report.h"
#include "request.h"
#include "scratch_dir_test_util.h"

namespace dovrel {
namespace {

// The parts joined (GCC 12 misjudges literal + temporary in optimised builds).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.append(piece);
  return out;
}

// `depth` arrays nested around `inner`.
std::string nested_arrays(std::size_t depth, std::string_view inner = "") {
  return cat(std::string(depth, '['), inner, std::string(depth, ']'));
}
// `depth` objects nested through the key "x" around `inner`.
std::string nested_objects(std::size_t depth, std::string_view inner = "0") {
  return cat(repeat(R"({"x":)", depth), inner, std::string(depth, '}'));
}

constexpr char kTrack[] =
    R"("id":7,"title":"T","artist":"A","album":"B","genre":"G","key":"Am","audioPath":"/a.mp3",)"
    R"("analysisPath":"/a.dat","artworkPath":"","bpm":128,"duration":300,"sampleRate":44100,"fileSize":1000)";
constexpr char kPlaylist[] = R"("id":3,"name":"P","parentId":0,"isFolder":false,"tracks":[7])";

// The fields of kTrack with the value of `key` replaced by `value` (raw
// JSON), or with `key` added when kTrack lacks it.
std::string track_fields_with(std::string_view key, std::string_view value) {
  std::string fields = kTrack;
  const std::string quoted = cat("\"", key, "\":");
  const auto at = fields.find(quoted);
  if (at == std::string::npos) return cat(fields, ",", quoted, value);
  const auto start = at + quoted.size();
  const auto end = fields.find(",\"", start);
  fields.replace(start, (end == std::string::npos ? fields.size() : end) - start, value);
  return fields;
}

std::string with_track(std::string_view extra) { return cat(R"({"action":"build","tracks":[{)", kTrack, extra, "}]}"); }
std::string with_playlist(std::string_view extra) {
  return cat(R"({"action":"build","tracks":[{)", kTrack, R"(}],"playlists":[{)", kPlaylist, extra, "}]}");
}

std::string error_of(std::string_view text) {
  auto request = parse_request(text);
  return request ? "ok" : request.error().message;
}

void expect_one_line(const std::string& message) {
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
  EXPECT_TRUE(simdjson::validate_utf8(message.data(), message.size())) << message;
}

// ---------------------------------------------------------------------------
// Texts and the exact outcome of parsing them ("ok" for success).

struct Case {
  std::string name;
  std::string text;
  std::string outcome;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HostileText : public ::testing::TestWithParam<Case> {};

TEST_P(HostileText, ParsesOrNamesTheProblem) {
  const std::string outcome = error_of(GetParam().text);
  EXPECT_EQ(outcome, GetParam().outcome);
  if (outcome != "ok") expect_one_line(outcome);
}

// Resident bytes a run may take per byte of request, beyond its own start.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kRequestMemoryFactor = 40;  // shadow memory and redzones on top
#else
constexpr std::size_t kRequestMemoryFactor = 24;
#endif

// The message for nesting beyond the parser's 1024 levels, at the bracket
// that opens level 1025.
std::string too_deep(std::size_t at) {
  return "invalid JSON: objects and arrays nested deeper than 1024 levels at byte " + std::to_string(at);
}
constexpr std::size_t kDepthLimit = 1024;
// Length of {"action":"read","x": before a value nested in an unknown key.
constexpr std::size_t kUnknownKeyPrefix = 21;

INSTANTIATE_TEST_SUITE_P(
    Nesting, HostileText,
    ::testing::Values(
        Case{"ArraysOf10InAnUnknownKey", cat(R"({"action":"read","x":)", nested_arrays(10), "}"), "ok"},
        Case{"ArraysOf1000InAnUnknownKey", cat(R"({"action":"read","x":)", nested_arrays(1000), "}"), "ok"},
        // The object itself is the first level.
        Case{"ArraysToTheLimitInAnUnknownKey", cat(R"({"action":"read","x":)", nested_arrays(kDepthLimit - 1), "}"),
             "ok"},
        Case{"ArraysOneBeyondTheLimitInAnUnknownKey", cat(R"({"action":"read","x":)", nested_arrays(kDepthLimit), "}"),
             too_deep(kUnknownKeyPrefix + kDepthLimit - 1)},
        Case{"ArraysOf100000InAnUnknownKey", cat(R"({"action":"read","x":)", nested_arrays(100000), "}"),
             too_deep(kUnknownKeyPrefix + kDepthLimit - 1)},
        Case{"ObjectsOf1000InAnUnknownKey", cat(R"({"action":"read","x":)", nested_objects(1000), "}"), "ok"},
        Case{"ObjectsOf100000InAnUnknownKey", cat(R"({"action":"read","x":)", nested_objects(100000), "}"),
             too_deep(kUnknownKeyPrefix + 5 * (kDepthLimit - 1))},
        Case{"ArraysOf10AtTheTop", nested_arrays(10), "expected a JSON object, got an array"},
        Case{"ArraysOf100000AtTheTop", nested_arrays(100000), too_deep(kDepthLimit)},
        Case{"ObjectsOf100000AtTheTop", nested_objects(100000), too_deep(5 * kDepthLimit)},
        Case{"BracketsInAStringDoNotCount",
             cat(R"({"action":"read","x":")", std::string(5000, '['), R"(","y":)", nested_arrays(kDepthLimit), "}"),
             too_deep(kUnknownKeyPrefix + 1 + 5000 + 6 + kDepthLimit - 1)},
        Case{"ArraysAsATrack", cat(R"({"action":"build","tracks":)", nested_arrays(10), "}"),
             "tracks[0]: expected a JSON object, got an array"},
        Case{"ArraysOf1000AsATrack", cat(R"({"action":"build","tracks":)", nested_arrays(1000), "}"),
             "tracks[0]: expected a JSON object, got an array"},
        Case{"ArraysAsPlaylistTracks", with_playlist(cat(R"(,"x":)", nested_arrays(1000))), "ok"},
        Case{"ArraysAsKeepTracks", cat(R"({"action":"patch","keepTracks":)", nested_arrays(10), "}"),
             "keepTracks[0]: expected an unsigned 32-bit integer, got an array"},
        Case{"UnclosedArrays", cat(R"({"action":"read","x":)", std::string(100000, '[')),
             "invalid JSON: the request ends before all its objects and arrays are closed"},
        Case{"UnclosedString", R"({"action":"read)", "invalid JSON: the request ends inside a string"}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Surrogates, HostileText,
    ::testing::Values(
        Case{"LoneHigh", R"({"action":"\ud800"})", "invalid JSON: unpaired surrogate \\ud800 at byte 11"},
        Case{"LoneLow", R"({"action":"read","x":"ab\udc00"})", "invalid JSON: unpaired surrogate \\udc00 at byte 24"},
        Case{"HighThenLetter", R"({"action":"\ud800\u0041"})", "invalid JSON: unpaired surrogate \\ud800 at byte 11"},
        Case{"HighThenHigh", R"({"action":"\ud83c\ud83c"})", "invalid JSON: unpaired surrogate \\ud83c at byte 11"},
        Case{"LowThenHigh", R"({"action":"\udc00\ud800"})", "invalid JSON: unpaired surrogate \\udc00 at byte 11"},
        Case{"HighAtTheEnd", R"({"action":"x\uDBFF"})", "invalid JSON: unpaired surrogate \\uDBFF at byte 12"},
        Case{"InAKey", R"({"action":"read","\udfff":1})", "invalid JSON: unpaired surrogate \\udfff at byte 18"},
        Case{"InATempoKey", R"({"action":"patch","tempos":{"\ud800":1}})",
             "invalid JSON: unpaired surrogate \\ud800 at byte 29"},
        Case{"Pair", R"({"action":"\ud83c\udfa7"})", "ok"},
        Case{"BadHex", R"({"action":"\u12G4"})", "invalid JSON: invalid escape \\u12G at byte 11"},
        Case{"ShortHex", R"({"action":"\u12"})", "invalid JSON: invalid escape \\u12 at byte 11"},
        Case{"NotAnEscape", R"({"action":"\x41"})", "invalid JSON: invalid escape \\x at byte 11"},
        Case{"EscapedApostrophe", R"({"action":"\'"})", "invalid JSON: invalid escape \\' at byte 11"}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Numbers, HostileText,
    ::testing::Values(
        // Valid JSON beyond the parser's own range: ignored where ignored, the
        // usual error in an integer field, named as out of range as "bpm".
        Case{"HugeExponentInAnUnknownKey", R"({"action":"read","x":1e400})", "ok"},
        Case{"ThirtyDigitIntegerInAnUnknownKey", R"({"action":"read","x":[123456789012345678901234567890]})", "ok"},
        Case{"HugeNegativeInAnUnknownKeyOfATrack", with_track(R"(,"x":-1e400)"), "ok"},
        Case{"HugeExponentAsBpm", cat(R"({"action":"build","tracks":[{)", track_fields_with("bpm", "1e400"), "}]}"),
             "tracks[0].bpm: the number 1e400 is out of range"},
        Case{"FourHundredDigitIntegerAsBpm",
             cat(R"({"action":"build","tracks":[{)", track_fields_with("bpm", cat("1", std::string(400, '0'))), "}]}"),
             cat("tracks[0].bpm: the number 1", std::string(400, '0'), " is out of range")},
        Case{"ThirtyDigitIntegerAsBpm",
             cat(R"({"action":"build","tracks":[{)", track_fields_with("bpm", "123456789012345678901234567890"), "}]}"),
             "ok"},
        Case{"ThirtyDigitId", R"({"action":"patch","keepTracks":[123456789012345678901234567890]})",
             "keepTracks[0]: expected an unsigned 32-bit integer, got 123456789012345678901234567890"},
        Case{"TwentyDigitIdBeyondU64", R"({"action":"patch","keepTracks":[18446744073709551616]})",
             "keepTracks[0]: expected an unsigned 32-bit integer, got 18446744073709551616"},
        Case{"BeyondMostNegativeI64AsDuration",
             cat(R"({"action":"build","tracks":[{)", track_fields_with("duration", "-9223372036854775809"), "}]}"),
             "tracks[0].duration: expected an unsigned 16-bit integer, got -9223372036854775809"},
        Case{"HugeExponentAsTempo", R"({"action":"patch","tempos":{"1":1E+400}})",
             "tempos[\"1\"]: expected an unsigned 32-bit integer, got 1E+400"},
        Case{"HugeExponentAsAString", R"({"action":1e400})", "action: expected a string, got 1e400"},
        // A big number does not excuse a malformed one elsewhere.
        Case{"BigNumberAndALeadingZero", R"({"action":"read","x":1e400,"y":01})",
             "invalid JSON: Problem while parsing a number"},
        Case{"LargestU64", R"({"action":"patch","keepTracks":[18446744073709551615]})",
             "keepTracks[0]: expected an unsigned 32-bit integer, got 18446744073709551615"},
        Case{"MostNegativeI64", R"({"action":"patch","keepTracks":[-9223372036854775808]})",
             "keepTracks[0]: expected an unsigned 32-bit integer, got -9223372036854775808"},
        Case{"MinusZero", R"({"action":"patch","keepTracks":[-0]})", "ok"},
        Case{"ZeroPointZero", R"({"action":"patch","keepTracks":[0.0]})",
             "keepTracks[0]: expected an unsigned 32-bit integer, got 0.0"},
        Case{"OnePointZero", R"({"action":"patch","tempos":{"1":1.0}})",
             "tempos[\"1\"]: expected an unsigned 32-bit integer, got 1.0"},
        Case{"MinusZeroPointZero", R"({"action":"patch","keepPlaylists":[-0.0]})",
             "keepPlaylists[0]: expected an unsigned 32-bit integer, got -0.0"},
        Case{"ExponentForAnInteger",
             cat(R"({"action":"build","tracks":[{)", track_fields_with("duration", "3e2"), "}]}"),
             "tracks[0].duration: expected an unsigned 16-bit integer, got 300.0"},
        Case{"LeadingZero", R"({"action":"patch","keepTracks":[01]})", "invalid JSON: Problem while parsing a number"},
        Case{"PlusSign", R"({"action":"patch","keepTracks":[+1]})",
             "invalid JSON: The JSON document has an improper structure: missing or superfluous commas, braces, "
             "missing keys, etc."},
        Case{"NotANumber", R"({"action":"patch","keepTracks":[NaN]})",
             "invalid JSON: The JSON document has an improper structure: missing or superfluous commas, braces, "
             "missing keys, etc."}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Duplicates, HostileText,
    ::testing::Values(
        Case{"Top", R"({"action":"read","input":"a","input":"a"})", "duplicate field `input`"},
        Case{"TopUnknown", R"({"action":"read","x":1,"x":1})", "duplicate field `x`"},
        Case{"Track", with_track(R"(,"bpm":1)"), "tracks[0]: duplicate field `bpm`"},
        Case{"TrackOptional", with_track(R"(,"comment":"","comment":"")"), "tracks[0]: duplicate field `comment`"},
        Case{"Playlist", with_playlist(R"(,"isFolder":true)"), "playlists[0]: duplicate field `isFolder`"},
        Case{"KeyWithAnEscape", R"({"action":"read","a\u0000b":1,"a\u0000b":2})", "duplicate field `a\\u0000b`"},
        Case{"SameKeyWrittenTwoWays", R"({"action":"read","\u0061ction":"read"})", "duplicate field `action`"},
        // A map: the later value wins.
        Case{"Tempos", R"({"action":"patch","tempos":{"7":1,"7":2}})", "ok"},
        // Ignored values are ignored whole, repeated keys inside them too.
        Case{"InsideAnUnknownObject", R"({"action":"read","x":{"a":1,"a":{"b":1,"b":2}}})", "ok"},
        Case{"InsideAnUnknownKeyOfATrack", with_track(R"(,"x":{"a":1,"a":2})"), "ok"}),
    [](const auto& test) { return test.param.name; });

const std::string kImproperStructure =
    "invalid JSON: The JSON document has an improper structure: missing or superfluous commas, braces, missing "
    "keys, etc.";

INSTANTIATE_TEST_SUITE_P(
    Surroundings, HostileText,
    ::testing::Values(Case{"EmptyObject", "{}", "missing field `action`"},
                      Case{"OnlyWhitespace", " \n\t ", "invalid JSON: Empty: no JSON found"},
                      Case{"ByteOrderMark", "\xEF\xBB\xBF{\"action\":\"read\"}",
                           "invalid JSON: a byte order mark (U+FEFF) precedes the request"},
                      Case{"ByteOrderMarkAfterSpace", " \xEF\xBB\xBF{\"action\":\"read\"}", kImproperStructure},
                      // Text after the object: the parser's own words.
                      Case{"TrailingWord", R"({"action":"read"} x)", kImproperStructure},
                      Case{"SecondObject", "{\"action\":\"read\"}\n{}", kImproperStructure},
                      Case{"TrailingNul", std::string("{\"action\":\"read\"}\0", 18), kImproperStructure},
                      Case{"TrailingComma", R"({"action":"read"},)", kImproperStructure},
                      Case{"TrailingBrace", R"({"action":"read"}})", kImproperStructure},
                      Case{"TrailingBadEscape", R"({"action":"read"} "\x")", kImproperStructure},
                      Case{"BrokenThenTrailing", R"({"action":"read",} x)", kImproperStructure},
                      Case{"Array", "[]", "expected a JSON object, got an array"},
                      Case{"String", R"("read")", "expected a JSON object, got \"read\""},
                      Case{"Number", "5", "expected a JSON object, got 5"},
                      Case{"True", "true", "expected a JSON object, got true"},
                      Case{"Null", "null", "expected a JSON object, got null"}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Every field with a value of every kind: the right kinds parse, the others
// fail naming the place, what was expected and what came.

struct Field {
  std::string place;                                     // as the message names it
  std::string expected;                                  // as the message names it
  std::vector<std::string> accepted;                     // the kinds (below) that parse
  std::function<std::string(std::string_view)> request;  // the request with this value in the field
};

struct Kind {
  std::string name;
  std::string json;
  std::string described;
};

const std::vector<Kind> kKinds = {{"String", R"("x")", R"("x")"}, {"Number", "5", "5"},
                                  {"Bool", "true", "true"},       {"Null", "null", "null"},
                                  {"Array", "[]", "an array"},    {"Object", "{}", "an object"}};

std::vector<Field> all_fields() {
  std::vector<Field> fields;
  auto top = [](std::string key) {
    return [key](std::string_view v) { return cat(R"({"action":"read",")", key, "\":", v, "}"); };
  };
  fields.push_back({"action", "a string", {"String"}, [](std::string_view v) { return cat(R"({"action":)", v, "}"); }});
  fields.push_back({"input", "a string", {"String", "Null"}, top("input")});
  fields.push_back({"output", "a string", {"String", "Null"}, top("output")});
  fields.push_back({"tracks", "an array", {"Array"}, top("tracks")});
  fields.push_back({"playlists", "an array", {"Array"}, top("playlists")});
  fields.push_back({"keepTracks", "an array", {"Array", "Null"}, top("keepTracks")});
  fields.push_back({"keepPlaylists", "an array", {"Array", "Null"}, top("keepPlaylists")});
  fields.push_back({"tempos", "a JSON object", {"Object"}, top("tempos")});
  fields.push_back({"tracks[0]", "a JSON object", {"Object"}, [](std::string_view v) {
                      return cat(R"({"action":"read","tracks":[)", v, "]}");
                    }});
  fields.push_back({"playlists[0]", "a JSON object", {"Object"}, [](std::string_view v) {
                      return cat(R"({"action":"read","playlists":[)", v, "]}");
                    }});
  fields.push_back({"keepTracks[0]", "an unsigned 32-bit integer", {"Number"}, [](std::string_view v) {
                      return cat(R"({"action":"read","keepTracks":[)", v, "]}");
                    }});
  fields.push_back({"tempos[\"1\"]", "an unsigned 32-bit integer", {"Number"}, [](std::string_view v) {
                      return cat(R"({"action":"read","tempos":{"1":)", v, "}}");
                    }});
  const std::vector<std::pair<std::string, std::string>> track_fields = {{"id", "an unsigned 32-bit integer"},
                                                                         {"title", "a string"},
                                                                         {"artist", "a string"},
                                                                         {"album", "a string"},
                                                                         {"genre", "a string"},
                                                                         {"key", "a string"},
                                                                         {"audioPath", "a string"},
                                                                         {"analysisPath", "a string"},
                                                                         {"artworkPath", "a string"},
                                                                         {"bpm", "a number"},
                                                                         {"duration", "an unsigned 16-bit integer"},
                                                                         {"sampleRate", "an unsigned 32-bit integer"},
                                                                         {"fileSize", "an unsigned 32-bit integer"},
                                                                         {"bitrate", "an unsigned 32-bit integer"},
                                                                         {"sampleDepth", "an unsigned 16-bit integer"},
                                                                         {"rating", "an unsigned 8-bit integer"},
                                                                         {"comment", "a string"}};
  for (const auto& [key, expected] : track_fields) {
    const std::vector<std::string> accepted{expected.starts_with("a string") ? "String" : "Number"};
    fields.push_back({"tracks[0]." + key, expected, accepted, [key](std::string_view v) {
                        return cat(R"({"action":"read","tracks":[{)", track_fields_with(key, v), "}]}");
                      }});
  }
  const std::vector<std::pair<std::string, std::string>> playlist_fields = {{"id", "an unsigned 32-bit integer"},
                                                                            {"name", "a string"},
                                                                            {"parentId", "an unsigned 32-bit integer"},
                                                                            {"isFolder", "true or false"},
                                                                            {"tracks", "an array"}};
  for (const auto& [key, expected] : playlist_fields) {
    const std::vector<std::string> accepted{expected == "a string"        ? "String"
                                            : expected == "an array"      ? "Array"
                                            : expected == "true or false" ? "Bool"
                                                                          : "Number"};
    fields.push_back({"playlists[0]." + key, expected, accepted, [key](std::string_view v) {
                        return cat(R"({"action":"read","playlists":[{")", key, "\":", v, "}]}");
                      }});
  }
  return fields;
}

TEST(HostileRequest, EveryFieldRefusesEveryWrongKind) {
  std::size_t refused = 0;
  for (const Field& field : all_fields()) {
    for (const Kind& kind : kKinds) {
      const std::string text = field.request(kind.json);
      const std::string outcome = error_of(text);
      const bool accepted = std::find(field.accepted.begin(), field.accepted.end(), kind.name) != field.accepted.end();
      if (accepted) {
        // Parses, or fails for a missing field, never for this value.
        EXPECT_FALSE(outcome.starts_with(field.place + ": expected")) << text << " -> " << outcome;
        continue;
      }
      ++refused;
      EXPECT_EQ(outcome, field.place + ": expected " + field.expected + ", got " + kind.described) << text;
    }
  }
  EXPECT_GT(refused, 150u);
}

// ---------------------------------------------------------------------------
// Big texts: they parse in time and memory in proportion to their size.

// A big integer as "bpm" is the nearest double; a number in the request
// that happens to equal a stand-in for a big number keeps its own value.
TEST(HostileRequest, BigIntegerBpmIsTheNearestDouble) {
  auto request = parse_request(
      cat(R"({"action":"build","tracks":[{)", track_fields_with("bpm", "123456789012345678901234567890"), "}]}"));
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->tracks[0].bpm, 123456789012345678901234567890.0);
  char stand_in[32];
  auto end = std::to_chars(stand_in, stand_in + sizeof stand_in, -0x1.5a5a5a5a5a5a5p-1000).ptr;
  auto same = parse_request(cat(R"({"action":"build","x":1e999,"tracks":[{)",
                                track_fields_with("bpm", std::string_view(stand_in, end)), "}]}"));
  ASSERT_TRUE(same) << same.error().message;
  EXPECT_EQ(same->tracks[0].bpm, -0x1.5a5a5a5a5a5a5p-1000);
}

TEST(HostileRequest, FiftyMegabyteStringInAnUnknownKeyIsIgnored) {
  const std::string text = cat(R"({"action":"read","input":"/x","big":")", std::string(50u << 20, 'a'), R"("})");
  auto request = parse_request(text);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->input, "/x");
}

TEST(HostileRequest, ManyUnknownKeysAreIgnoredAndARepeatAmongThemFound) {
  std::string keys;
  for (int i = 0; i < 200000; ++i) keys += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
  auto request = parse_request(cat(R"({"action":"read")", keys, "}"));
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(error_of(cat(R"({"action":"read")", keys, R"(,"k199999":0})")), "duplicate field `k199999`");
}

TEST(HostileRequest, HugeArraysParse) {
  const std::string ids = cat(R"({"action":"patch","keepTracks":[)", repeat("4294967295,", 1u << 20), "0]}");
  auto request = parse_request(ids);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->keep_tracks->size(), (1u << 20) + 1);
  // A million empty tracks fail at the first, naming its first missing field.
  EXPECT_EQ(error_of(cat(R"({"action":"build","tracks":[)", repeat("{},", 1u << 20), "{}]}")),
            "tracks[0]: missing field `id`");
}

// ---------------------------------------------------------------------------
// Escapes and NUL bytes: text comes through build and read exactly.

TEST(HostileRequest, EveryEscapeRoundTripsThroughBuildAndRead) {
  const std::string escaped = R"(q\" b\\ s\/ \b\f\n\r\t n\u0000 e\u00e9 \u0001\u001f\u007f h\ud83c\udfa7)";
  const std::string decoded =
      "q\" b\\ s/ \b\f\n\r\t n" + std::string(1, '\0') + " e\xc3\xa9 \x01\x1f\x7f h\xf0\x9f\x8e\xa7";
  // What the report writes: only what JSON requires is escaped, in lowercase.
  const std::string reported = R"(q\" b\\ s/ \b\f\n\r\t n\u0000 e)"
                               "\xc3\xa9"
                               R"( \u0001\u001f)"
                               "\x7f h\xf0\x9f\x8e\xa7";
  std::string text = with_playlist("");
  for (const char* key : {R"("title":"T")", R"("artist":"A")", R"("genre":"G")"}) {
    std::string field(key);
    text.replace(text.find(field), field.size(), field.substr(0, field.find(':') + 2) + escaped + "\"");
  }
  text.replace(text.find(R"("name":"P")"), 10, std::string(R"("name":")") + escaped + "\"");
  auto request = parse_request(text);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->tracks[0].title, decoded);
  EXPECT_EQ(request->playlists[0].name, decoded);
  auto image = build(*request);
  ASSERT_TRUE(image) << image.error().message;
  auto report = joined(read(*image));
  ASSERT_TRUE(report) << report.error().message;
  for (const char* key : {"\"title\":\"", "\"artist\":\"", "\"genre\":\"", "\"name\":\""}) {
    EXPECT_NE(report->find(key + reported + "\""), std::string::npos) << key << " in " << *report;
  }
  EXPECT_TRUE(simdjson::validate_utf8(report->data(), report->size()));
}

TEST(HostileRequest, NulInAPathIsKeptAndRefusedByTheFileSystemStep) {
  auto request = parse_request(R"({"action":"read","input":"/tmp/a\u0000b","output":"o\u0000"})");
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(*request->input, std::string("/tmp/a\0b", 8));
  EXPECT_EQ(*request->output, std::string("o\0", 2));
  auto run = run_action(*request);
  ASSERT_FALSE(run);
  EXPECT_EQ(run.error().message, "file path contains a NUL byte");
}

// ---------------------------------------------------------------------------
// Through the real binary.

class HostileRequestCommand : public ::testing::Test {
 protected:
  scratch::ScratchDir scratch_;
};

TEST_F(HostileRequestCommand, FailsWithOneLineAndWritesNothing) {
  const std::string file = scratch_.path("a.pdb");
  const std::string start = cat(R"({"action":"build","output":")", file, "\"");
  const std::string trailing = cat(start, R"(} {"action":"build"})");
  const std::string surrogate = cat(start, R"(,"tracks":[{"title":"\udc00"}]})");
  struct Run {
    std::string text;
    std::string message;
  };
  for (const Run& r : std::vector<Run>{
           {cat(start, R"(,"x":)", nested_arrays(100000), "}"), too_deep(start.size() + 5 + kDepthLimit - 1)},
           {cat("\xEF\xBB\xBF", start, "}"), "invalid JSON: a byte order mark (U+FEFF) precedes the request"},
           {trailing, kImproperStructure},
           {surrogate,
            cat("invalid JSON: unpaired surrogate \\udc00 at byte ", std::to_string(surrogate.find("\\udc00")))},
           {cat(R"({"action":"build","output":")", file, R"(\u0000"})"), "file path contains a NUL byte"},
           {cat(R"({"action":"read","input":")", file, R"(\u0000"})"), "file path contains a NUL byte"},
           {cat(start, R"(,"tracks":[{)", track_fields_with("id", "1e400"), "}]}"),
            "tracks[0].id: expected an unsigned 32-bit integer, got 1e400"},
       }) {
    cli_runner::expect_failure(cli_runner::run_dovrel(r.text), r.message);
  }
  EXPECT_TRUE(scratch_.list().empty());
}

TEST_F(HostileRequestCommand, NamesWithNulRoundTrip) {
  const std::string file = scratch_.path("a.pdb");
  std::string track = kTrack;
  track.replace(track.find(R"("title":"T")"), 11, R"("title":"a\u0000b")");
  auto run = cli_runner::run_dovrel(cat(R"({"action":"build","output":")", file, R"(","tracks":[{)", track, "}]}"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(R"("title":"a\u0000b")"), std::string::npos) << run.out;
  auto again = cli_runner::run_dovrel(cat(R"({"action":"read","input":")", file, R"("})"));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, run.out);
}

// The request's text, the parser's tape and the records take a small
// multiple of the request's size, whatever it holds. (The parser's tape
// takes 8 bytes per value and its index 4 per structural character: a list
// of ids, two bytes per value, is the worst.)
TEST_F(HostileRequestCommand, MemoryStaysInProportionToTheRequest) {
  auto baseline = cli_runner::run_dovrel(R"({"action":"read"})");
  cli_runner::expect_failure(baseline, "Missing input");
  // The run's own start, counted generously: the baseline run's peak.
  const long own = baseline.peak_rss_kib;
  struct Big {
    std::string name;
    std::function<std::string()> text;
    std::string message;
  };
  for (const Big& b : std::vector<Big>{
           {"string", [] { return cat(R"({"action":"read","x":")", std::string(20u << 20, 'a'), R"("})"); },
            "Missing input"},
           {"ids", [] { return cat(R"({"action":"read","keepTracks":[)", repeat("1,", 5u << 20), "1]}"); },
            "Missing input"},
           {"empty tracks", [] { return cat(R"({"action":"read","tracks":[)", repeat("{},", 3u << 20), "{}]}"); },
            "tracks[0]: missing field `id`"},
           {"empty playlists", [] { return cat(R"({"action":"read","playlists":[)", repeat("{},", 3u << 20), "{}]}"); },
            "playlists[0]: missing field `id`"},
       }) {
    const std::string text = b.text();
    const long limit_kib =
        cli_runner::current_rss_kib() + own + static_cast<long>(kRequestMemoryFactor * text.size() / 1024);
    auto run = cli_runner::run_dovrel(text);
    cli_runner::expect_failure(run, b.message);
    EXPECT_LE(run.peak_rss_kib, limit_kib) << b.name << ": " << text.size() << " bytes";
  }
}

}  // namespace
}  // namespace dovrel
