#include "patch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "build.h"
#include "cli_runner_test_util.h"
#include "format/coding.h"
#include "format/format.h"
#include "output_line_test_util.h"
#include "read/database.h"
#include "read/track.h"
#include "report.h"
#include "scratch_dir_test_util.h"
#include "testing/image_builder.h"

namespace dovrel {
namespace {

namespace f = vantrel_pdb::format;
namespace kind = vantrel_pdb::table_kind;
namespace t = vantrel_pdb::testing;
using Image = std::vector<std::uint8_t>;
using IdList = std::vector<std::uint32_t>;
using vantrel_pdb::Database;
using vantrel_pdb::TempoMap;

constexpr std::uint64_t kPage = f::kPageSize;
constexpr std::uint32_t kLastKind = 19;

std::uint32_t default_tempo(std::uint32_t track_id) { return 12000 + 100 * track_id; }

// The library most cases start from:
//   tracks 1 and 2 on one data page, track 3 on the next (tempo 12000 + 100 id);
//   folder 10 at the top, playlist 11 inside it, playlist 12 at the top;
//   entries 11: 1, 2 and 12: 3, 1 (in this table order);
//   one history playlist (id 1) with entries for tracks 1 and 2;
//   one artist, which no patch ever removes.
struct Library {
  Image image;
  std::vector<std::uint64_t> track_rows;
  std::uint32_t last_kind_table = 0;  // directory index of kind 19, for extra pages
};

Library make_library(t::ImageBuilder b = t::ImageBuilder()) {
  std::size_t table[kLastKind + 1];
  for (std::uint32_t k = 0; k <= kLastKind; ++k) table[k] = b.add_table(k);
  Library lib;
  b.add_row(table[kind::artists], t::artist_row(1, "Artist"));
  for (std::uint32_t id = 1; id <= 3; ++id) {
    if (id == 3) b.add_data_page(table[kind::tracks]);
    t::TrackRowFields row_spec;
    row_spec.id = id;
    row_spec.artist_id = 1;
    row_spec.tempo = default_tempo(id);
    lib.track_rows.push_back(b.add_row(table[kind::tracks], t::track_row(row_spec.title("T" + std::to_string(id)))));
  }
  b.add_row(table[kind::playlist_tree], t::tree_row(0, 0, 10, true, "Folder"));
  b.add_row(table[kind::playlist_tree], t::tree_row(10, 0, 11, false, "Inside"));
  b.add_row(table[kind::playlist_tree], t::tree_row(0, 1, 12, false, "Top"));
  b.add_row(table[kind::playlist_entries], t::entry_row(1, 1, 11));
  b.add_row(table[kind::playlist_entries], t::entry_row(2, 2, 11));
  b.add_row(table[kind::playlist_entries], t::entry_row(1, 3, 12));
  b.add_row(table[kind::playlist_entries], t::entry_row(2, 1, 12));
  b.add_row(table[kind::history_playlists], t::id_name_row(1, "History"));
  b.add_row(table[kind::history_entries], t::entry_row(1, 1, 1));
  b.add_row(table[kind::history_entries], t::entry_row(2, 2, 1));
  lib.last_kind_table = static_cast<std::uint32_t>(table[kLastKind]);
  lib.image = b.finish();
  return lib;
}

Request patch_request(std::optional<IdList> keep_tracks = std::nullopt,
                      std::optional<IdList> keep_playlists = std::nullopt, TempoMap tempos = {}) {
  Request r;
  r.action = "patch";
  r.keep_tracks = std::move(keep_tracks);
  r.keep_playlists = std::move(keep_playlists);
  r.tempos = std::move(tempos);
  return r;
}

Image patched(const Image& image, const Request& request) {
  auto out = patch(image, request);
  EXPECT_TRUE(out.has_value()) << out.error().message;
  return out ? *out : Image();
}

std::string patch_error(const Image& image, const Request& request = patch_request()) {
  auto out = patch(image, request);
  return out ? "ok" : out.error().message;
}

Database decode(const Image& image) {
  auto db = Database::from_bytes(image);
  EXPECT_TRUE(db.has_value());
  return db ? std::move(*db) : Database();
}

std::uint8_t* page_at(Image& image, std::uint64_t p) { return image.data() + p * kPage; }

// The packed counts a data page should carry: its 13-bit slot count and the
// number of present bits among its slots in use.
std::uint32_t expected_counts(const Image& image, std::uint64_t p) {
  const std::uint8_t* page = image.data() + p * kPage;
  std::uint32_t n = vantrel_pdb::decode_fixed24(page + f::kPackedCountsOffset) & f::kSlotCountMask;
  std::uint32_t present = 0;
  for (std::uint32_t g = 0; g * f::kSlotsPerGroup < n; ++g) {
    std::uint32_t in_use = std::min<std::uint32_t>(f::kSlotsPerGroup, n - g * f::kSlotsPerGroup);
    std::uint32_t flags = vantrel_pdb::decode_fixed16(page + f::group_end(kPage, g) - f::kPresentFlagsFromGroupEnd);
    present += static_cast<std::uint32_t>(std::popcount(flags & ((1u << in_use) - 1)));
  }
  return n | (present << f::kPresentRowCountShift);
}

// Checks the invariants of every successful patch: same length, header and
// page sequences; every byte that changed is a data page's packed count, a
// present_flags word of a group in use, or the tempo of one of
// `tempo_rows`; and every data page's packed counts agree with its flags.
void expect_only_flags_counts_and_tempos(const Image& before, const Image& after,
                                         const std::vector<std::uint64_t>& tempo_rows = {}) {
  ASSERT_EQ(after.size(), before.size());
  std::vector<bool> may_change(before.size(), false);
  for (std::uint64_t p = 1; p < before.size() / kPage; ++p) {
    const std::uint64_t start = p * kPage;
    EXPECT_EQ(t::get_u32(after, start + f::kPageSequenceOffset), t::get_u32(before, start + f::kPageSequenceOffset));
    if (before[start + f::kPageFlagsOffset] & f::kPageFlagNoRows) continue;
    for (std::uint64_t i = 0; i < 3; ++i) may_change[start + f::kPackedCountsOffset + i] = true;
    std::uint32_t n = t::get_u32(before, start + f::kPackedCountsOffset) & f::kSlotCountMask;
    for (std::uint64_t g = 0; g < f::groups_for_slots(n); ++g) {
      std::uint64_t flags = start + f::group_end(kPage, g) - f::kPresentFlagsFromGroupEnd;
      may_change[flags] = may_change[flags + 1] = true;
    }
    EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + start + f::kPackedCountsOffset), expected_counts(after, p))
        << "page " << p;
  }
  for (std::uint64_t row : tempo_rows) {
    for (std::uint64_t i = 0; i < 4; ++i) may_change[row + vantrel_pdb::track_row::kTempoOffset + i] = true;
  }
  int reported = 0;
  for (std::size_t i = 0; i < before.size() && reported < 5; ++i) {
    if (before[i] != after[i] && !may_change[i]) {
      ADD_FAILURE() << "byte " << i << " (page " << i / kPage << ", offset " << i % kPage << ") changed";
      ++reported;
    }
  }
}

// ---------------------------------------------------------------------------
// What stays, for each combination of keep lists and tempos.

struct PatchCase {
  const char* name;
  std::optional<IdList> keep_tracks;
  std::optional<IdList> keep_playlists;
  TempoMap tempos;
  IdList tracks;  // listed after the patch, in table order
  IdList playlists;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;  // (playlist, track)
  bool history;
  TempoMap tempos_after;  // tracks whose tempo differs from default_tempo
};

void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::pair<std::uint32_t, std::uint32_t>> kAllEntries = {{11, 1}, {11, 2}, {12, 3}, {12, 1}};
const std::vector<std::pair<std::uint32_t, std::uint32_t>> kEntriesWithout2 = {{11, 1}, {12, 3}, {12, 1}};

const PatchCase kPatchCases[] = {
    {"NoKeepLists", {}, {}, {}, {1, 2, 3}, {10, 11, 12}, kAllEntries, true, {}},
    {"KeepNoTracks", IdList{}, {}, {}, {}, {10, 11, 12}, {}, false, {}},
    {"KeepEveryTrack", IdList{3, 1, 2}, {}, {}, {1, 2, 3}, {10, 11, 12}, kAllEntries, true, {}},
    {"KeepAllButOne", IdList{1, 3}, {}, {}, {1, 3}, {10, 11, 12}, kEntriesWithout2, false, {}},
    // The history rule compares counts only: an unknown id makes up for the removed track.
    {"UnknownIdMakesUpTheCount", IdList{1, 3, 99}, {}, {}, {1, 3}, {10, 11, 12}, kEntriesWithout2, true, {}},
    {"OnlyUnknownIds", IdList{97, 98, 99}, {}, {}, {}, {10, 11, 12}, {}, true, {}},
    {"DuplicatesCollapse", IdList{1, 1, 3, 3}, {}, {}, {1, 3}, {10, 11, 12}, kEntriesWithout2, false, {}},
    {"DuplicatesOfEveryTrack", IdList{1, 2, 2, 3, 3}, {}, {}, {1, 2, 3}, {10, 11, 12}, kAllEntries, true, {}},
    {"KeepNoPlaylists", {}, IdList{}, {}, {1, 2, 3}, {}, {}, true, {}},
    {"PlaylistWithoutItsFolder", {}, IdList{11, 12}, {}, {1, 2, 3}, {11, 12}, kAllEntries, true, {}},
    {"FolderWithoutItsPlaylist", {}, IdList{10, 12}, {}, {1, 2, 3}, {10, 12}, {{12, 3}, {12, 1}}, true, {}},
    {"PlaylistsUnknownAndDuplicate", {}, IdList{12, 12, 77}, {}, {1, 2, 3}, {12}, {{12, 3}, {12, 1}}, true, {}},
    {"BothLists", IdList{1, 2}, IdList{11}, {}, {1, 2}, {11}, {{11, 1}, {11, 2}}, false, {}},
    {"TemposForKeptRemovedAndUnknown",
     IdList{1, 3},
     {},
     TempoMap{{1, 12850}, {2, 9999}, {99, 5}},
     {1, 3},
     {10, 11, 12},
     kEntriesWithout2,
     false,
     TempoMap{{1, 12850}}},
    {"TemposWithoutKeepLists",
     {},
     {},
     TempoMap{{3, 0}, {2, 4294967295u}},
     {1, 2, 3},
     {10, 11, 12},
     kAllEntries,
     true,
     TempoMap{{3, 0}, {2, 4294967295u}}},
};

class PatchCases : public ::testing::TestWithParam<PatchCase> {};

TEST_P(PatchCases, KeepsWhatTheListsSay) {
  const PatchCase& c = GetParam();
  Library lib = make_library();
  Request request = patch_request(c.keep_tracks, c.keep_playlists, c.tempos);
  Image after = patched(lib.image, request);
  ASSERT_FALSE(after.empty());

  std::vector<std::uint64_t> tempo_rows;
  for (std::uint32_t id = 1; id <= 3; ++id) {
    if (c.tempos_after.contains(id)) tempo_rows.push_back(lib.track_rows[id - 1]);
  }
  expect_only_flags_counts_and_tempos(lib.image, after, tempo_rows);

  Database db = decode(after);
  IdList tracks, playlists;
  for (const auto& track : db.tracks) {
    tracks.push_back(track.id);
    auto changed = c.tempos_after.find(track.id);
    EXPECT_EQ(track.tempo, changed == c.tempos_after.end() ? default_tempo(track.id) : changed->second) << track.id;
  }
  for (const auto& node : db.playlist_tree) playlists.push_back(node.id);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
  for (const auto& e : db.playlist_entries) entries.emplace_back(e.playlist_id, e.track_id);
  EXPECT_EQ(tracks, c.tracks);
  EXPECT_EQ(playlists, c.playlists);
  EXPECT_EQ(entries, c.entries);
  EXPECT_EQ(db.history_playlists.size(), c.history ? 1u : 0u);
  EXPECT_EQ(db.history_entries.size(), c.history ? 2u : 0u);
  EXPECT_EQ(db.artists.size(), 1u);
  // The report reads the patched image as the next run would.
  EXPECT_TRUE(read(after).has_value());
}

INSTANTIATE_TEST_SUITE_P(Patch, PatchCases, ::testing::ValuesIn(kPatchCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Patch, RemovedRowsKeepTheirBytesAndSlots) {
  Library lib = make_library();
  Image after = patched(lib.image, patch_request(IdList{1, 3}));
  ASSERT_EQ(after.size(), lib.image.size());
  const std::uint64_t row = lib.track_rows[1];  // track 2, first data page, slot 1
  const std::uint64_t page = row / kPage * kPage;
  for (std::uint64_t i = 0; i < vantrel_pdb::track_row::kFixedSize; ++i) EXPECT_EQ(after[row + i], lib.image[row + i]);
  // Slot 1's present bit alone went; slot_count stays 2, present_row_count 1.
  EXPECT_EQ(t::get_u16(after, page + kPage - f::kPresentFlagsFromGroupEnd), 0b01u);
  EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + page + f::kPackedCountsOffset), 2u + (1u << 13));
  EXPECT_EQ(t::get_u16(after, page + kPage - f::kSlotOffsetsFromGroupEnd - 2), row - page - f::kPageHeaderSize);
  EXPECT_EQ(after.size(), lib.image.size());
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + kPage, lib.image.begin()));
}

TEST(Patch, KeptPlaylistStillNamesItsRemovedFolder) {
  Image after = patched(make_library().image, patch_request({}, IdList{11}));
  ASSERT_FALSE(after.empty());
  Database db = decode(after);
  ASSERT_EQ(db.playlist_tree.size(), 1u);
  EXPECT_EQ(db.playlist_tree[0].id, 11u);
  EXPECT_EQ(db.playlist_tree[0].parent_id, 10u);
  // The report lists it under its old parent, the tracks as before.
  auto tracks_part = [](const std::string& report) { return report.substr(report.find(",\"tracks\":[{")); };
  EXPECT_EQ(joined(read(after)).value(), R"({"playlists":[{"id":11,"isFolder":false,"name":"Inside","parentId":10,)"
                                         R"("tracks":[1,2]}])" +
                                             tracks_part(joined(read(make_library().image)).value()));
}

TEST(Patch, ReportShowsTheNewTempo) {
  Image after = patched(make_library().image, patch_request({}, {}, TempoMap{{1, 12850}}));
  auto report = joined(read(after));
  ASSERT_TRUE(report.has_value());
  EXPECT_NE(report->find(R"("bpm":128.5,"comment":"","duration":0,"fileSize":0,"genre":"","id":1,)"), std::string::npos)
      << *report;
}

TEST(Patch, TracksSharingAnIdLoseTheHistoryWithoutKeepLists) {
  t::ImageBuilder b;
  std::size_t table[kLastKind + 1];
  for (std::uint32_t k = 0; k <= kLastKind; ++k) table[k] = b.add_table(k);
  t::TrackRowFields row_spec;
  row_spec.id = 5;
  b.add_row(table[kind::tracks], t::track_row(row_spec));
  b.add_row(table[kind::tracks], t::track_row(row_spec));
  b.add_row(table[kind::history_playlists], t::id_name_row(1, "History"));
  b.add_row(table[kind::history_entries], t::entry_row(1, 5, 1));
  Image before = b.finish();
  Image after = patched(before, patch_request());
  expect_only_flags_counts_and_tempos(before, after);
  Database db = decode(after);
  EXPECT_EQ(db.tracks.size(), 2u);
  EXPECT_TRUE(db.history_playlists.empty());
  EXPECT_TRUE(db.history_entries.empty());
  // Naming the one id keeps both rows and, the counts still differing, drops the history too.
  Image kept = patched(before, patch_request(IdList{5}));
  EXPECT_EQ(kept, after);
}

// ---------------------------------------------------------------------------
// Recounting: every data page gets its packed counts from its flags.

TEST(Patch, NothingToRemoveLeavesAWellFormedFileUnchanged) {
  Library lib = make_library();
  EXPECT_EQ(patched(lib.image, patch_request()), lib.image);
  EXPECT_EQ(patched(lib.image, patch_request(IdList{1, 2, 3}, IdList{10, 11, 12})), lib.image);
}

TEST(Patch, BuiltImageComesBackByteForByte) {
  Request b;
  b.action = "build";
  for (std::uint32_t id : {7u, 3u, 9u}) {
    Track track;
    track.id = id;
    track.title = "Track " + std::to_string(id);
    track.artist = id == 9 ? "B" : "A";
    track.album = "Album";
    track.genre = "House";
    track.key = "8A";
    track.audio_path = "/music/" + std::to_string(id) + ".mp3";
    track.bpm = 120 + id;
    track.duration = 300;
    track.sample_rate = 44100;
    b.tracks.push_back(track);
  }
  b.playlists.push_back({1, "Crate", 0, true, {}});
  b.playlists.push_back({2, "Set", 1, false, {9, 7, 3}});
  auto built = build(b);
  ASSERT_TRUE(built.has_value()) << built.error().message;
  EXPECT_EQ(patched(*built, patch_request()), *built);
  EXPECT_EQ(patched(*built, patch_request(IdList{3, 7, 9}, IdList{1, 2})), *built);
}

TEST(Patch, PackedCountsAreRecomputedOnEveryDataPage) {
  Library lib = make_library();
  Image& image = lib.image;
  const std::uint64_t tracks_page = lib.track_rows[0] / kPage;
  const std::uint64_t header_page = 1;  // the tracks table's header page
  // A wrong present_row_count on a page the patch removes nothing from.
  vantrel_pdb::encode_fixed24(page_at(image, tracks_page) + f::kPackedCountsOffset, 2);
  // Junk in the header page's counts (8191 slots if it were read).
  vantrel_pdb::encode_fixed24(page_at(image, header_page) + f::kPackedCountsOffset, 0xFFFFFF);
  // A page beyond every chain: zero slots, junk present count.
  image.resize(image.size() + kPage, 0);
  const std::uint64_t loose = image.size() / kPage - 1;
  page_at(image, loose)[f::kPageFlagsOffset] = f::kDataPageFlags;
  vantrel_pdb::encode_fixed24(page_at(image, loose) + f::kPackedCountsOffset, 0xFFE000);
  // Present bits of slots beyond slot_count do not count: the second tracks
  // page holds one slot, its flags word says 16.
  const std::uint64_t second_tracks_page = lib.track_rows[2] / kPage;
  vantrel_pdb::encode_fixed16(page_at(image, second_tracks_page) + kPage - f::kPresentFlagsFromGroupEnd, 0xFFFF);

  Image after = patched(image, patch_request());
  ASSERT_EQ(after.size(), image.size());
  expect_only_flags_counts_and_tempos(image, after);
  EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + tracks_page * kPage + f::kPackedCountsOffset), 2u + (2u << 13));
  EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + header_page * kPage + f::kPackedCountsOffset), 0xFFFFFFu);
  EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + loose * kPage + f::kPackedCountsOffset), 0u);
  EXPECT_EQ(vantrel_pdb::decode_fixed24(after.data() + second_tracks_page * kPage + f::kPackedCountsOffset),
            1u + (1u << 13));
  EXPECT_EQ(t::get_u16(after, second_tracks_page * kPage + kPage - f::kPresentFlagsFromGroupEnd), 0xFFFF);
  // Only the two wrong count fields changed: byte 25 of the tracks page, bytes 25 and 26 of the loose page.
  std::size_t differing = 0;
  for (std::size_t i = 0; i < image.size(); ++i) differing += image[i] != after[i];
  EXPECT_EQ(differing, 3u);
}

// ---------------------------------------------------------------------------
// The 13-bit slot count: 1802 slots end at page offset 40, 1803 reach into the header.

struct SlotCountCase {
  std::uint32_t slots;
  bool removes;  // whether the request removes anything elsewhere
  bool fits;
};

void PrintTo(const SlotCountCase& c, std::ostream* os) {
  *os << c.slots << " slots" << (c.removes ? ", removing" : "");
}

class SlotCountLimit : public ::testing::TestWithParam<SlotCountCase> {};

TEST_P(SlotCountLimit, IsCheckedOnEveryDataPage) {
  const SlotCountCase& c = GetParam();
  Library lib = make_library();
  Image& image = lib.image;
  // A data page of kind 19, beyond the others; all its slots are empty but the
  // last group's flags, which claim all 16 slots present.
  image.resize(image.size() + kPage, 0);
  const auto p = static_cast<std::uint32_t>(image.size() / kPage - 1);
  std::uint8_t* page = page_at(image, p);
  vantrel_pdb::encode_fixed32(page + f::kPageIndexOffset, p);
  vantrel_pdb::encode_fixed32(page + f::kPageKindOffset, kLastKind);
  page[f::kPageFlagsOffset] = f::kDataPageFlags;
  vantrel_pdb::encode_fixed24(page + f::kPackedCountsOffset, c.slots);
  const std::uint64_t last_group = (c.slots - 1) / f::kSlotsPerGroup;
  if (f::kRowGroupSize * last_group + f::kPresentFlagsFromGroupEnd + f::kPageHeaderSize <= kPage) {
    vantrel_pdb::encode_fixed16(page + f::group_end(kPage, last_group) - f::kPresentFlagsFromGroupEnd, 0xFFFF);
  }
  // Link it as the last page of kind 19's chain.
  const std::uint64_t entry = f::kDirectoryOffset + f::kTableEntrySize * lib.last_kind_table;
  const std::uint32_t header = t::get_u32(image, entry + f::kEntryFirstPageOffset);
  vantrel_pdb::encode_fixed32(page_at(image, header) + f::kNextPageOffset, p);
  vantrel_pdb::encode_fixed32(page + f::kNextPageOffset, p + 1);
  t::put_u32(image, entry + f::kEntryLastPageOffset, p);
  t::put_u32(image, entry + f::kEntryEmptyCandidateOffset, p + 1);
  ASSERT_TRUE(read(image).has_value());

  Request request = c.removes ? patch_request(IdList{}) : patch_request();
  auto out = patch(image, request);
  if (!c.fits) {
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message, "Invalid row directory");
    return;
  }
  ASSERT_TRUE(out.has_value()) << out.error().message;
  expect_only_flags_counts_and_tempos(image, *out);
  const std::uint32_t in_last_group = (c.slots - 1) % f::kSlotsPerGroup + 1;
  EXPECT_EQ(vantrel_pdb::decode_fixed24(out->data() + std::uint64_t{p} * kPage + f::kPackedCountsOffset),
            c.slots + (in_last_group << f::kPresentRowCountShift));
}

INSTANTIATE_TEST_SUITE_P(Patch, SlotCountLimit,
                         ::testing::Values(SlotCountCase{511, false, true}, SlotCountCase{1000, true, true},
                                           SlotCountCase{1802, false, true}, SlotCountCase{1802, true, true},
                                           SlotCountCase{1803, false, false}, SlotCountCase{1803, true, false},
                                           SlotCountCase{8191, false, false}),
                         [](const auto& test) {
                           return std::to_string(test.param.slots) + (test.param.removes ? "Removing" : "Keeping");
                         });

// Ids far apart (no bitmap of them is kept) and tables whose pages stand in
// the file in the reverse of the order in which rows are marked.
TEST(Patch, ScatteredIdsAndTablesInAnyPageOrder) {
  t::ImageBuilder b;
  auto entries = b.add_table(kind::playlist_entries);
  auto tree = b.add_table(kind::playlist_tree);
  auto tracks = b.add_table(kind::tracks);
  const IdList ids = {4000000000u, 7, 3000000000u, 4294967295u};
  for (std::uint32_t playlist : {1u, 2u}) {
    for (std::uint32_t id : ids) b.add_row(entries, t::entry_row(1, id, playlist));
  }
  b.add_row(tree, t::tree_row(0, 0, 1, false, "One"));
  b.add_row(tree, t::tree_row(0, 1, 2, false, "Two"));
  std::vector<std::uint64_t> rows;
  for (std::uint32_t id : ids) {
    t::TrackRowFields row_spec;
    row_spec.id = id;
    rows.push_back(b.add_row(tracks, t::track_row(row_spec.title("T"))));
  }
  const Image image = b.finish();
  const Image after =
      patched(image, patch_request(IdList{7, 7, 4000000000u, 123}, IdList{2, 2}, TempoMap{{4000000000u, 12850}}));
  expect_only_flags_counts_and_tempos(image, after, {rows[0]});

  Database db = decode(after);
  IdList kept, tempos, playlists;
  for (const auto& track : db.tracks) {
    kept.push_back(track.id);
    tempos.push_back(track.tempo);
  }
  for (const auto& node : db.playlist_tree) playlists.push_back(node.id);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> left;
  for (const auto& e : db.playlist_entries) left.emplace_back(e.playlist_id, e.track_id);
  EXPECT_EQ(kept, (IdList{4000000000u, 7}));
  EXPECT_EQ(tempos, (IdList{12850, 0}));
  EXPECT_EQ(playlists, IdList{2});
  EXPECT_EQ(left, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 4000000000u}, {2, 7}}));
}

// Slots that name their rows in the reverse of heap order list the rows to
// remove in descending order, one run per row: the list is sorted in full.
// Slots that name their rows out of heap order: in reverse, and stepping
// far ahead and back again (past more removed rows than are stepped over
// one by one).
TEST(Patch, RowsListedOutOfHeapOrder) {
  constexpr std::uint32_t kRows = 40;
  struct Order {
    const char* name;
    std::uint32_t (*row_of_slot)(std::uint32_t slot);
  };
  for (const Order& order : {Order{"reverse", [](std::uint32_t slot) { return kRows - 1 - slot; }},
                             Order{"strides of 17", [](std::uint32_t slot) { return slot * 17 % kRows; }}}) {
    SCOPED_TRACE(order.name);
    t::ImageBuilder b;
    auto tracks = b.add_table(kind::tracks);
    auto entries = b.add_table(kind::playlist_entries);
    t::TrackRowFields row_spec;
    row_spec.id = 1;
    b.add_row(tracks, t::track_row(row_spec.title("T")));
    b.add_row(b.add_table(kind::playlist_tree), t::tree_row(0, 0, 1, false, "P"));
    std::vector<std::uint64_t> rows;
    for (std::uint32_t i = 0; i < kRows; ++i) rows.push_back(b.add_row(entries, t::entry_row(i + 1, i % 2 ? 1 : 2, 1)));
    Image image = b.finish();
    const std::uint64_t page = rows[0] / kPage * kPage;
    for (std::uint32_t slot = 0; slot < kRows; ++slot) {
      const std::uint64_t end = page + f::group_end(kPage, slot / f::kSlotsPerGroup);
      const std::uint64_t offset = rows[order.row_of_slot(slot)] - page - f::kPageHeaderSize;
      t::put_u16(image, end - f::kSlotOffsetsFromGroupEnd - 2 * (slot % f::kSlotsPerGroup),
                 static_cast<std::uint16_t>(offset));
    }
    // Track 2 does not exist: the entries naming it go, those naming track 1 stay.
    const Image after = patched(image, patch_request(IdList{1}));
    expect_only_flags_counts_and_tempos(image, after);
    Database db = decode(after);
    ASSERT_EQ(db.playlist_entries.size(), kRows / 2);
    for (const auto& e : db.playlist_entries) EXPECT_EQ(e.track_id, 1u);
    // Table order is slot order: the entry indices come out in the slots' order.
    std::vector<std::uint32_t> indices, expected;
    for (const auto& e : db.playlist_entries) indices.push_back(e.entry_index);
    for (std::uint32_t slot = 0; slot < kRows; ++slot) {
      if (order.row_of_slot(slot) % 2 == 1) expected.push_back(order.row_of_slot(slot) + 1);
    }
    EXPECT_EQ(indices, expected);
  }
}

// ---------------------------------------------------------------------------
// Failures: the structure check's and the reader's errors come through.

TEST(Patch, DamagedImagesFailWithTheirErrors) {
  Image image = make_library().image;
  Image short_image(image.begin(), image.end() - 1);
  EXPECT_EQ(patch_error(short_image), "Invalid PDB page size/length");
  Image broken_chain = image;
  t::put_u32(broken_chain, f::kDirectoryOffset + f::kEntryFirstPageOffset, 0);
  EXPECT_EQ(patch_error(broken_chain), "Invalid PDB page chain");
  Image too_many_tables = image;
  t::put_u32(too_many_tables, f::kTableCountOffset, 201);
  EXPECT_EQ(patch_error(too_many_tables), "Invalid PDB table count");
  Image wrong_kind = image;
  t::put_u32(wrong_kind, 1 * kPage + f::kPageKindOffset, 3);
  EXPECT_EQ(patch_error(wrong_kind), "PDB page identity mismatch");
  // A title of an unknown string kind is the reader's to report.
  Library lib = make_library();
  const std::uint64_t row = lib.track_rows[2];
  const std::uint64_t title = row + t::get_u16(lib.image, row + vantrel_pdb::track_row::kStringOffsetsOffset +
                                                              2 * vantrel_pdb::track_row::kTitleSlot);
  t::put_u8(lib.image, title, 0x02);
  auto reader = Database::from_bytes(lib.image);
  ASSERT_FALSE(reader.has_value());
  EXPECT_EQ(patch_error(lib.image), reader.error().message());
}

// ---------------------------------------------------------------------------
// Through the command line.

class PatchCommand : public ::testing::Test {
 protected:
  scratch::ScratchDir scratch_;
};

TEST_F(PatchCommand, InputMayBeTheOutput) {
  Library lib = make_library();
  std::string file = scratch_.write("lib.pdb", lib.image);
  auto run = cli_runner::run_dovrel(R"({"action":"patch","input":")" + file + R"(","output":")" + file +
                                    R"(","keepTracks":[1],"tempos":{"1":12850}})");
  Image expected = patched(lib.image, patch_request(IdList{1}, {}, TempoMap{{1, 12850}}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, joined(read(expected)).value());
  EXPECT_NE(run.out.find(R"("bpm":128.5)"), std::string::npos);
  EXPECT_EQ(scratch::read_whole(file), expected);
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"lib.pdb"});
}

TEST_F(PatchCommand, FailedPatchWritesNothing) {
  Library lib = make_library();
  // The tracks' first data page claims 1803 slots.
  vantrel_pdb::encode_fixed24(page_at(lib.image, lib.track_rows[0] / kPage) + f::kPackedCountsOffset, 1803);
  std::string input = scratch_.write("in.pdb", lib.image);
  std::string existing = scratch_.write("old.pdb", {1, 2, 3});
  for (const std::string& output : {scratch_.path("new.pdb"), existing}) {
    cli_runner::expect_failure(
        cli_runner::run_dovrel(R"({"action":"patch","input":")" + input + R"(","output":")" + output + R"("})"),
        "Invalid row directory");
  }
  EXPECT_EQ(scratch::read_whole(existing), (Image{1, 2, 3}));
  EXPECT_EQ(scratch::read_whole(input), lib.image);
  EXPECT_EQ(scratch_.list(), (std::vector<std::string>{"in.pdb", "old.pdb"}));
}

}  // namespace
}  // namespace dovrel
