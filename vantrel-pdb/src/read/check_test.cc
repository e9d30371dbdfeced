#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "format/blank_image.h"
#include "format/coding.h"
#include "format/format.h"
#include "format/strings.h"
#include "format/validate.h"
#include "read/database.h"
#include "read/named_rows.h"
#include "read/playlist_rows.h"
#include "read/track.h"
#include "testing/image_builder.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
namespace k = table_kind;
namespace t = testing;
using Image = std::vector<std::uint8_t>;
constexpr std::uint64_t kPage = f::kPageSize;

// A library with every kind of reference: tracks with artists, albums,
// genres, keys, labels and artwork; a folder holding two playlists.
Image sample_library() {
  Library library = Library::create();
  for (std::uint32_t i = 1; i <= 6; ++i) {
    TrackInput track;
    track.id = 100 + i;
    track.title = "Title " + std::to_string(i);
    track.artist = "Artist " + std::to_string(i % 3);
    track.album = "Album " + std::to_string(i % 2);
    track.genre = "Genre";
    track.key = "8A";
    track.label = "Label " + std::to_string(i % 2);
    track.audio_path = "/music/" + std::to_string(i) + ".flac";
    track.analysis_path = "/scans/" + std::to_string(i) + ".dat";
    track.artwork_path = i % 2 ? "/art/" + std::to_string(i) + ".jpg" : "";
    track.comment = i == 2 ? "caf\xc3\xa9" : "";
    track.tempo = 12000 + i;
    EXPECT_TRUE(library.add_track(std::move(track)));
  }
  const std::vector<PlaylistInput> playlists = {
      {1, "Folder", 0, true, {}}, {2, "Warm-up", 1, false, {101, 102, 103}}, {3, "Peak", 1, false, {104, 105}}};
  EXPECT_TRUE(library.add_playlists(playlists));
  auto bytes = std::move(library).take_bytes();
  EXPECT_TRUE(bytes);
  return *bytes;
}

Database decode(const Image& image) {
  auto db = Database::from_bytes(image);
  EXPECT_TRUE(db) << db.error().message();
  return *db;
}

std::set<std::string> codes(const Findings& findings) {
  std::set<std::string> out;
  for (const Finding& finding : findings.list) out.insert(finding.code);
  return out;
}

std::string listing(const Findings& findings) {
  std::string out;
  for (const Finding& finding : findings.list) out += finding.code + ": " + finding.message + "\n";
  return out;
}

TEST(Check, SoundImagesHaveNoFindings) {
  for (const Image& image : {make_blank_image(), sample_library()}) {
    const Findings findings = check(image);
    EXPECT_TRUE(findings.ok());
    EXPECT_TRUE(findings.list.empty()) << listing(findings);
    EXPECT_EQ(findings.pages, image.size() / kPage);
    ASSERT_EQ(findings.rows.size(), 20u);
    for (std::uint32_t kind = 0; kind < 20; ++kind) EXPECT_EQ(findings.rows[kind].kind, kind);
  }
  const Findings findings = check(sample_library());
  EXPECT_EQ(findings.rows[k::tracks].present, 6u);
  EXPECT_EQ(findings.rows[k::playlist_tree].present, 3u);
  EXPECT_EQ(findings.rows[k::playlist_entries].present, 5u);
  EXPECT_EQ(findings.rows[k::artwork].present, 3u);
}

TEST(Check, CountsAbsentRows) {
  Library library = Library::create();
  for (std::uint32_t id : {1u, 2u, 3u}) {
    TrackInput track;
    track.id = id;
    track.audio_path = "/music/t.mp3";
    ASSERT_TRUE(library.add_track(std::move(track)));
  }
  ASSERT_TRUE(library.keep_only(std::vector<std::uint32_t>{2}, std::nullopt));
  const Findings findings = check(*library.bytes());
  EXPECT_TRUE(findings.list.empty()) << listing(findings);
  EXPECT_EQ(findings.rows[k::tracks].present, 1u);
  EXPECT_EQ(findings.rows[k::tracks].absent, 2u);
}

// Where things are in the sample library.
struct Sample {
  Image image = sample_library();
  Database db = decode(image);

  std::uint64_t row(std::uint32_t kind, std::size_t i) const { return db.row_locations(kind)[i]; }
  std::uint32_t page_of(std::uint64_t location) const { return static_cast<std::uint32_t>(location / kPage); }
  std::uint64_t page_start(std::uint32_t kind) const { return row(kind, 0) / kPage * kPage; }
  std::uint64_t entry(std::uint32_t kind) const { return f::kDirectoryOffset + f::kTableEntrySize * kind; }
  std::uint32_t header_page(std::uint32_t kind) const { return db.tables[kind].first_page; }
  // The position of string slot `slot` of track i.
  std::uint64_t track_string(std::size_t i, std::size_t slot) const {
    const std::uint64_t r = row(k::tracks, i);
    return r + t::get_u16(image, r + track_row::kStringOffsetsOffset + 2 * slot);
  }
  // Slot offset word of slot s of the page starting at `start`.
  static std::uint64_t slot_word(std::uint64_t start, std::uint32_t s) {
    return start + f::group_end(kPage, s / 16) - f::kSlotOffsetsFromGroupEnd - 2 * (s % 16);
  }
};

struct Damage {
  const char* code;
  std::function<void(Sample&)> apply;
};

class CheckDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckDamage, IsFound) {
  Sample s;
  GetParam().apply(s);
  const Findings findings = check(s.image);
  const std::set<std::string> found = codes(findings);
  EXPECT_TRUE(found.contains(GetParam().code)) << listing(findings);
  // ok() holds exactly when no finding is an error.
  bool any_error = false;
  for (const Finding& finding : findings.list) {
    const FindingKind* kind = find_finding_kind(finding.code);
    ASSERT_NE(kind, nullptr) << finding.code;
    EXPECT_EQ(kind->severity, finding.severity) << finding.code;
    any_error |= finding.severity == Severity::kError;
    EXPECT_FALSE(finding.message.empty());
  }
  EXPECT_EQ(findings.ok(), !any_error);
  EXPECT_EQ(findings.errors + findings.warnings, findings.list.size());
  // What passes the check passes the structure check and decodes.
  if (findings.ok()) {
    EXPECT_TRUE(validate(s.image));
    EXPECT_TRUE(Database::from_bytes(s.image));
  }
}

const Damage kDamages[] = {
    {"file-length", [](Sample& s) { s.image.resize(s.image.size() - 100); }},
    {"page-size", [](Sample& s) { t::put_u32(s.image, f::kPageSizeOffset, 8192); }},
    {"table-count", [](Sample& s) { t::put_u32(s.image, f::kTableCountOffset, 201); }},
    {"table-missing", [](Sample& s) { t::put_u32(s.image, s.entry(19), 25); }},
    {"table-duplicate", [](Sample& s) { t::put_u32(s.image, s.entry(19), 18); }},
    {"next-unused-page", [](Sample& s) { t::put_u32(s.image, f::kNextUnusedPageOffset, 5); }},
    {"page-unreachable", [](Sample& s) { s.image.resize(s.image.size() + 30 * kPage, 0); }},
    {"chain-link", [](Sample& s) { t::put_u32(s.image, s.entry(k::tracks) + f::kEntryFirstPageOffset, 0); }},
    {"chain-link",
     [](Sample& s) { t::put_u32(s.image, s.header_page(k::genres) * kPage + f::kNextPageOffset, 99999); }},
    {"chain-loop",
     [](Sample& s) {
       // The data page links back to the header page, and the chain's last page is elsewhere.
       t::put_u32(s.image, s.page_start(k::genres) + f::kNextPageOffset, s.header_page(k::genres));
       t::put_u32(s.image, s.entry(k::genres) + f::kEntryLastPageOffset, 40);
     }},
    {"page-shared",
     [](Sample& s) { t::put_u32(s.image, s.entry(k::genres) + f::kEntryFirstPageOffset, s.header_page(k::tracks)); }},
    {"page-identity", [](Sample& s) { t::put_u32(s.image, s.page_start(k::artists) + f::kPageIndexOffset, 77); }},
    {"page-table", [](Sample& s) { t::put_u32(s.image, s.page_start(k::artists) + f::kPageKindOffset, 5); }},
    {"page-type", [](Sample& s) { s.image[s.page_start(k::keys) + f::kPageFlagsOffset] |= f::kPageFlagNoRows; }},
    {"page-type",
     [](Sample& s) {
       s.image[s.header_page(k::colors) * kPage + f::kPageFlagsOffset] &=
           static_cast<std::uint8_t>(~f::kPageFlagNoRows);
     }},
    {"empty-candidate", [](Sample& s) { t::put_u32(s.image, s.page_start(k::keys) + f::kNextPageOffset, 3); }},
    {"empty-candidate",
     [](Sample& s) {
       t::put_u32(s.image, s.entry(k::colors) + f::kEntryEmptyCandidateOffset, s.header_page(k::keys));
     }},
    {"first-data-page",
     [](Sample& s) { t::put_u32(s.image, s.header_page(k::labels) * kPage + f::kFirstDataPageOffset, 12345); }},
    {"row-directory", [](Sample& s) { s.image[s.page_start(k::tracks) + f::kPackedCountsOffset + 1] |= 0x02; }},
    {"row-count", [](Sample& s) { s.image[s.page_start(k::tracks) + f::kPackedCountsOffset + 2] ^= 0x01; }},
    {"heap-overflow", [](Sample& s) { t::put_u16(s.image, s.page_start(k::tracks) + f::kUsedSizeOffset, 4090); }},
    {"free-size",
     [](Sample& s) {
       const std::uint64_t at = s.page_start(k::tracks) + f::kFreeSizeOffset;
       t::put_u16(s.image, at, static_cast<std::uint16_t>(t::get_u16(s.image, at) + 4));
     }},
    {"row-outside-heap",
     [](Sample& s) {
       const std::uint64_t start = s.page_start(k::genres);
       t::put_u16(s.image, Sample::slot_word(start, 0), t::get_u16(s.image, start + f::kUsedSizeOffset));
     }},
    {"row-overlap",
     [](Sample& s) {
       const std::uint64_t start = s.page_start(k::tracks);
       t::put_u16(s.image, Sample::slot_word(start, 1), t::get_u16(s.image, Sample::slot_word(start, 0)));
     }},
    {"row-overlap",
     [](Sample& s) {
       // A string of track 0 is track 1's title.
       const std::uint64_t r = s.row(k::tracks, 0);
       t::put_u16(s.image, r + track_row::kStringOffsetsOffset + 2 * track_row::kCommentSlot,
                  static_cast<std::uint16_t>(s.track_string(1, track_row::kTitleSlot) - r));
     }},
    {"string-kind",
     [](Sample& s) {
       const std::uint64_t at = s.track_string(0, track_row::kTitleSlot);
       s.image[at] = 0x02;
       t::put_u16(s.image, at + 1, 4);
     }},
    {"string-cut",
     [](Sample& s) {
       const std::uint64_t at = s.track_string(0, track_row::kTitleSlot);
       s.image[at] = 0x40;
       t::put_u16(s.image, at + 1, 0xFFFF);
     }},
    {"text-replaced", [](Sample& s) { s.image[s.track_string(0, track_row::kTitleSlot) + 1] = 0xFF; }},
    {"text-replaced",
     [](Sample& s) {
       // Track 102's comment is UTF-16: a lone high surrogate at its end.
       const std::uint64_t at = s.track_string(1, track_row::kCommentSlot);
       ASSERT_EQ(s.image[at], kUtf16Kind);
       t::put_u16(s.image, at + 4 + 6, 0xD800);
     }},
    {"duplicate-id",
     [](Sample& s) {
       t::put_u32(s.image, s.row(k::tracks, 1) + track_row::kIdOffset,
                  t::get_u32(s.image, s.row(k::tracks, 0) + track_row::kIdOffset));
     }},
    {"duplicate-id",
     [](Sample& s) {
       t::put_u32(s.image, s.row(k::labels, 1) + id_name_row::kIdOffset,
                  t::get_u32(s.image, s.row(k::labels, 0) + id_name_row::kIdOffset));
     }},
    {"missing-artist", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 0) + track_row::kArtistIdOffset, 999); }},
    {"missing-artist", [](Sample& s) { t::put_u32(s.image, s.row(k::albums, 0) + album_row::kArtistIdOffset, 999); }},
    {"missing-album", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 0) + track_row::kAlbumIdOffset, 999); }},
    {"missing-genre", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 0) + track_row::kGenreIdOffset, 999); }},
    {"missing-key", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 0) + track_row::kKeyIdOffset, 999); }},
    {"missing-label", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 0) + track_row::kLabelIdOffset, 999); }},
    {"missing-artwork", [](Sample& s) { t::put_u32(s.image, s.row(k::tracks, 1) + track_row::kArtworkIdOffset, 999); }},
    {"missing-track",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_entries, 0) + entry_row::kTrackIdOffset, 999); }},
    {"missing-playlist",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_entries, 0) + entry_row::kPlaylistIdOffset, 999); }},
    {"entry-in-folder",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_entries, 0) + entry_row::kPlaylistIdOffset, 1); }},
    {"orphan-playlist",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_tree, 1) + playlist_tree_row::kParentIdOffset, 77); }},
    {"parent-not-folder",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_tree, 2) + playlist_tree_row::kParentIdOffset, 2); }},
    {"playlist-cycle",
     [](Sample& s) { t::put_u32(s.image, s.row(k::playlist_tree, 0) + playlist_tree_row::kParentIdOffset, 2); }},
};

INSTANTIATE_TEST_SUITE_P(Codes, CheckDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& case_info) {
                           std::string name = std::to_string(case_info.index) + "_" + case_info.param.code;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(Check, EveryCodeHasADamageCaseAndOneSeverity) {
  std::set<std::string> covered;
  for (const Damage& damage : kDamages) covered.insert(damage.code);
  std::set<std::string> all;
  for (const FindingKind& kind : finding_kinds()) {
    EXPECT_TRUE(all.insert(std::string(kind.code)).second) << kind.code;
    EXPECT_FALSE(kind.meaning.empty());
  }
  EXPECT_EQ(covered, all);
}

TEST(Check, PlacesTheFinding) {
  Sample s;
  const std::uint64_t title = s.track_string(2, track_row::kTitleSlot);
  s.image[title + 1] = 0xC3;  // a lead byte followed by ASCII
  const Findings findings = check(s.image);
  ASSERT_EQ(findings.list.size(), 1u) << listing(findings);
  const Finding& finding = findings.list[0];
  EXPECT_EQ(finding.code, "text-replaced");
  EXPECT_EQ(finding.severity, Severity::kWarning);
  EXPECT_EQ(finding.page, s.page_of(title));
  EXPECT_EQ(finding.table, k::tracks);
  EXPECT_EQ(finding.row, 2u);
  EXPECT_EQ(finding.offset, title);
  EXPECT_EQ(finding.id, 103u);
  EXPECT_EQ(finding.message, "row 2 of page " + std::to_string(s.page_of(title)) +
                                 " (table tracks): the title string holds invalid UTF-8, which read as U+FFFD");
  EXPECT_TRUE(findings.ok());
}

// The id checks keep a bit per id while the ids lie close together and a
// sorted list while they lie far apart; rows are found by their page and
// slot on every page of a table. Each spread of ids gives the same findings
// at the same places: a repeated id on a later track page, and entries that
// name tracks no row has (past the largest id, far past it, and the id the
// repeat took away).
class CheckIdSpread : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CheckIdSpread, FindsRepeatsAndMissingTracksAtTheirPlaces) {
  const std::uint32_t step = GetParam();
  const auto id = [&](std::uint32_t i) { return 1 + i * step; };
  constexpr std::uint32_t kTracks = 40;
  Library library = Library::create();
  PlaylistInput list{1, "All", 0, false, {}};
  for (std::uint32_t i = 0; i < kTracks; ++i) {
    TrackInput track;
    track.id = id(i);
    track.title = std::string(200, 't');  // a few tracks to a page
    track.audio_path = "/music/" + std::to_string(i) + ".flac";
    ASSERT_TRUE(library.add_track(std::move(track)));
    list.tracks.push_back(id(i));
  }
  ASSERT_TRUE(library.add_playlists(std::vector<PlaylistInput>{list}));
  Image image = *std::move(library).take_bytes();
  const Database db = decode(image);
  const auto tracks = db.row_locations(k::tracks);
  const auto entries = db.row_locations(k::playlist_entries);
  ASSERT_GT(tracks.back() / kPage, tracks.front() / kPage);
  t::put_u32(image, tracks[35] + track_row::kIdOffset, id(2));
  const std::uint32_t far = 2'000'000'007;
  t::put_u32(image, entries[0] + entry_row::kTrackIdOffset, id(kTracks));
  t::put_u32(image, entries[1] + entry_row::kTrackIdOffset, far);

  const Findings findings = check(image);
  ASSERT_EQ(findings.list.size(), 4u) << listing(findings);
  const Finding& repeat = findings.list[0];
  EXPECT_EQ(repeat.code, "duplicate-id");
  EXPECT_EQ(repeat.offset, tracks[35]);
  EXPECT_EQ(repeat.page, tracks[35] / kPage);
  EXPECT_EQ(repeat.id, id(2));
  const std::pair<std::size_t, std::uint32_t> missing[] = {{0, id(kTracks)}, {1, far}, {35, id(35)}};
  for (std::size_t i = 0; i < 3; ++i) {
    const Finding& finding = findings.list[1 + i];
    EXPECT_EQ(finding.code, "missing-track");
    EXPECT_EQ(finding.offset, entries[missing[i].first]);
    EXPECT_EQ(finding.message,
              "an entry of playlist 1 names track " + std::to_string(missing[i].second) + ", which no track row has");
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, CheckIdSpread, ::testing::Values(1u, 3u, 100'000'000u));

TEST(Check, ListsAtMostTheLimitAndCountsTheRest) {
  Sample s;
  for (std::size_t i = 0; i < 6; ++i) t::put_u32(s.image, s.row(k::tracks, i) + track_row::kGenreIdOffset, 999);
  const Findings all = check(s.image);
  EXPECT_EQ(all.list.size(), 6u);
  const Findings two = check(s.image, 2);
  EXPECT_EQ(two.list.size(), 2u);
  EXPECT_EQ(two.warnings, 6u);
  const Findings none = check(s.image, 0);
  EXPECT_TRUE(none.list.empty());
  EXPECT_EQ(none.warnings, 6u);
}

TEST(Check, UnreachablePagesAreOneFindingPerRun) {
  Sample s;
  const std::uint64_t pages = s.image.size() / kPage;
  s.image.resize(s.image.size() + 50 * kPage, 0);
  t::put_u32(s.image, f::kNextUnusedPageOffset, static_cast<std::uint32_t>(pages + 60));
  const Findings findings = check(s.image);
  std::size_t runs = 0;
  for (const Finding& finding : findings.list) runs += finding.code == "page-unreachable";
  EXPECT_LE(runs, 1u) << listing(findings);
  EXPECT_GE(runs, 1u) << listing(findings);
}

TEST(Check, ShortAndEmptyFiles) {
  for (std::size_t length : {0u, 1u, 27u, 28u, 100u, 4095u, 4097u}) {
    Image image = make_blank_image();
    image.resize(length);
    const Findings findings = check(image);
    EXPECT_FALSE(findings.ok()) << length;
    EXPECT_TRUE(codes(findings).contains("file-length")) << length;
  }
}

TEST(Check, HostileRowIndexCostsNoMoreThanThePage) {
  // Every slot of a page names the same track row, whose 21 string offsets
  // all name one long string: examined once, the rest are overlaps.
  t::ImageBuilder b;
  for (std::uint32_t kind = 0; kind < 20; ++kind) b.add_table(kind);
  const std::uint32_t page = b.add_data_page(0);
  Image& image = b.bytes();
  const std::uint64_t start = std::uint64_t{page} * kPage;
  std::vector<std::uint16_t> offsets(511, 0);
  b.set_row_index(page, offsets);
  for (std::size_t i = 0; i < track_row::kStringCount; ++i) {
    t::put_u16(image, start + 40 + track_row::kStringOffsetsOffset + 2 * i, track_row::kFixedSize);
  }
  image[start + 40 + track_row::kFixedSize] = 0x40;
  t::put_u16(image, start + 40 + track_row::kFixedSize + 1, 1000);
  t::put_u16(image, start + f::kUsedSizeOffset, 2000);
  Image finished = b.finish();
  const Findings findings = check(finished);
  std::size_t overlaps = 0;
  for (const Finding& finding : findings.list) overlaps += finding.code == "row-overlap";
  EXPECT_EQ(overlaps, 510u) << listing(findings);
  EXPECT_EQ(findings.rows[k::tracks].present, 511u);
}

}  // namespace
}  // namespace vantrel_pdb
