// Fuzz target: the "build" action on structured requests.
//
// The fuzz bytes drive a FuzzedDataProvider that makes a request: tracks with
// ids from a small range (so that duplicates happen), names from small pools
// or random text (non-ASCII and long included), audio paths with supported
// and unsupported extensions, artwork paths of the critical lengths (126,
// 127), non-ASCII or empty; playlists and folders with random parents (0,
// missing, cycles) and track lists. Now and then many long artwork paths, so
// that the artwork rows overflow a page.
//
// When build succeeds, read accepts the image and its report gives back the
// request: every track in request order with all its fields (the tempo as
// rounded), and every playlist with its tracks in order.
#include <fuzzer/FuzzedDataProvider.h>
#include <simdjson.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "build.h"
#include "format/strings.h"
#include "report.h"
#include "report_check.h"
#include "request.h"

namespace {

using dovrel::fuzz::check;

constexpr std::uint32_t kIdRange = 40;
constexpr std::size_t kMaxTracks = 48;
constexpr std::size_t kMaxPlaylists = 12;
constexpr std::size_t kMaxPlaylistTracks = 6;
constexpr std::size_t kMaxRandomText = 300;

const std::array<std::string_view, 10> kNames = {
    "",   "A",   "Nadia Okonkwo", "Lagos Nights", "Afro House",
    "Am", "F#m", "Ünïcödé",       "日本語の名前", "emoji \xF0\x9F\x8E\xB5"};
const std::array<std::string_view, 17> kExtensions = {".mp3",
                                                      ".MP3",
                                                      ".m4a",
                                                      ".aac",
                                                      ".flac",
                                                      ".Flac",
                                                      ".alac",
                                                      ".wav",
                                                      ".aif",
                                                      ".AIFF",
                                                      ".ogg",
                                                      ".",
                                                      "",
                                                      ".mp3.ogg",
                                                      ".mp3/x",
                                                      "\xC3\xA9.wav",
                                                      ".m\xC3\xA4"
                                                      "a"};

// Text that a parsed request could hold: any bytes made valid UTF-8.
std::string random_text(FuzzedDataProvider& in, std::size_t max_length) {
  std::string raw = in.ConsumeRandomLengthString(max_length);
  std::string text;
  vantrel_pdb::append_utf8_with_replacement(text, raw);
  return text;
}

std::string name(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return random_text(in, kMaxRandomText);
    case 1: return std::string(in.ConsumeIntegralInRange<std::size_t>(120, 140), 'n');
    default: return std::string(kNames[in.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1)]);
  }
}

std::string audio_path(FuzzedDataProvider& in) {
  std::string path = in.ConsumeBool() ? "/music/" + random_text(in, 40) : std::string("/music/track");
  if (in.ConsumeBool()) path.clear();
  path += kExtensions[in.ConsumeIntegralInRange<std::size_t>(0, kExtensions.size() - 1)];
  return path;
}

std::string artwork_path(FuzzedDataProvider& in, bool long_paths) {
  if (long_paths) return std::string(in.ConsumeIntegralInRange<std::size_t>(100, 126), 'a');
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: return "/art/a.jpg";
    case 1: return std::string(126, 'a');
    case 2: return std::string(127, 'a');
    case 3: return "/art/\xC3\xA9.jpg";
    case 4: return random_text(in, 140);
    default: return "";
  }
}

std::uint32_t id(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, kIdRange) : in.ConsumeIntegral<std::uint32_t>();
}

dovrel::Request request_from(FuzzedDataProvider& in) {
  dovrel::Request request;
  request.action = "build";
  const bool long_artwork = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  const std::size_t track_count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxTracks);
  for (std::size_t k = 0; k < track_count && in.remaining_bytes() > 0; ++k) {
    dovrel::Track t;
    t.id = long_artwork ? static_cast<std::uint32_t>(k + 1) : id(in);
    t.title = name(in);
    t.artist = name(in);
    t.album = name(in);
    t.genre = name(in);
    t.key = name(in);
    t.audio_path = audio_path(in);
    t.analysis_path = in.ConsumeBool() ? random_text(in, 60) : "/scans/a.dat";
    t.artwork_path = artwork_path(in, long_artwork);
    t.bpm = in.ConsumeBool() ? in.ConsumeFloatingPoint<double>() : in.ConsumeIntegralInRange<int>(0, 20000) / 100.0;
    t.duration = in.ConsumeIntegral<std::uint16_t>();
    t.sample_rate = in.ConsumeIntegral<std::uint32_t>();
    t.file_size = in.ConsumeIntegral<std::uint32_t>();
    t.bitrate = in.ConsumeIntegral<std::uint32_t>();
    t.sample_depth = in.ConsumeIntegral<std::uint16_t>();
    t.rating = in.ConsumeIntegral<std::uint8_t>();
    t.comment = in.ConsumeBool() ? random_text(in, kMaxRandomText) : "";
    request.tracks.push_back(std::move(t));
  }
  const std::size_t playlist_count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPlaylists);
  for (std::size_t k = 0; k < playlist_count && in.remaining_bytes() > 0; ++k) {
    dovrel::Playlist p;
    p.id = in.ConsumeIntegralInRange<std::uint32_t>(0, 15);
    p.name = name(in);
    p.parent_id = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<std::uint32_t>(0, 15);
    p.is_folder = in.ConsumeBool();
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPlaylistTracks);
    for (std::size_t j = 0; j < n; ++j) {
      // Mostly ids of request tracks, sometimes any small id.
      if (!request.tracks.empty() && in.ConsumeBool()) {
        p.tracks.push_back(request.tracks[in.ConsumeIntegralInRange<std::size_t>(0, request.tracks.size() - 1)].id);
      } else {
        p.tracks.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, kIdRange));
      }
    }
    request.playlists.push_back(std::move(p));
  }
  return request;
}

std::string_view text(simdjson::dom::element object, const char* key) {
  std::string_view s;
  check(!object[key].get_string().get(s), "report field is not a string", key);
  return s;
}

std::uint64_t number(simdjson::dom::element object, const char* key) {
  std::uint64_t v = 0;
  check(!object[key].get_uint64().get(v), "report field is not an unsigned integer", key);
  return v;
}

void check_track(simdjson::dom::element got, const dovrel::Track& want) {
  check(number(got, "id") == want.id, "built track has another id");
  check(text(got, "title") == want.title, "built track has another title");
  check(text(got, "artist") == want.artist, "built track has another artist");
  check(text(got, "album") == want.album, "built track has another album");
  check(text(got, "genre") == want.genre, "built track has another genre");
  check(text(got, "key") == want.key, "built track has another key");
  check(text(got, "audioPath") == want.audio_path, "built track has another audioPath");
  check(text(got, "analysisPath") == want.analysis_path, "built track has another analysisPath");
  check(text(got, "artworkPath") == want.artwork_path, "built track has another artworkPath");
  check(text(got, "comment") == want.comment, "built track has another comment");
  check(number(got, "duration") == want.duration, "built track has another duration");
  check(number(got, "sampleRate") == want.sample_rate, "built track has another sampleRate");
  check(number(got, "fileSize") == want.file_size, "built track has another fileSize");
  check(number(got, "bitrate") == want.bitrate, "built track has another bitrate");
  check(number(got, "sampleDepth") == want.sample_depth, "built track has another sampleDepth");
  check(number(got, "rating") == want.rating, "built track has another rating");
  double bpm = -1;
  check(!got["bpm"].get_double().get(bpm), "bpm is not a number");
  check(bpm == dovrel::tempo_from_bpm(want.bpm) / 100.0, "built track has another bpm");
}

void check_report(const std::string& line, const dovrel::Request& request) {
  static simdjson::dom::parser parser;
  auto object = dovrel::fuzz::check_report_line(parser, line);
  auto tracks = object["tracks"].get_array().value_unsafe();
  check(tracks.size() == request.tracks.size(), "report of a build lists another number of tracks");
  std::size_t k = 0;
  for (simdjson::dom::element track : tracks) check_track(track, request.tracks[k++]);

  auto playlists = object["playlists"].get_array().value_unsafe();
  check(playlists.size() == request.playlists.size(), "report of a build lists another number of playlists");
  std::unordered_map<std::uint32_t, const dovrel::Playlist*> wanted;
  for (const auto& p : request.playlists) wanted.emplace(p.id, &p);
  for (simdjson::dom::element playlist : playlists) {
    auto found = wanted.find(static_cast<std::uint32_t>(number(playlist, "id")));
    check(found != wanted.end(), "report of a build lists a playlist that was not requested");
    const dovrel::Playlist& want = *found->second;
    check(text(playlist, "name") == want.name, "built playlist has another name");
    check(number(playlist, "parentId") == want.parent_id, "built playlist has another parent");
    bool is_folder = false;
    check(!playlist["isFolder"].get_bool().get(is_folder) && is_folder == want.is_folder, "built playlist isFolder");
    std::size_t j = 0;
    auto entries = playlist["tracks"].get_array().value_unsafe();
    check(entries.size() == want.tracks.size(), "built playlist has another number of tracks");
    for (simdjson::dom::element entry : entries) {
      check(entry.get_uint64().value_unsafe() == want.tracks[j++], "built playlist has its tracks in another order");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const dovrel::Request request = request_from(in);
  auto image = dovrel::build(request);
  if (!image) {
    dovrel::fuzz::check_error_line(image.error().message);
    return 0;
  }
  auto report = dovrel::read(*image);
  check(report.has_value(), "read rejects a built image", report ? "" : report.error().message);
  auto line = report->joined();
  check(line.has_value(), "the report of a built image fails as it is printed", line ? "" : line.error().message);
  check_report(*line, request);
  return 0;
}
