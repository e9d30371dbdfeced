// Writes a folder of tagged audio files and a playlist for the scan example
// (examples/scan.json) and the scan benchmark (scripts/bench.sh).
//
//   make_sample_music DIR            a dozen files under DIR/music and
//                                    DIR/music/lists/evening.m3u8
//   make_sample_music DIR COUNT      COUNT files under DIR/music (no playlist)
//
// The files are WAV, AIFF and MP4 (ALAC), a tenth of a second of silence
// each, with titles, artists, albums, genres, keys, tempos, ratings and one
// of three small PNG covers.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scan/testing/audio_fixtures.h"

namespace {

namespace t = dovrel::scan::testing;

struct Sample {
  const char* artist;
  const char* album;
  const char* genre;
  const char* key;
  const char* label;
};

constexpr Sample kSamples[] = {
    {"Ines Varga", "Coastline", "Dub", "Fm", "Tidal Records"},
    {"Tomasz Wr\xc3\xb3"
     "bel",
     "Nocne Tramwaje", "Techno", "Am", "Linia 7"},
    {"Kaito Mori", "\xe6\xb5\xb7\xe8\xbe\xba", "House", "C#m", "Harbour Sound"},
    {"Odile Marchand", "Lumi\xc3\xa8re Basse", "Disco", "Eb", "Tidal Records"},
};

constexpr const char* kTitles[] = {"Low Sun",        "Harbour Lights", "Tidewater", "Last Tram",
                                   "Concrete Bloom", "Night Bus",      "Shoreline", "Quiet Storm",
                                   "Gold Dust",      "Paper Moon",     "Slow Burn", "Blue Hour"};

bool make_dir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST; }

bool write_track(const std::string& dir, std::size_t i, std::size_t count) {
  const Sample& s = kSamples[i % (sizeof kSamples / sizeof kSamples[0])];
  const char* extensions[] = {"wav", "aiff", "m4a"};
  const char* ext = extensions[i % 3];
  char name[64];
  std::snprintf(name, sizeof name, "%04zu.%s", i + 1, ext);
  const std::string path = dir + "/" + name;
  t::Pcm pcm;
  // The example's files last one to three seconds, the benchmark's a tenth.
  pcm.frames = count <= 12 ? static_cast<std::uint32_t>(44100 * (1 + i % 3)) : 4410;
  pcm.bits = i % 2 == 0 ? 16 : 24;
  std::vector<std::uint8_t> bytes;
  if (ext[0] == 'w') bytes = t::wav_bytes(pcm);
  if (ext[0] == 'a') bytes = t::aiff_bytes(pcm);
  if (ext[0] == 'm') bytes = t::m4a_bytes(pcm, t::Mp4Codec::kAlac, 1411200);
  if (!t::write_bytes(path, bytes)) return false;
  t::Tags tags;
  const std::size_t titles = sizeof kTitles / sizeof kTitles[0];
  tags.title = count <= titles ? std::string(kTitles[i % titles])
                               : std::string(kTitles[i % titles]) + " " + std::to_string(i + 1);
  tags.artist = s.artist;
  tags.album = s.album;
  tags.genre = s.genre;
  tags.key = s.key;
  tags.label = s.label;
  tags.bpm = ext[0] == 'm' ? std::to_string(118 + i % 12) : std::to_string(118 + i % 12) + ".5";
  tags.popularimeter = static_cast<int>((i * 64) % 256);
  tags.rating = std::to_string(i % 6);
  tags.pictures.push_back({t::tiny_png(static_cast<std::uint8_t>(64 * (i % 3))), true});
  return t::tag_file(path, tags);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_sample_music DIR [COUNT]\n");
    return 2;
  }
  const std::string root = argv[1];
  const bool example = argc == 2;
  const std::size_t count = example ? 12 : std::strtoul(argv[2], nullptr, 10);
  const std::string music = root + "/music";
  if (!make_dir(root) || !make_dir(music)) {
    std::perror("mkdir");
    return 1;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!write_track(music, i, count)) {
      std::fprintf(stderr, "make_sample_music: cannot write track %zu\n", i + 1);
      return 1;
    }
  }
  if (example) {
    if (!make_dir(music + "/lists")) return 1;
    const std::string list =
        "#EXTM3U\n#EXTINF:0,Ines Varga - Low Sun\n../0001.wav\n../0004.wav\n../0007.wav\n../0002.aiff\n"
        "../missing.wav\n/elsewhere/0003.m4a\n";
    if (!t::write_bytes(music + "/lists/evening.m3u8", std::vector<std::uint8_t>(list.begin(), list.end()))) return 1;
  }
  return 0;
}
