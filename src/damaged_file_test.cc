// Damaged files. Three sound databases (the example library, a build whose
// tables span several pages, a crafted one with absent rows and a history)
// are cut at every page boundary and at lengths in between, and changed one
// byte at a time in the file header, the directory, the fields of every page
// header that anything reads, every row index and a sample of rows and
// strings. Each variant goes through "read" and "patch" (with and without
// keep lists): the outcome is a valid report or one line of error, and a
// patch that succeeds gives a file that read accepts. A sample runs through
// the real binary, and hostile files run there under a memory bound.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "actions.h"
#include "build.h"
#include "cli_runner_test_util.h"
#include "format/coding.h"
#include "format/format.h"
#include "format/strings.h"
#include "format/validate.h"
#include "output_line_test_util.h"
#include "patch.h"
#include "read/database.h"
#include "read/track.h"
#include "report.h"
#include "request.h"
#include "scratch_dir_test_util.h"
#include "testing/image_builder.h"

namespace dovrel {
namespace {

namespace f = vantrel_pdb::format;
namespace kind = vantrel_pdb::table_kind;
namespace t = vantrel_pdb::testing;
using Image = std::vector<std::uint8_t>;
using vantrel_pdb::Database;

// A patched image and its report, as the patch action makes them: the
// report from the same library that checked the result.
struct PatchedImage {
  Image image;
  std::string report;
};
Result<PatchedImage> patch_and_report(Image image, const Request& request) {
  auto library = patch_library(std::move(image), request);
  if (!library) return std::unexpected(std::move(library.error()));
  auto report = joined(render_report(*library));
  if (!report) return std::unexpected(std::move(report.error()));
  auto bytes = std::move(*library).take_bytes();
  if (!bytes) return std::unexpected(Error(bytes.error()));
  return PatchedImage{std::move(*bytes), std::move(*report)};
}

namespace tr = vantrel_pdb::track_row;

constexpr std::uint64_t kPage = f::kPageSize;

// Adds tables of kinds 0 to 19, the track table with one data page, and
// returns that page's number.
std::uint32_t add_tables_with_one_track_page(t::ImageBuilder& b) {
  std::uint32_t data_page = 0;
  for (std::uint32_t k = 0; k < 20; ++k) {
    auto table = b.add_table(k);
    if (k == kind::tracks) data_page = b.add_data_page(table);
  }
  return data_page;
}

std::string example_text(const std::string& name) {
  std::ifstream in(std::string(DOVREL_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Image built(const std::string& request_text) {
  auto request = parse_request(request_text);
  if (!request) throw std::runtime_error(request.error().message);
  auto image = build(*request);
  if (!image) throw std::runtime_error(image.error().message);
  return *image;
}

// ---------------------------------------------------------------------------
// The sound databases the damage is done to.

// A build whose tables span several pages each: tracks over three pages,
// artists, albums and genres of long names (some outside ASCII) over two,
// artwork and playlist entries (some 300) over two.
std::string spanning_request() {
  std::ostringstream r;
  r << R"({"action":"build","tracks":[)";
  constexpr int kTracks = 24;
  for (int i = 1; i <= kTracks; ++i) {
    const std::string n = std::to_string(i);
    const std::string name(200, static_cast<char>('a' + i % 26));
    const std::string text(40, static_cast<char>('A' + i % 26));
    r << (i > 1 ? "," : "") << R"({"id":)" << 1000 + i << R"(,"title":"Title )" << n << text << R"(","artist":"Artist )"
      << n << name << (i % 3 == 0 ? "\u00e9" : "") << R"(","album":"Album )" << n << name << R"(","genre":"Genre )" << n
      << name << R"(","key":"K)" << i % 12 << R"(","audioPath":"/music/)" << n << text << text
      << R"(.mp3","analysisPath":"/analysis/)" << n << R"(.bin","artworkPath":")"
      << (i % 4 == 0 ? "" : "/art/" + n + std::string(100, 'x') + ".jpg") << R"(","bpm":)" << 100 + i
      << R"(.25,"duration":)" << 100 + i << R"(,"sampleRate":44100,"fileSize":)" << 1000000 + i
      << R"(,"comment":"\u2665 )" << text << R"("})";
  }
  r << R"(],"playlists":[{"id":1,"name":"Folder","parentId":0,"isFolder":true,"tracks":[]})";
  for (int p = 2; p <= 4; ++p) {
    r << R"(,{"id":)" << p << R"(,"name":"List \ud83c\udfa7 )" << p << R"(","parentId":)" << (p == 4 ? 0 : 1)
      << R"(,"isFolder":false,"tracks":[)";
    for (int k = 0; k < 100; ++k) r << (k ? "," : "") << 1000 + 1 + (k * p) % kTracks;
    r << "]}";
  }
  r << "]}";
  return r.str();
}

// Clears the present bit of the row at `location`, as a patch does.
void mark_absent(t::ImageBuilder& b, std::uint64_t location) {
  const auto page = static_cast<std::uint32_t>(location / kPage);
  const std::uint8_t* bytes = b.bytes().data() + std::uint64_t{page} * kPage;
  const std::uint32_t slots = vantrel_pdb::decode_fixed24(bytes + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
  for (std::uint32_t s = 0; s < slots; ++s) {
    const std::uint64_t slot =
        f::group_end(kPage, s / f::kSlotsPerGroup) - f::kSlotOffsetsFromGroupEnd - 2 * (s % f::kSlotsPerGroup);
    if (page * kPage + f::kPageHeaderSize + vantrel_pdb::decode_fixed16(bytes + slot) == location) {
      b.set_present(page, s, false);
      return;
    }
  }
  throw std::invalid_argument("no slot holds that row");
}

// A database as a patch leaves one: rows marked absent among live ones (a
// track, a playlist, entries), a live play history, every decoded kind and
// tracks over three pages.
Image crafted_library() {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t k = 0; k < 20; ++k) table[k] = b.add_table(k);
  b.add_row(table[kind::artists], t::artist_row(1, "Artist"));
  b.add_row(table[kind::artists], t::artist_row(2, "K\xc3\xbcnstler"));
  b.add_row(table[kind::albums], t::album_row(1, 1, "Album"));
  b.add_row(table[kind::genres], t::id_name_row(1, "House"));
  b.add_row(table[kind::labels], t::id_name_row(1, "Label"));
  b.add_row(table[kind::keys], t::key_row(1, "Am"));
  b.add_row(table[kind::colors], t::color_row(1, "Pink"));
  b.add_row(table[kind::artwork], t::id_name_row(1, "/art/1.jpg"));
  b.add_row(table[kind::kind16_rows], t::kind16_row(1, "Row"));
  std::vector<std::uint64_t> tracks;
  for (std::uint32_t id = 1; id <= 9; ++id) {
    if (id == 4 || id == 7) b.add_data_page(table[kind::tracks]);
    t::TrackRowFields row_spec;
    row_spec.id = id;
    row_spec.artist_id = 1 + id % 2;
    row_spec.album_id = 1;
    row_spec.genre_id = 1;
    row_spec.key_id = 1;
    row_spec.artwork_id = id % 3 == 0 ? 1 : 0;
    row_spec.tempo = 12000 + id;
    row_spec.strings[tr::kAnalysisPathSlot] = "/analysis/" + std::to_string(id) + ".bin";
    row_spec.strings[tr::kCommentSlot] = id == 5 ? std::string(300, 'c') : "comment";
    row_spec.title("Track " + std::to_string(id)).path("/t/" + std::to_string(id) + ".mp3");
    tracks.push_back(b.add_row(table[kind::tracks], t::track_row(row_spec)));
  }
  b.add_row(table[kind::playlist_tree], t::tree_row(0, 0, 10, true, "Folder"));
  b.add_row(table[kind::playlist_tree], t::tree_row(10, 0, 11, false, "Inside"));
  const std::uint64_t gone = b.add_row(table[kind::playlist_tree], t::tree_row(0, 1, 12, false, "Gone"));
  std::vector<std::uint64_t> entries;
  for (std::uint32_t k = 0; k < 12; ++k) {
    entries.push_back(b.add_row(table[kind::playlist_entries], t::entry_row(k, 1 + k % 9, 11 + k % 2)));
  }
  b.add_row(table[kind::history_playlists], t::id_name_row(1, "History"));
  for (std::uint32_t k = 0; k < 5; ++k) b.add_row(table[kind::history_entries], t::entry_row(k, 1 + k, 1));
  mark_absent(b, tracks[1]);
  mark_absent(b, tracks[7]);
  mark_absent(b, gone);
  mark_absent(b, entries[1]);
  mark_absent(b, entries[2]);
  return b.finish();
}

struct Base {
  std::string name;
  Image image;
  std::vector<Request> patches;  // the patch requests every variant meets
};

// Two patch requests: one without any list, and one that keeps every other
// track and the first playlists (plus ids that no row has) and retunes two.
std::vector<Request> patch_requests(const Image& image) {
  auto db = Database::from_bytes(image);
  if (!db) throw std::runtime_error(db.error().message());
  Request all;
  all.action = "patch";
  Request some = all;
  some.keep_tracks.emplace({4000000000u});
  some.keep_playlists.emplace({4000000000u});
  for (std::size_t i = 0; i < db->tracks.size(); i += 2) some.keep_tracks->push_back(db->tracks[i].id);
  for (std::size_t i = 0; i < db->playlist_tree.size(); i += 2) some.keep_playlists->push_back(db->playlist_tree[i].id);
  if (!db->tracks.empty()) some.tempos[db->tracks[0].id] = 12850;
  some.tempos[4000000000u] = 1;
  return {all, some};
}

const std::vector<Base>& bases() {
  static const std::vector<Base> all = [] {
    std::vector<Base> out;
    for (auto [name, image] : {std::pair<std::string, Image>{"Example", built(example_text("library.json"))},
                               std::pair<std::string, Image>{"Spanning", built(spanning_request())},
                               std::pair<std::string, Image>{"Patched", crafted_library()}}) {
      auto requests = patch_requests(image);
      out.push_back({name, std::move(image), std::move(requests)});
    }
    return out;
  }();
  return all;
}

const Base& base_named(const std::string& name) {
  for (const Base& b : bases()) {
    if (b.name == name) return b;
  }
  throw std::invalid_argument(name);
}

// ---------------------------------------------------------------------------
// Where the damage goes.

// The pages of every table's chain, header pages included, in page order.
std::vector<std::uint32_t> pages_in_use(const Image& image) {
  auto db = Database::from_bytes(image);
  if (!db) throw std::runtime_error(db.error().message());
  std::vector<std::uint32_t> pages;
  for (const auto& entry : db->tables) {
    for (std::uint32_t p = entry.first_page;;
         p = vantrel_pdb::decode_fixed32(image.data() + p * kPage + f::kNextPageOffset)) {
      pages.push_back(p);
      if (p == entry.last_page) break;
    }
  }
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  return pages;
}

enum class Region { kFileHeader, kDirectory, kPageHeaders, kRowIndexes, kRowsAndStrings };

std::vector<std::uint64_t> positions(const Image& image, Region region) {
  std::vector<std::uint64_t> out;
  const std::uint32_t tables = vantrel_pdb::decode_fixed32(image.data() + f::kTableCountOffset);
  switch (region) {
    case Region::kFileHeader:
      for (std::uint64_t i = 0; i < f::kFileHeaderSize; ++i) out.push_back(i);
      break;
    case Region::kDirectory:
      for (std::uint64_t i = 0; i < f::kTableEntrySize * tables; ++i) out.push_back(f::kDirectoryOffset + i);
      break;
    case Region::kPageHeaders:
      // The fields that the structure check, the reader or the patch reads:
      // page_index, page_kind, next_page, the packed counts and the flags.
      for (std::uint32_t p : pages_in_use(image)) {
        for (std::uint64_t i = f::kPageIndexOffset; i < f::kPageSequenceOffset; ++i) out.push_back(p * kPage + i);
        for (std::uint64_t i = f::kPackedCountsOffset; i <= f::kPageFlagsOffset; ++i) out.push_back(p * kPage + i);
      }
      break;
    case Region::kRowIndexes:
      for (std::uint32_t p : pages_in_use(image)) {
        const std::uint8_t* page = image.data() + p * kPage;
        if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) continue;
        const std::uint64_t slots =
            vantrel_pdb::decode_fixed24(page + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
        // The first and the last group whole; of the groups between, their
        // present flags and the offset of their first slot.
        const std::uint64_t groups = f::groups_for_slots(slots);
        for (std::uint64_t g = 0; g < groups; ++g) {
          const std::uint64_t end = p * kPage + f::group_end(kPage, g);
          if (g == 0 || g + 1 == groups) {
            for (std::uint64_t i = end - f::kRowGroupSize; i < end; ++i) out.push_back(i);
            continue;
          }
          for (std::uint64_t i = end - f::kSlotOffsetsFromGroupEnd; i < end - f::kEditFlagsFromGroupEnd; ++i) {
            out.push_back(i);
          }
        }
      }
      break;
    case Region::kRowsAndStrings: {
      // The first bytes of every row, and of every track: its tempo and id,
      // its string offsets and the head of each string; rows of other kinds
      // get their name's head too.
      auto db = Database::from_bytes(image);
      if (!db) throw std::runtime_error(db.error().message());
      for (const auto& [k, rows] : db->row_locations_by_kind) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
          const std::uint64_t row = rows[r];
          for (std::uint64_t i = 0; i < 6; ++i) out.push_back(row + i);
          if (k != kind::tracks) {
            out.push_back(row + 20);
            continue;
          }
          // Every third track in full, the others by their tempo and id.
          namespace tr = vantrel_pdb::track_row;
          for (std::uint64_t i : {tr::kTempoOffset, tr::kIdOffset, tr::kArtistIdOffset}) out.push_back(row + i);
          if (r % 3 != 0) continue;
          for (std::size_t s = 0; s < tr::kStringCount; ++s) {
            const std::uint64_t slot = row + tr::kStringOffsetsOffset + 2 * s;
            out.push_back(slot);
            out.push_back(slot + 1);
            const std::uint64_t string = row + vantrel_pdb::decode_fixed16(image.data() + slot);
            for (std::uint64_t i = 0; i < 3; ++i) out.push_back(string + i);
          }
        }
      }
      std::sort(out.begin(), out.end());
      out.erase(std::unique(out.begin(), out.end()), out.end());
      std::erase_if(out, [&](std::uint64_t pos) { return pos >= image.size(); });
      // An even spread of at most 160 of them.
      constexpr std::size_t kSample = 160;
      if (out.size() > kSample) {
        std::vector<std::uint64_t> spread;
        for (std::size_t i = 0; i < kSample; ++i) spread.push_back(out[i * out.size() / kSample]);
        out = std::move(spread);
      }
      break;
    }
  }
  return out;
}

// The values written at `pos`: zero at even positions and all ones at odd
// ones (the other when the byte already holds it), and one flipped bit,
// which bit depending on the position.
std::vector<std::uint8_t> damaged_values(std::uint8_t original, std::uint64_t pos) {
  std::uint8_t filled = pos % 2 == 0 ? 0x00 : 0xFF;
  if (filled == original) filled = static_cast<std::uint8_t>(~filled);
  return {filled, static_cast<std::uint8_t>(original ^ (1u << (pos / 2 % 8)))};
}

// Lengths to cut the image to: every page boundary below its length, and
// others in between (inside the file header, the directory, page headers,
// heaps and row indexes).
std::vector<std::uint64_t> truncations(const Image& image) {
  std::vector<std::uint64_t> lengths;
  for (std::uint64_t p = 0; p * kPage < image.size(); ++p) lengths.push_back(p * kPage);
  for (std::uint64_t odd :
       {1u, 4u, 8u, 27u, 28u, 100u, 4095u, 4097u, 4100u, 4124u, 4136u, 4200u, 8191u, 8193u, 12000u}) {
    lengths.push_back(odd);
  }
  for (std::uint64_t p = 1; p * kPage < image.size(); p += 3) lengths.push_back(p * kPage + 1000 + p);
  lengths.push_back(image.size() - 1);
  std::erase_if(lengths, [&](std::uint64_t n) { return n >= image.size(); });
  return lengths;
}

// ---------------------------------------------------------------------------
// What every outcome must look like.

// "" when `message` is one non-empty line of valid UTF-8.
std::string message_problem(const std::string& message) {
  if (message.empty()) return "empty message";
  if (message.find_first_of("\r\n") != std::string::npos) return "message of more than one line: " + message;
  if (!simdjson::validate_utf8(message.data(), message.size())) return "message is not UTF-8";
  return "";
}

// "" when `report` is one line of JSON with the report's three keys.
std::string report_problem(const std::string& report) {
  if (report.empty() || report.back() != '\n' || report.find('\n') != report.size() - 1) {
    return "report is not one line ending in a line feed";
  }
  static simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (auto error = parser.parse(report).get(object); error)
    return std::string("report is not JSON: ") + simdjson::error_message(error);
  std::uint64_t version = 0;
  simdjson::dom::array tracks, playlists;
  if (object["version"].get(version) || version != 1 || object["tracks"].get(tracks) ||
      object["playlists"].get(playlists) || object.size() != 3) {
    return "report lacks its keys";
  }
  return "";
}

// Runs read and a patch on one damaged image (variant n gets patch request
// n mod 2); returns what went wrong, or "" when everything behaved. Every
// fourth variant also checks patch against patch_and_report and reads the
// patched image back on its own.
std::string examine(const Image& image, const Base& base, std::size_t n) {
  auto report = joined(read(image));
  if (report) {
    if (auto problem = report_problem(*report); !problem.empty()) return "read: " + problem;
  } else if (auto problem = message_problem(report.error().message); !problem.empty()) {
    return "read: " + problem;
  }
  const Request& request = base.patches[n % base.patches.size()];
  const std::string which = "patch " + std::to_string(n % base.patches.size()) + ": ";
  auto patched = patch_and_report(image, request);
  if (!patched) {
    if (auto problem = message_problem(patched.error().message); !problem.empty()) return which + problem;
    // An image that read refuses, patch refuses for the same reason.
    if (!report && patched.error().message != report.error().message) {
      return which + "fails with \"" + patched.error().message + "\" where read fails with \"" +
             report.error().message + "\"";
    }
  } else {
    if (!report) return which + "succeeds where read fails with \"" + report.error().message + "\"";
    if (patched->image.size() != image.size()) return which + "changed the length";
    if (auto problem = report_problem(patched->report); !problem.empty()) return which + problem;
  }
  if (n % 4 != 0) return "";
  auto plain = patch(image, request);
  if (plain.has_value() != patched.has_value()) return which + "patch and patch_and_report disagree";
  if (!plain) return plain.error().message == patched.error().message ? "" : which + "messages disagree";
  if (*plain != patched->image) return which + "patch and patch_and_report write different bytes";
  auto back = joined(read(*plain));
  if (!back) return which + "wrote an image that read refuses: " + back.error().message;
  if (*back != patched->report) return which + "its report is not read's report of its image";
  return "";
}

std::string hex(std::uint64_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

// Collects the first few problems of a sweep, so that a broken property
// shows its first cases instead of thousands of failures.
class Findings {
 public:
  void add(const std::string& what, const std::string& problem) {
    if (problem.empty()) return;
    if (++count_ <= 10) text_ += what + ": " + problem + "\n";
  }
  std::size_t count() const { return count_; }
  const std::string& text() const { return text_; }

 private:
  std::size_t count_ = 0;
  std::string text_;
};

// ---------------------------------------------------------------------------
// The sweep: one test per base and region, so that they run side by side.

struct SweepCase {
  std::string base;
  Region region;
  std::string region_name;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.base << " " << c.region_name; }

class DamagedByte : public ::testing::TestWithParam<SweepCase> {};

TEST_P(DamagedByte, ReadsOrFailsInOneLineAndPatchesReadBack) {
  const Base& base = base_named(GetParam().base);
  Image image = base.image;
  ASSERT_EQ(examine(image, base, 0), "");
  ASSERT_EQ(examine(image, base, 1), "");
  Findings findings;
  std::size_t variants = 0;
  // The large base gets one of the two values at each byte, in turn.
  const bool one_value = base.name == "Spanning";
  for (std::uint64_t pos : positions(base.image, GetParam().region)) {
    const std::uint8_t original = image[pos];
    std::vector<std::uint8_t> values = damaged_values(original, pos);
    if (one_value) values.erase(values.begin() + static_cast<std::ptrdiff_t>(pos / 2 % 2));
    for (std::uint8_t value : values) {
      image[pos] = value;
      findings.add("byte " + hex(pos) + " = " + hex(value), examine(image, base, variants));
      ++variants;
    }
    image[pos] = original;
  }
  EXPECT_EQ(findings.count(), 0u) << findings.count() << " of " << variants << " variants broke:\n" << findings.text();
  EXPECT_GT(variants, 0u);
}

std::vector<SweepCase> sweep_cases() {
  std::vector<SweepCase> cases;
  for (const std::string base : {"Example", "Spanning", "Patched"}) {
    // Both builds start from the blank image: one file header and directory
    // of theirs serve for both.
    if (base != "Spanning") {
      cases.push_back({base, Region::kFileHeader, "FileHeader"});
      cases.push_back({base, Region::kDirectory, "Directory"});
    }
    cases.push_back({base, Region::kPageHeaders, "PageHeaders"});
    cases.push_back({base, Region::kRowIndexes, "RowIndexes"});
    cases.push_back({base, Region::kRowsAndStrings, "RowsAndStrings"});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sweep, DamagedByte, ::testing::ValuesIn(sweep_cases()),
                         [](const auto& test) { return test.param.base + test.param.region_name; });

class TruncatedFile : public ::testing::TestWithParam<std::string> {};

TEST_P(TruncatedFile, ReadsOrFailsInOneLineAndPatchesReadBack) {
  const Base& base = base_named(GetParam());
  Findings findings;
  std::size_t short_of_a_page = 0;
  std::size_t n = 0;
  for (std::uint64_t length : truncations(base.image)) {
    const Image cut(base.image.begin(), base.image.begin() + static_cast<std::ptrdiff_t>(length));
    findings.add("cut to " + std::to_string(length), examine(cut, base, n++));
    auto report = read(cut);
    if (length % kPage != 0 || length == 0) {
      ++short_of_a_page;
      EXPECT_EQ(report ? "ok" : report.error().message, "Invalid PDB page size/length") << length;
    }
  }
  EXPECT_EQ(findings.count(), 0u) << findings.text();
  EXPECT_GT(short_of_a_page, 10u);
}

INSTANTIATE_TEST_SUITE_P(Sweep, TruncatedFile, ::testing::Values("Example", "Spanning", "Patched"));

// ---------------------------------------------------------------------------
// Rows that lie over what the patch rewrites: the input reads, but the
// patched bytes would not; the patch refuses instead of handing them on.

struct OverlapCase {
  std::string name;
  Image image;
  std::uint32_t track_id;
  std::uint64_t tempo_at;       // where the track's tempo lies
  std::string read_back_error;  // what read says of the retuned bytes
};

// A track row that starts 52 bytes before the end of its page, over its own
// row index, and runs into the next page, the header page of the genres:
// its tempo field is that page's page_index.
OverlapCase tempo_on_next_page_header() {
  t::ImageBuilder b;
  const std::uint32_t data_page = add_tables_with_one_track_page(b);
  constexpr std::uint64_t kFromEnd = 52;
  const std::vector<std::uint16_t> slots{static_cast<std::uint16_t>(kPage - f::kPageHeaderSize - kFromEnd)};
  b.set_row_index(data_page, slots);
  Image image = b.finish();
  const std::uint64_t row = (data_page + 1) * kPage - kFromEnd;
  EXPECT_EQ(row + tr::kTempoOffset, (data_page + 1) * kPage + f::kPageIndexOffset);
  // Its strings, all empty, lie in the reserved part of the header page.
  for (std::size_t s = 0; s < tr::kStringCount; ++s) {
    t::put_u16(image, row + tr::kStringOffsetsOffset + 2 * s, static_cast<std::uint16_t>(tr::kFixedSize));
  }
  t::put_u8(image, row + tr::kFixedSize, 0x03);
  return {"TempoOnNextPageHeader", image, t::get_u32(image, row + tr::kIdOffset), row + tr::kTempoOffset,
          "PDB page identity mismatch"};
}

// A genre row inside a track row, placed so that the kind byte of its name
// is the low byte of the track's tempo: tempo 257 makes it the empty string
// 0x01; 12850 would make it the unknown kind 0x32.
OverlapCase tempo_under_genre_name() {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t k = 0; k < 20; ++k) table[k] = b.add_table(k);
  const std::uint32_t genre_page = b.add_data_page(table[kind::genres]);
  t::TrackRowFields row_spec;
  row_spec.id = 5;
  row_spec.tempo = 257;
  const std::uint64_t row = b.add_row(table[kind::tracks], t::track_row(row_spec));
  const std::uint64_t name = row + tr::kTempoOffset;
  const std::uint64_t genre = name - vantrel_pdb::id_name_row::kNameOffset;
  const std::vector<std::uint16_t> slots{static_cast<std::uint16_t>(genre - genre_page * kPage - f::kPageHeaderSize)};
  b.set_row_index(genre_page, slots);
  return {"TempoUnderGenreName", b.finish(), 5, name, "unknown PDB string kind 0x32 at offset " + hex(name)};
}

Request retune(std::uint32_t track_id) {
  Request request;
  request.action = "patch";
  request.tempos[track_id] = 12850;
  return request;
}

class OverlappingRows : public ::testing::TestWithParam<std::function<OverlapCase()>> {
 protected:
  scratch::ScratchDir scratch_;
};

TEST_P(OverlappingRows, PatchRefusesWhatWouldNotReadBack) {
  const OverlapCase c = GetParam()();
  ASSERT_TRUE(read(c.image)) << read(c.image).error().message;
  // What the tempo write alone would leave behind.
  Image retuned = c.image;
  t::put_u32(retuned, c.tempo_at, 12850);
  auto broken = read(retuned);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().message, c.read_back_error);

  const std::string expected = std::string(kPatchWouldNotReadBack) + c.read_back_error;
  auto patched = patch(c.image, retune(c.track_id));
  ASSERT_FALSE(patched);
  EXPECT_EQ(patched.error().message, expected);
  auto reported = patch_and_report(c.image, retune(c.track_id));
  ASSERT_FALSE(reported);
  EXPECT_EQ(reported.error().message, expected);
  // Without the tempo the same file patches.
  Request plain;
  plain.action = "patch";
  auto kept = patch(c.image, plain);
  ASSERT_TRUE(kept) << kept.error().message;
  EXPECT_TRUE(read(*kept));

  const std::string input = scratch_.write("in.pdb", c.image);
  const std::string output = scratch_.path("out.pdb");
  cli_runner::expect_failure(
      cli_runner::run_dovrel(R"({"action":"patch","input":")" + input + R"(","output":")" + output +
                             R"(","tempos":{")" + std::to_string(c.track_id) + R"(":12850}})"),
      expected);
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"in.pdb"});

  // The same change with its check put off to the write (write_checked):
  // the check fails before the new file would take the output's place, the
  // change is undone, and the library reads as before.
  auto library = vantrel_pdb::Library::open(c.image);
  ASSERT_TRUE(library);
  library->defer_check();
  ASSERT_TRUE(library->set_tempo(c.track_id, 12850));
  Request request;
  request.output = output;
  auto written = write_checked(
      *library, request,
      [](const vantrel_pdb::PdbError& error) {
        EXPECT_TRUE(error.is<vantrel_pdb::pdb_error::UnreadableChange>()) << error.message();
        return patch_error(error);
      },
      [](vantrel_pdb::Bytes) -> Result<OutputLine> { return OutputLine("unused\n"); });
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message, expected);
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"in.pdb"});
  auto after = library->bytes();
  ASSERT_TRUE(after);
  EXPECT_EQ(Image(after->begin(), after->end()), c.image);

  // Waiting for the verdict beside a write changes no byte: the change is
  // undone only when the check is settled, which fails alike.
  library->defer_check();
  ASSERT_TRUE(library->set_tempo(c.track_id, 12850));
  auto writing = library->bytes_while_checking();
  ASSERT_TRUE(writing);
  auto verdict = library->await_check();
  ASSERT_FALSE(verdict);
  EXPECT_EQ(patch_error(verdict.error()).message, expected);
  EXPECT_EQ(Image(writing->begin(), writing->end()), retuned);
  auto settled = library->settle_check();
  ASSERT_FALSE(settled);
  EXPECT_EQ(settled.error().message(), verdict.error().message());
  EXPECT_EQ(Image(writing->begin(), writing->end()), c.image);

  // A write that fails too: a failed check is still the failure, and no line
  // is made for it; a change that reads back (the tempo the row had) fails
  // with the write's own error.
  request.output = scratch_.path("missing/out.pdb");
  const std::uint32_t had = t::get_u32(c.image, c.tempo_at);
  for (const std::uint32_t tempo : {12850u, had}) {
    SCOPED_TRACE(tempo);
    library->defer_check();
    ASSERT_TRUE(library->set_tempo(c.track_id, tempo));
    bool made = false;
    auto failed = write_checked(*library, request, patch_error, [&made](vantrel_pdb::Bytes) -> Result<OutputLine> {
      made = true;
      return OutputLine("unused\n");
    });
    ASSERT_FALSE(failed);
    auto now = library->bytes();
    ASSERT_TRUE(now);
    if (tempo == 12850) {
      EXPECT_EQ(failed.error().message, expected);
      EXPECT_FALSE(made);
      EXPECT_EQ(Image(now->begin(), now->end()), c.image);
    } else {
      EXPECT_TRUE(failed.error().message.starts_with("cannot write output ")) << failed.error().message;
    }
  }
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"in.pdb"});

  // An edit's last change is checked as the image is written, and named.
  cli_runner::expect_failure(
      cli_runner::run_dovrel(R"({"action":"edit","input":")" + input + R"(","output":")" + output +
                             R"(","changes":[{"op":"setTrack","id":)" + std::to_string(c.track_id) +
                             R"(,"bpm":128.5}]})"),
      "changes[0]: " + vantrel_pdb::PdbError(vantrel_pdb::pdb_error::UnreadableChange{c.read_back_error}).message());
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"in.pdb"});
}

INSTANTIATE_TEST_SUITE_P(Cases, OverlappingRows,
                         ::testing::Values(std::function<OverlapCase()>(tempo_on_next_page_header),
                                           std::function<OverlapCase()>(tempo_under_genre_name)),
                         [](const auto& test) { return test.param().name; });

// ---------------------------------------------------------------------------
// Through the real binary: a sample of damaged files gives what the
// functions give, on standard output or standard error.

std::string json_ids(const std::vector<std::uint32_t>& ids) {
  std::string out = "[";
  for (std::uint32_t id : ids) out += (out.size() > 1 ? "," : "") + std::to_string(id);
  return out + "]";
}

// The JSON form of one of the sweep's patch requests, for `input` and `output`.
std::string patch_json(const Request& r, const std::string& input, const std::string& output) {
  std::string out = R"({"action":"patch","input":")" + input + R"(","output":")" + output + "\"";
  if (r.keep_tracks) out += ",\"keepTracks\":" + json_ids(*r.keep_tracks);
  if (r.keep_playlists) out += ",\"keepPlaylists\":" + json_ids(*r.keep_playlists);
  out += ",\"tempos\":{";
  bool first = true;
  for (const auto& [id, tempo] : r.tempos) {
    out += (first ? "\"" : ",\"") + std::to_string(id) + "\":" + std::to_string(tempo);
    first = false;
  }
  return out + "}}";
}

struct Sample {
  std::string what;
  std::string base;
  std::function<void(Image&)> damage;
};

std::uint64_t first_track_row(const Image& image) {
  return Database::from_bytes(image)->row_locations(kind::tracks)[0];
}

std::vector<Sample> samples() {
  return {
      {"cut after ten pages", "Example", [](Image& i) { i.resize(10 * kPage); }},
      {"tracks page with a wrong index", "Example",
       [](Image& i) { t::put_u32(i, first_track_row(i) / kPage * kPage + f::kPageIndexOffset, 9); }},
      {"title of an unknown kind", "Example",
       [](Image& i) {
         const std::uint64_t row = first_track_row(i);
         t::put_u8(i, row + t::get_u16(i, row + tr::kStringOffsetsOffset + 2 * tr::kTitleSlot), 0x02);
       }},
      {"first track deleted", "Example",
       [](Image& i) {
         const std::uint64_t flags = (first_track_row(i) / kPage + 1) * kPage - f::kPresentFlagsFromGroupEnd;
         t::put_u16(i, flags, static_cast<std::uint16_t>(t::get_u16(i, flags) & ~1u));
       }},
      {"slot offset moved into a row", "Spanning",
       [](Image& i) {
         const std::uint64_t slot = (first_track_row(i) / kPage + 1) * kPage - f::kSlotOffsetsFromGroupEnd;
         t::put_u16(i, slot, static_cast<std::uint16_t>(t::get_u16(i, slot) + 7));
       }},
      {"chain looping back", "Patched",
       [](Image& i) { t::put_u32(i, first_track_row(i) / kPage * kPage + f::kNextPageOffset, 1); }},
      {"page size 512", "Patched", [](Image& i) { t::put_u32(i, f::kPageSizeOffset, 512); }},
      {"201 tables", "Spanning", [](Image& i) { t::put_u32(i, f::kTableCountOffset, 201); }},
  };
}

class DamagedFileCommand : public ::testing::TestWithParam<Sample> {
 protected:
  scratch::ScratchDir scratch_;
};

void PrintTo(const Sample& s, std::ostream* os) { *os << s.what; }

TEST_P(DamagedFileCommand, PrintsWhatTheFunctionsGive) {
  const Base& base = base_named(GetParam().base);
  Image image = base.image;
  GetParam().damage(image);
  const std::string input = scratch_.write("in.pdb", image);

  auto expected_read = joined(read(image));
  auto run = cli_runner::run_dovrel(R"({"action":"read","input":")" + input + R"("})");
  if (expected_read) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, *expected_read);
    EXPECT_EQ(run.err, "");
  } else {
    cli_runner::expect_failure(run, expected_read.error().message);
  }

  for (std::size_t i = 0; i < base.patches.size(); ++i) {
    const std::string output = scratch_.path("out" + std::to_string(i) + ".pdb");
    auto expected = patch_and_report(image, base.patches[i]);
    auto patched = cli_runner::run_dovrel(patch_json(base.patches[i], input, output));
    if (expected) {
      EXPECT_EQ(patched.status, 0) << patched.err;
      EXPECT_EQ(patched.out, expected->report);
      EXPECT_EQ(scratch::read_whole(output), expected->image);
    } else {
      cli_runner::expect_failure(patched, expected.error().message);
      EXPECT_TRUE(scratch::read_whole(output).empty());
    }
  }
  EXPECT_EQ(scratch::read_whole(input), image);
}

INSTANTIATE_TEST_SUITE_P(Samples, DamagedFileCommand, ::testing::ValuesIn(samples()), [](const auto& test) {
  std::string name;
  for (char c : test.param.what) {
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  }
  return name;
});

// ---------------------------------------------------------------------------
// Hostile files through the real binary: memory stays in proportion to the
// file. Without the decode budget the first would take some 700 MB of text,
// the second some 80 MB of track records (and 200 walks of its chain).

// A file of 1 MiB whose one data page has 511 slots naming the same track
// row, each of whose 21 strings names the same string of 65,535 bytes.
Image shared_rows_and_strings() {
  t::ImageBuilder b;
  const std::uint32_t data_page = add_tables_with_one_track_page(b);
  b.set_row_index(data_page, std::vector<std::uint16_t>(f::kMaxSlotsPerPage, 0));
  Image image = b.finish();
  image.resize(std::size_t{1} << 20, 0);
  const std::uint64_t row = data_page * kPage + f::kPageHeaderSize;
  for (std::size_t s = 0; s < tr::kStringCount; ++s) {
    t::put_u16(image, row + tr::kStringOffsetsOffset + 2 * s, static_cast<std::uint16_t>(tr::kFixedSize));
  }
  t::put_u8(image, row + tr::kFixedSize, vantrel_pdb::kLongAsciiKind);
  t::put_u16(image, row + tr::kFixedSize + 1, 0xFFFF);
  return image;
}

// 200 pages whose 511 slots all name one track row of empty strings, and
// 200 directory entries of kind 0 sharing that chain.
Image tables_sharing_pages() {
  t::ImageBuilder b;
  auto table = b.add_table(kind::tracks);
  const auto row = t::track_row(t::TrackRowFields{});
  for (int k = 0; k < 200; ++k) {
    const std::uint32_t p = b.add_data_page(table);
    b.set_row_index(p, std::vector<std::uint16_t>(f::kMaxSlotsPerPage, 0));
    std::copy(row.begin(), row.end(), b.bytes().begin() + static_cast<std::ptrdiff_t>(p * kPage + f::kPageHeaderSize));
  }
  Image image = b.finish();
  t::put_u32(image, f::kTableCountOffset, vantrel_pdb::kMaxTableCount);
  for (std::uint32_t i = 1; i < vantrel_pdb::kMaxTableCount; ++i) {
    std::copy_n(image.begin() + f::kDirectoryOffset, f::kTableEntrySize,
                image.begin() + static_cast<std::ptrdiff_t>(f::kDirectoryOffset + f::kTableEntrySize * i));
  }
  return image;
}

class HostileFileCommand : public ::testing::Test {
 protected:
  scratch::ScratchDir scratch_;
};

// Resident bytes a run may take per byte of the file, beyond its own start.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kFileMemoryFactor = 48;  // shadow memory, redzones and the allocator's quarantine
#else
constexpr std::size_t kFileMemoryFactor = 24;
#endif

TEST_F(HostileFileCommand, MemoryStaysInProportionToTheFile) {
  const std::string sound = scratch_.write("sound.pdb", base_named("Example").image);
  auto baseline = cli_runner::run_dovrel(R"({"action":"read","input":")" + sound + R"("})");
  ASSERT_EQ(baseline.status, 0) << baseline.err;
  // The run's own start, counted generously: the baseline run's peak.
  const long own = baseline.peak_rss_kib;

  for (const auto& [name, make] : {std::pair<std::string, Image (*)()>{"shared", shared_rows_and_strings},
                                   std::pair<std::string, Image (*)()>{"tables", tables_sharing_pages}}) {
    std::string input;
    std::string message;
    std::size_t size = 0;
    {
      const Image image = make();
      ASSERT_TRUE(vantrel_pdb::validate(image)) << name;
      auto in_process = read(image);
      ASSERT_FALSE(in_process) << name;
      message = in_process.error().message;
      EXPECT_TRUE(message.ends_with("the image repeats rows or strings")) << message;
      input = scratch_.write(name + ".pdb", image);
      size = image.size();
    }
    for (const std::string& request :
         {R"({"action":"read","input":")" + input + R"("})",
          R"({"action":"patch","input":")" + input + R"(","output":")" + scratch_.path("out.pdb") + R"("})"}) {
      const long limit_kib = cli_runner::current_rss_kib() + own + static_cast<long>(kFileMemoryFactor * size / 1024);
      auto run = cli_runner::run_dovrel(request);
      cli_runner::expect_failure(run, message);
      EXPECT_LE(run.peak_rss_kib, limit_kib) << name << ": " << request;
    }
  }
}

}  // namespace
}  // namespace dovrel
