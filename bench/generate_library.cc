// Writes synthetic requests for benchmarks, deterministic by seed:
//   generate_library TRACKS SEED OUT_DIR [IDS]
// makes OUT_DIR/build.json (output OUT_DIR/library.pdb), OUT_DIR/read.json
// and OUT_DIR/patch.json (keeps half the tracks and half the playlists and
// sets 1,000 tempos). About 20% distinct artists, 30% distinct albums, 300
// genres, 24 keys, half the tracks with artwork, names mixing ASCII with
// accented, CJK and emoji text; playlists (one per 100 tracks, at least 10)
// under three levels of folders, with two entries per track in all.
// IDS chooses the track ids: "gaps" (the default: 1000, 1003, 1006, ...),
// "random" (distinct random 32-bit ids) or a number S (S, 2S, 3S, ...: with
// S a multiple of a hash table's size or a power of two, ids that pile into
// one bucket of a table that hashes an integer to itself); with such ids
// the patch sets a tempo for every track.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const char* const kSyllables[] = {"ka", "lo", "mi", "ne", "ra", "su", "to", "vi", "ze", "do", "an", "el"};
const char* const kFlavours[] = {"",      "",        "",   " Café",  " Ñandú",  " Øresund",
                                 " 東京", " 夜明け", " 🎧", " 🔥 Mix", " Straße", " Ελλάδα"};
const char* const kKeys[] = {"1A", "2A", "3A", "4A", "5A", "6A", "7A", "8A", "9A", "10A", "11A", "12A",
                             "1B", "2B", "3B", "4B", "5B", "6B", "7B", "8B", "9B", "10B", "11B", "12B"};
const char* const kExtensions[] = {"mp3", "flac", "m4a", "wav", "aiff", "aac"};

class Names {
 public:
  explicit Names(std::uint64_t seed) : rng_(seed) {}
  std::string name(std::uint64_t n) {
    std::mt19937_64 local(n * 0x9E3779B97F4A7C15ull + seed_salt_);
    std::string w = word_from(local, 2 + static_cast<int>(local() % 3)) + " " + word_from(local, 2);
    return w + kFlavours[local() % std::size(kFlavours)] + " " + std::to_string(n);
  }
  std::mt19937_64& rng() { return rng_; }

 private:
  static std::string word_from(std::mt19937_64& r, int syllables) {
    std::string w;
    for (int i = 0; i < syllables; ++i) w += kSyllables[r() % std::size(kSyllables)];
    w[0] = static_cast<char>(w[0] - 'a' + 'A');
    return w;
  }
  std::mt19937_64 rng_;
  std::uint64_t seed_salt_ = 17;
};

// Writes `s` as a JSON string (the generated names need no escapes but '"').
void put_string(std::string& out, const std::string& s) {
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: generate_library TRACKS SEED OUT_DIR [gaps|random|STRIDE]\n");
    return 2;
  }
  const std::uint64_t tracks = std::strtoull(argv[1], nullptr, 10);
  const std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
  const std::string dir = argv[3];
  const std::string id_mode = argc == 5 ? argv[4] : "gaps";
  Names names(seed);
  auto& rng = names.rng();
  // The track ids, drawn before anything else uses the generator so that
  // the default ids leave every other byte as it always was.
  std::vector<std::uint64_t> track_ids(tracks);
  if (id_mode == "random") {
    std::mt19937_64 ids_rng(seed ^ 0x5EEDull);
    std::unordered_set<std::uint64_t> taken;
    for (auto& id : track_ids) {
      do id = ids_rng() & 0xFFFFFFFFu;
      while (id == 0 || !taken.insert(id).second);
    }
  } else if (id_mode != "gaps") {
    const std::uint64_t stride = std::strtoull(id_mode.c_str(), nullptr, 10);
    if (stride == 0 || stride * tracks > 0xFFFFFFFFu) {
      std::fprintf(stderr, "generate_library: stride %s does not fit %llu ids in 32 bits\n", id_mode.c_str(),
                   static_cast<unsigned long long>(tracks));
      return 2;
    }
    for (std::uint64_t i = 0; i < tracks; ++i) track_ids[i] = (i + 1) * stride;
  } else {
    for (std::uint64_t i = 0; i < tracks; ++i) track_ids[i] = 1000 + i * 3;  // gaps between ids, as in real exports
  }
  const std::uint64_t artists = tracks / 5 + 1, albums = tracks * 3 / 10 + 1;
  const std::uint64_t playlists = tracks / 100 < 10 ? 10 : tracks / 100;
  const std::uint64_t entries = 2 * tracks;

  std::string out;
  out.reserve(tracks * 400 + entries * 8);
  out += "{\"action\":\"build\",\"output\":";
  put_string(out, dir + "/library.pdb");
  out += ",\"tracks\":[";
  for (std::uint64_t i = 0; i < tracks; ++i) {
    if (i) out += ',';
    std::uint64_t id = track_ids[i];
    std::uint64_t album = rng() % albums, artist = album % artists;
    out += "{\"id\":" + std::to_string(id) + ",\"title\":";
    put_string(out, names.name(i));
    out += ",\"artist\":";
    put_string(out, "Artist " + names.name(1'000'000'000 + artist));
    out += ",\"album\":";
    put_string(out, "Album " + names.name(2'000'000'000 + album));
    out += ",\"genre\":";
    put_string(out, "Genre " + std::to_string(rng() % 300));
    out += ",\"key\":";
    put_string(out, kKeys[rng() % 24]);
    std::string file = "/music/" + std::to_string(artist) + "/" + std::to_string(i) + "." +
                       kExtensions[rng() % std::size(kExtensions)];
    out += ",\"audioPath\":";
    put_string(out, file);
    out += ",\"analysisPath\":";
    put_string(out, "/scans/" + std::to_string(i) + ".dat");
    out += ",\"artworkPath\":";
    put_string(out, i % 2 ? "" : "/ART/" + std::to_string(album) + ".jpg");
    out += ",\"bpm\":" + std::to_string(90 + rng() % 80) + "." + std::to_string(rng() % 100);
    out += ",\"duration\":" + std::to_string(120 + rng() % 400);
    out += ",\"sampleRate\":44100,\"fileSize\":" + std::to_string(3'000'000 + rng() % 20'000'000);
    out += ",\"bitrate\":320,\"rating\":" + std::to_string(rng() % 6) + "}";
  }
  out += "],\"playlists\":[";
  // Three levels of folders: 4 top folders, 4 sub-folders in each; playlists spread under the sub-folders.
  std::uint64_t next_id = 1;
  std::vector<std::uint64_t> leaves;
  bool first = true;
  auto folder = [&](std::uint64_t id, std::uint64_t parent, const std::string& name) {
    if (!first) out += ',';
    first = false;
    out += "{\"id\":" + std::to_string(id) + ",\"name\":";
    put_string(out, name);
    out += ",\"parentId\":" + std::to_string(parent) + ",\"isFolder\":true,\"tracks\":[]}";
  };
  for (int a = 0; a < 4; ++a) {
    std::uint64_t top = next_id++;
    folder(top, 0, "Folder " + names.name(3'000'000'000ull + top));
    for (int b = 0; b < 4; ++b) {
      std::uint64_t sub = next_id++;
      folder(sub, top, "Folder " + names.name(3'000'000'000ull + sub));
      leaves.push_back(sub);
    }
  }
  std::vector<std::uint64_t> playlist_ids;
  for (std::uint64_t p = 0; p < playlists; ++p) {
    std::uint64_t id = next_id++;
    playlist_ids.push_back(id);
    out += ",{\"id\":" + std::to_string(id) + ",\"name\":";
    put_string(out, "Playlist " + names.name(4'000'000'000ull + p));
    out += ",\"parentId\":" + std::to_string(leaves[p % leaves.size()]) + ",\"isFolder\":false,\"tracks\":[";
    std::uint64_t count = entries / playlists + (p < entries % playlists ? 1 : 0);
    for (std::uint64_t e = 0; e < count; ++e) {
      if (e) out += ',';
      out += std::to_string(track_ids[rng() % tracks]);
    }
    out += "]}";
  }
  out += "]}\n";
  if (!write_file(dir + "/build.json", out)) return 1;

  std::string read = "{\"action\":\"read\",\"input\":";
  put_string(read, dir + "/library.pdb");
  read += "}\n";
  if (!write_file(dir + "/read.json", read)) return 1;

  std::string patch = "{\"action\":\"patch\",\"input\":";
  put_string(patch, dir + "/library.pdb");
  patch += ",\"output\":";
  put_string(patch, dir + "/patched.pdb");
  patch += ",\"keepTracks\":[";
  for (std::uint64_t i = 0; i < tracks; i += 2) patch += (i ? "," : "") + std::to_string(track_ids[i]);
  patch += "],\"keepPlaylists\":[";
  const std::uint64_t folders = next_id - playlists - 1;
  for (std::uint64_t i = 1; i <= folders; ++i) patch += (i > 1 ? "," : "") + std::to_string(i);
  for (std::size_t p = 0; p < playlist_ids.size(); p += 2) patch += "," + std::to_string(playlist_ids[p]);
  patch += "],\"tempos\":{";
  // With chosen ids every track gets a tempo: the map of tempos is then as
  // large as the library.
  const std::uint64_t tempos = id_mode == "gaps" ? 1000 : tracks;
  for (std::uint64_t i = 0; i < tempos && i < tracks; ++i) {
    if (i) patch += ',';
    patch += "\"" + std::to_string(track_ids[i]) + "\":" + std::to_string(12000 + i);
  }
  patch += "}}\n";
  return write_file(dir + "/patch.json", patch) ? 0 : 1;
}
