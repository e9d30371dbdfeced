// make_corpus: writes the seed corpora of the fuzz targets, all made by the
// project's own code: the blank image, the example library built by the
// build action (and patched by the example patch), images crafted row by row
// with the test image builder, the example requests and a few more, and PDB
// strings of every kind.
//
// Usage: make_corpus SOURCE_DIR CORPUS_DIR
// Writes CORPUS_DIR/<target>/<name> for every target; existing files of the
// same name are replaced, others are left (libFuzzer adds its own there).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "format/strings.h"
#include "patch.h"
#include "request.h"
#include "testing/image_builder.h"

namespace {

namespace fs = std::filesystem;
namespace kind = vantrel_pdb::table_kind;
using Bytes = std::vector<std::uint8_t>;
using vantrel_pdb::testing::ImageBuilder;

// Leading bytes of a fuzz_patch input (see fuzz_patch.cc): keep everything;
// keep tracks and playlists by alternate bits, with tempos, stray ids and
// duplicates; keep no track at all.
const std::vector<Bytes> kPatchControls = {
    {0x00, 0, 0, 0, 0, 0, 0, 0},
    {0x1F, 0x55, 0x55, 0xAA, 0xAA, 0x0F, 120, 0},
    {0x01, 0, 0, 0, 0, 0, 0, 0},
};

class CorpusWriter {
 public:
  explicit CorpusWriter(fs::path root) : root_(std::move(root)) {}

  void write(std::string_view target, std::string_view name, const Bytes& bytes) {
    fs::path dir = root_ / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "make_corpus: cannot write %s\n", (dir / name).c_str());
      ok_ = false;
    }
    ++count_;
  }
  void write(std::string_view target, std::string_view name, std::string_view text) {
    write(target, name, Bytes(text.begin(), text.end()));
  }

  // An image is a seed of fuzz_read and fuzz_damage and, behind each control
  // prefix, of fuzz_patch.
  void write_image(std::string_view name, const Bytes& image) {
    write("fuzz_read", name, image);
    write("fuzz_damage", name, image);
    for (std::size_t i = 0; i < kPatchControls.size(); ++i) {
      Bytes input = kPatchControls[i];
      input.insert(input.end(), image.begin(), image.end());
      write("fuzz_patch", std::string(name) + "-" + std::to_string(i), input);
    }
  }

  bool ok() const { return ok_; }
  std::size_t count() const { return count_; }

 private:
  fs::path root_;
  bool ok_ = true;
  std::size_t count_ = 0;
};

bool read_text(const fs::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

// Every decoded table kind with a few rows: names in short ASCII, long
// ASCII and UTF-16, tracks pointing at them, a playlist tree with entries,
// history, artwork, one deleted track row.
Bytes crafted_library() {
  namespace t = vantrel_pdb::testing;
  ImageBuilder b;
  const std::size_t tracks = b.add_table(kind::tracks);
  const std::size_t genres = b.add_table(kind::genres);
  const std::size_t artists = b.add_table(kind::artists);
  const std::size_t albums = b.add_table(kind::albums);
  const std::size_t labels = b.add_table(kind::labels);
  const std::size_t keys = b.add_table(kind::keys);
  const std::size_t colors = b.add_table(kind::colors);
  const std::size_t tree = b.add_table(kind::playlist_tree);
  const std::size_t entries = b.add_table(kind::playlist_entries);
  const std::size_t history_playlists = b.add_table(kind::history_playlists);
  const std::size_t history_entries = b.add_table(kind::history_entries);
  const std::size_t artwork = b.add_table(kind::artwork);
  const std::size_t kind16 = b.add_table(kind::kind16_rows);

  b.add_row(genres, t::id_name_row(1, "House"));
  b.add_row(genres, t::id_name_row(2, "Tëchno"));
  b.add_row(artists, t::artist_row(1, "Artist"));
  b.add_row(artists, t::artist_row(2, std::string(130, 'a')));
  b.add_row(albums, t::album_row(1, 1, "Album"));
  b.add_row(labels, t::id_name_row(1, "Label"));
  b.add_row(keys, t::key_row(1, "Am"));
  b.add_row(colors, t::color_row(1, "Pink"));
  b.add_row(kind16, t::kind16_row(1, "Kind sixteen"));
  b.add_row(artwork, t::id_name_row(7, "/art/7.jpg"));

  t::TrackRowFields first;
  first.id = 7;
  first.artist_id = 1, first.album_id = 1, first.genre_id = 1, first.key_id = 1, first.artwork_id = 7;
  first.tempo = 12850, first.duration = 301, first.file_size = 7340032, first.bitrate = 320;
  first.title("Warm-up").path("/music/a.mp3");
  b.add_row(tracks, t::track_row(first));
  t::TrackRowFields second;
  second.id = 3;
  second.artist_id = 2, second.genre_id = 2, second.tempo = 12000;
  second.title("日本語 \xF0\x9F\x8E\xB5").path("/music/b.flac");
  b.add_row(tracks, t::track_row(second));
  t::TrackRowFields gone;
  gone.id = 9;
  gone.title(std::string(200, 't')).path("/music/c.wav");
  const std::uint64_t gone_at = b.add_row(tracks, t::track_row(gone));

  b.add_row(tree, t::tree_row(0, 0, 10, true, "Folder"));
  b.add_row(tree, t::tree_row(10, 0, 11, false, "Set"));
  b.add_row(tree, t::tree_row(0, 1, 12, false, "Ünsorted"));
  b.add_row(entries, t::entry_row(2, 7, 11));
  b.add_row(entries, t::entry_row(1, 3, 11));
  b.add_row(entries, t::entry_row(1, 9, 12));
  b.add_row(history_playlists, t::id_name_row(1, "Yesterday"));
  b.add_row(history_entries, t::entry_row(1, 7, 1));

  // The third track row, slot 2 of its page, is deleted.
  b.set_present(static_cast<std::uint32_t>(gone_at / b.page_size()), 2, false);
  return b.finish();
}

// One track table of several pages, of which a middle one holds only deleted rows.
Bytes crafted_long_chain() {
  namespace t = vantrel_pdb::testing;
  ImageBuilder b;
  const std::size_t tracks = b.add_table(kind::tracks);
  std::vector<std::uint32_t> pages;  // the page of each row, in row order
  for (std::uint32_t i = 1; i <= 60; ++i) {
    t::TrackRowFields row_spec;
    row_spec.id = i;
    row_spec.tempo = 10000 + i;
    row_spec.title("Track " + std::to_string(i) + std::string(i % 7 == 0 ? 150 : 10, 'x'));
    row_spec.path("/m/" + std::to_string(i) + ".mp3");
    pages.push_back(static_cast<std::uint32_t>(b.add_row(tracks, t::track_row(row_spec)) / b.page_size()));
  }
  // Every row of the second data page is deleted.
  const std::uint32_t middle = pages.front() + 1;
  std::uint32_t slot = 0;
  for (std::uint32_t page : pages) {
    if (page == middle) b.set_present(page, slot++, false);
  }
  return b.finish();
}

// Two directory entries of kind 0 and a table whose only page is its header.
Bytes crafted_duplicate_kind() {
  namespace t = vantrel_pdb::testing;
  ImageBuilder b;
  const std::size_t first = b.add_table(kind::tracks);
  const std::size_t second = b.add_table(kind::tracks);
  b.add_table(kind::genres);
  t::TrackRowFields row_spec;
  row_spec.id = 1;
  row_spec.title("first").path("/a.mp3");
  b.add_row(first, t::track_row(row_spec));
  row_spec.id = 2;
  row_spec.title("second").path("/b.mp3");
  b.add_row(second, t::track_row(row_spec));
  return b.finish();
}

std::vector<std::pair<std::string, std::string>> extra_requests() {
  const std::string track =
      R"({"id":5,"title":"T","artist":"","album":"Al","genre":"G","key":"Am","audioPath":"/a.MP3",)"
      R"("analysisPath":"/A.DAT","artworkPath":"/art/5.jpg","bpm":128.5,"duration":300,"sampleRate":44100,)"
      R"("fileSize":1000,"bitrate":320,"sampleDepth":16,"rating":3,"comment":"c\u00e9\n"})";
  return {
      {"build-empty.json", R"({"action":"build"})"},
      {"build-one.json", R"({"action":"build","tracks":[)" + track + "]}"},
      {"build-playlists.json",
       R"({"action":"build","tracks":[)" + track +
           R"(],"playlists":[{"id":2,"name":"Child","parentId":1,"isFolder":false,"tracks":[5,5]},)"
           R"({"id":1,"name":"Folder","parentId":0,"isFolder":true,"tracks":[]}]})"},
      {"build-cycle.json",
       R"({"action":"build","playlists":[{"id":1,"name":"a","parentId":2,"isFolder":true,"tracks":[]},)"
       R"({"id":2,"name":"b","parentId":1,"isFolder":true,"tracks":[]}]})"},
      {"read-null.json", R"({"action":"read","input":null})"},
      {"patch-no-input.json",
       R"({"action":"patch","output":null,"keepTracks":[1,1,2],"keepPlaylists":null,"tempos":{"7":12850,"7":1}})"},
      {"unknown.json", R"({"action":"Read","extra":[1,{"x":null}]})"},
      {"bad-number.json", R"({"action":"build","tracks":[{"id":1.5}]})"},
      {"bad-utf8.json", "{\"action\":\"\xC3\x28\"}"},
  };
}

std::vector<Bytes> string_seeds() {
  std::vector<Bytes> seeds;
  for (std::string_view text : {std::string_view(""), std::string_view("Am"), std::string_view("Warm-up set"),
                                std::string_view("Tëchno"), std::string_view("\xF0\x9F\x8E\xB5 pair")}) {
    seeds.push_back(*vantrel_pdb::encode_string(text));
  }
  seeds.push_back(*vantrel_pdb::encode_string(std::string(126, 'a')));
  seeds.push_back(*vantrel_pdb::encode_string(std::string(127, 'a')));
  seeds.push_back({0x01});
  seeds.push_back({0x07, 0xC3, 0x28});                                // invalid UTF-8 in a short string
  seeds.push_back({0x90, 0x08, 0x00, 0x00, 0x00, 0xDC, 0x41, 0x00});  // lone low surrogate
  seeds.push_back({0x90, 0x07, 0x00, 0x00, 0x41, 0x00, 0x42});        // odd text length
  seeds.push_back({0x02, 0x04, 0x00, 0x00});                          // unknown kind
  seeds.push_back({0x40, 0x03, 0x00});                                // total length below the header
  seeds.push_back({0x40, 0xFF, 0xFF, 0x00, 'x'});                     // runs past the end
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_corpus SOURCE_DIR CORPUS_DIR\n");
    return 2;
  }
  const fs::path source(argv[1]);
  CorpusWriter out(argv[2]);

  // Images.
  out.write_image("blank", vantrel_pdb::make_blank_image());
  out.write_image("crafted-library", crafted_library());
  out.write_image("crafted-long-chain", crafted_long_chain());
  out.write_image("crafted-duplicate-kind", crafted_duplicate_kind());

  std::string library_text, patch_text;
  if (!read_text(source / "examples/library.json", library_text) ||
      !read_text(source / "examples/patch.json", patch_text)) {
    std::fprintf(stderr, "make_corpus: cannot read the examples in %s\n", source.c_str());
    return 1;
  }
  auto library_request = dovrel::parse_request(library_text);
  auto patch_request = dovrel::parse_request(patch_text);
  if (!library_request || !patch_request) {
    std::fprintf(stderr, "make_corpus: an example request does not parse\n");
    return 1;
  }
  auto library = dovrel::build(*library_request);
  if (!library) {
    std::fprintf(stderr, "make_corpus: the example library does not build: %s\n", library.error().message.c_str());
    return 1;
  }
  out.write_image("example-library", *library);
  if (auto patched = dovrel::patch(*library, *patch_request)) out.write_image("example-library-patched", *patched);
  // Damaged copies for the check and the salvage: cut mid-page, a page
  // zeroed, the directory gone.
  {
    constexpr std::size_t kPage = vantrel_pdb::format::kPageSize;
    Bytes cut(library->begin(), library->end() - kPage / 2);
    out.write("fuzz_damage", "example-library-cut", cut);
    Bytes zeroed = *library;
    std::fill(zeroed.begin() + 2 * kPage, zeroed.begin() + 3 * kPage, 0);
    out.write("fuzz_damage", "example-library-page-zeroed", zeroed);
    Bytes lost = *library;
    std::fill(lost.begin() + vantrel_pdb::format::kDirectoryOffset, lost.begin() + kPage, 0);
    out.write("fuzz_damage", "example-library-no-directory", lost);
  }

  // Requests: the examples as they are, and the example build without
  // "output", which fuzz_request builds.
  for (const char* name : {"library.json", "patch.json", "read.json"}) {
    std::string text;
    if (read_text(source / "examples" / name, text)) out.write("fuzz_request", std::string("example-") + name, text);
  }
  if (auto at = library_text.find("\"output\""); at != std::string::npos) {
    std::string text = library_text;
    text.replace(at, 1, "\"no-");  // "no-output" is an unknown key
    out.write("fuzz_request", "example-library-without-output.json", text);
  }
  for (const auto& [name, text] : extra_requests()) out.write("fuzz_request", name, text);

  // Build inputs: the provider reads them as raw numbers and text, so any
  // bytes serve; a few fixed pseudo-random ones of growing length.
  std::mt19937 random(20240601);
  for (std::size_t length : {0u, 16u, 64u, 256u, 1024u, 4096u, 16384u}) {
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    out.write("fuzz_build", "random-" + std::to_string(length), bytes);
  }
  out.write("fuzz_build", "zeros", Bytes(512, 0x00));
  out.write("fuzz_build", "ones", Bytes(512, 0xFF));

  std::size_t k = 0;
  for (const Bytes& seed : string_seeds()) out.write("fuzz_strings", "string-" + std::to_string(k++), seed);

  // Playlists: a flag byte (1: .m3u, a line that is not UTF-8 is Latin-1), then the text.
  out.write("fuzz_playlist", "m3u8",
            std::string_view("\0\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:1,A\r\n../a.mp3\r\n\r\n/media/stick/b.flac\n", 58));
  out.write("fuzz_playlist", "urls",
            std::string_view("\0file:///media/stick/a%20b.mp3\nfile://localhost/mnt/real/c.wav\nhttp://x/y.mp3\n", 78));
  out.write("fuzz_playlist", "climbing", std::string_view("\0../../a.mp3\n./x/../../b.mp3\n..\n/\n", 34));
  out.write("fuzz_playlist", "latin1", std::string_view("\1Caf\xe9.mp3\n\xff\xfe\n", 13));

  if (!out.ok()) return 1;
  std::fprintf(stderr, "make_corpus: %zu seeds in %s\n", out.count(), argv[2]);
  return 0;
}
