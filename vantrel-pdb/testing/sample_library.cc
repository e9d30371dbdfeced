#include "testing/sample_library.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "testing/xorshift.h"

namespace vantrel_pdb::testing {

namespace {

const char* const kFlavours[] = {"", " Caf\u00e9", " \u6771\u4eac", " \U0001F3A7", " Stra\u00dfe", ""};
const char* const kExtensions[] = {"mp3", "flac", "m4a", "wav", "aiff", "aac"};

template <class T>
void require(const std::expected<T, PdbError>& result, const char* what) {
  if (!result) throw std::runtime_error(std::string(what) + ": " + result.error().message());
}

}  // namespace

Library sample_library(const SampleShape& shape) {
  XorShift64 rng(shape.seed * 0x9E3779B97F4A7C15u + 1);
  Library library = Library::create();
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < shape.tracks; ++i) {
    TrackInput t;
    t.id = 1000 + 3 * i;
    const std::string n = std::to_string(i);
    t.title = "Title " + n + kFlavours[rng() % std::size(kFlavours)] + std::string(rng() % 40, 't');
    t.artist = "Artist " + std::to_string(i % 13) + kFlavours[i % std::size(kFlavours)];
    t.album = "Album " + std::to_string(i % 17);
    t.genre = "Genre " + std::to_string(i % 5);
    t.key = std::to_string(1 + i % 12) + "A";
    if (i % 3 == 0) t.label = "Label " + std::to_string(i % 4);
    t.audio_path = "/music/" + std::to_string(i % 13) + "/" + n + "." + kExtensions[i % std::size(kExtensions)];
    t.analysis_path = "/scans/" + n + ".dat";
    if (i % 2 == 0) t.artwork_path = "/art/" + std::to_string(i % 17) + ".jpg";
    t.comment = i % 4 == 0 ? "note " + n + kFlavours[(i + 1) % std::size(kFlavours)] : "";
    t.tempo = static_cast<std::uint32_t>(9000 + rng() % 8000);
    t.bitrate = 320;
    t.sample_rate = 44100;
    t.file_size = static_cast<std::uint32_t>(3'000'000 + rng() % 1'000'000);
    t.duration = static_cast<std::uint16_t>(120 + rng() % 300);
    t.rating = static_cast<std::uint8_t>(rng() % 6);
    ids.push_back(t.id);
    require(library.add_track(std::move(t)), "add_track");
  }
  std::vector<PlaylistInput> playlists = {{1, "Sets", 0, true, {}}, {2, "Radio \u00e9t\u00e9", 1, true, {}}};
  for (std::uint32_t p = 0; p < shape.playlists; ++p) {
    PlaylistInput playlist{10 + p, "List " + std::to_string(p), p % 3 == 0 ? 0u : 1u + p % 2, false, {}};
    const std::uint64_t entries = ids.empty() ? 0 : 2 + rng() % 30;
    for (std::uint64_t e = 0; e < entries; ++e) playlist.tracks.push_back(ids[rng() % ids.size()]);
    playlists.push_back(std::move(playlist));
  }
  require(library.add_playlists(playlists), "add_playlists");
  for (std::uint32_t h = 0; h < shape.history; ++h) {
    HistoryInput history{50 + h, "Session " + std::to_string(h), {}};
    const std::uint64_t plays = ids.empty() ? 0 : 1 + rng() % 12;
    for (std::uint64_t e = 0; e < plays; ++e) history.tracks.push_back(ids[rng() % ids.size()]);
    require(library.add_history(history), "add_history");
  }
  require(library.commit(), "commit");
  return library;
}

std::vector<std::uint8_t> sample_image(const SampleShape& shape) {
  auto bytes = sample_library(shape).take_bytes();
  require(bytes, "take_bytes");
  return std::move(*bytes);
}

}  // namespace vantrel_pdb::testing
