// The damage corpus: libraries made by the library's own builder, damaged
// in every way a stick or another program damages them: cut at every page
// boundary and mid-page, each page zeroed, each field of each page header
// changed, chains looped, row offsets pushed out, random bytes changed. For
// every case check and salvage finish, the salvaged database checks clean and
// reads back, and damage confined to one page loses at most the rows that
// page held: every other row is read as it was and kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
#include "format/validate.h"
#include "read/database.h"
#include "read/recover.h"
#include "testing/image_builder.h"
#include "testing/sample_library.h"
#include "testing/xorshift.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
namespace k = table_kind;
namespace t = testing;
using Image = std::vector<std::uint8_t>;
constexpr std::uint64_t kPage = f::kPageSize;

// A sound library and where each of its rows lives.
struct Original {
  Image image;
  Database db;
  std::uint64_t pages = 0;
  std::vector<std::uint32_t> data_pages;

  explicit Original(Image bytes)
      : image(std::move(bytes)), db(*Database::from_bytes(image)), pages(image.size() / kPage) {
    std::set<std::uint32_t> data;
    for (const auto& [kind, rows] : db.row_locations_by_kind) {
      for (std::uint64_t r : rows) data.insert(static_cast<std::uint32_t>(r / kPage));
    }
    data_pages.assign(data.begin(), data.end());
  }
  bool on(std::uint64_t location, const std::set<std::uint32_t>& pages_lost) const {
    return pages_lost.contains(static_cast<std::uint32_t>(location / kPage));
  }
};

const Original& original() {
  static const Original kOriginal(t::sample_image({.tracks = 90, .playlists = 8, .history = 3, .seed = 11}));
  return kOriginal;
}

// The rows recover_rows read, by (page, slot), with their records compared
// table by table against the original's rows that lie off the lost pages.
template <class Record>
void expect_rows_read(const std::vector<recovery::Recovered<Record>>& got, const std::vector<Record>& want,
                      std::span<const std::uint64_t> where, const std::set<std::uint32_t>& lost, const char* table,
                      const std::string& what) {
  std::map<std::pair<std::uint32_t, std::uint64_t>, const Record*> read;
  for (const auto& row : got) {
    read.emplace(std::make_pair(static_cast<std::uint32_t>(row.location / kPage), row.location), &row.record);
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto page = static_cast<std::uint32_t>(where[i] / kPage);
    if (lost.contains(page)) continue;
    auto it = read.find({page, where[i]});
    if (it == read.end()) {
      ADD_FAILURE() << what << ": row " << i << " of " << table << " on page " << page << " not read";
      return;
    }
    if (!(*it->second == want[i])) {
      ADD_FAILURE() << what << ": row " << i << " of " << table << " on page " << page << " read otherwise";
      return;
    }
  }
}

// Runs check and salvage on `image`; with `lost` (the pages the damage was
// confined to), every row of the original off those pages must come through.
void run_case(const Image& image, const std::string& what, const std::set<std::uint32_t>* lost) {
  const Findings findings = check(image, 50);
  EXPECT_LE(findings.list.size(), 50u) << what;
  auto rescued = salvage(image);
  ASSERT_TRUE(rescued) << what << ": " << rescued.error().message();
  auto bytes = rescued->library.bytes();
  ASSERT_TRUE(bytes) << what;
  EXPECT_TRUE(validate(*bytes)) << what;
  const Findings after = check(*bytes);
  for (const Finding& finding : after.list)
    EXPECT_EQ(finding.code, "parent-not-folder") << what << ": " << finding.message;
  auto reopened = Library::open(std::vector<std::uint8_t>(bytes->begin(), bytes->end()));
  ASSERT_TRUE(reopened) << what << ": " << reopened.error().message();
  if (!lost) return;

  const Original& o = original();
  const recovery::RecoveredRows rows = recovery::recover_rows(image);
  std::vector<recovery::Recovered<Track>> decoded;
  for (const auto& row : rows.tracks) {
    auto track = row.record.decode();
    ASSERT_TRUE(track) << what << ": track at " << row.location << " no longer decodes";
    decoded.push_back({std::move(*track), row.location});
  }
  expect_rows_read(decoded, o.db.tracks, o.db.row_locations(k::tracks), *lost, "tracks", what);
  expect_rows_read(rows.artists, o.db.artists, o.db.row_locations(k::artists), *lost, "artists", what);
  expect_rows_read(rows.albums, o.db.albums, o.db.row_locations(k::albums), *lost, "albums", what);
  expect_rows_read(rows.genres, o.db.genres, o.db.row_locations(k::genres), *lost, "genres", what);
  expect_rows_read(rows.keys, o.db.keys, o.db.row_locations(k::keys), *lost, "keys", what);
  expect_rows_read(rows.labels, o.db.labels, o.db.row_locations(k::labels), *lost, "labels", what);
  expect_rows_read(rows.artwork, o.db.artwork, o.db.row_locations(k::artwork), *lost, "artwork", what);
  expect_rows_read(rows.playlist_tree, o.db.playlist_tree, o.db.row_locations(k::playlist_tree), *lost, "tree", what);
  expect_rows_read(rows.playlist_entries, o.db.playlist_entries, o.db.row_locations(k::playlist_entries), *lost,
                   "entries", what);
  expect_rows_read(rows.history_playlists, o.db.history_playlists, o.db.row_locations(k::history_playlists), *lost,
                   "history playlists", what);
  expect_rows_read(rows.history_entries, o.db.history_entries, o.db.row_locations(k::history_entries), *lost,
                   "history entries", what);

  // And kept: every track and node off the lost pages is in the new database.
  auto tracks = reopened->tracks();
  ASSERT_TRUE(tracks);
  std::set<std::uint32_t> track_ids;
  for (const TrackInfo& track : *tracks) track_ids.insert(track.id);
  const auto track_rows = o.db.row_locations(k::tracks);
  for (std::size_t i = 0; i < track_rows.size(); ++i) {
    if (!o.on(track_rows[i], *lost)) {
      EXPECT_TRUE(track_ids.contains(o.db.tracks[i].id)) << what;
    }
  }
  auto playlists = reopened->playlists();
  ASSERT_TRUE(playlists);
  std::map<std::uint32_t, const PlaylistInfo*> nodes;
  for (const PlaylistInfo& p : *playlists) nodes.emplace(p.id, &p);
  const auto tree_rows = o.db.row_locations(k::playlist_tree);
  for (std::size_t i = 0; i < tree_rows.size(); ++i) {
    if (!o.on(tree_rows[i], *lost)) {
      EXPECT_TRUE(nodes.contains(o.db.playlist_tree[i].id)) << what;
    }
  }
  // A playlist holds every entry off the lost pages whose track was kept,
  // and nothing that was not one of its entries.
  const auto entry_rows = o.db.row_locations(k::playlist_entries);
  for (const auto& [id, node] : nodes) {
    std::multiset<std::uint32_t> must, may;
    for (std::size_t i = 0; i < entry_rows.size(); ++i) {
      const PlaylistEntry& e = o.db.playlist_entries[i];
      if (e.playlist_id != id || !track_ids.contains(e.track_id)) continue;
      may.insert(e.track_id);
      if (!o.on(entry_rows[i], *lost)) must.insert(e.track_id);
    }
    const std::multiset<std::uint32_t> kept(node->tracks.begin(), node->tracks.end());
    EXPECT_TRUE(std::includes(kept.begin(), kept.end(), must.begin(), must.end())) << what << ": playlist " << id;
    EXPECT_TRUE(std::includes(may.begin(), may.end(), kept.begin(), kept.end())) << what << ": playlist " << id;
  }
}

TEST(DamageCorpus, TheSampleSpansPages) {
  const Original& o = original();
  EXPECT_GE(o.data_pages.size(), 15u);
  // The tracks over several pages, so that a chain has a middle.
  const auto rows = o.db.row_locations(k::tracks);
  EXPECT_GE(rows.back() / kPage - rows.front() / kPage, 3u);
  EXPECT_FALSE(o.db.history_entries.empty());
  EXPECT_TRUE(check(o.image).list.empty());
}

TEST(DamageCorpus, CutAtEveryPageBoundaryAndMidPage) {
  const Original& o = original();
  for (std::uint64_t p = 0; p <= o.pages; ++p) {
    for (std::uint64_t extra : {std::uint64_t{0}, kPage / 2 + p}) {
      const std::uint64_t length = std::min<std::uint64_t>(p * kPage + extra, o.image.size());
      const Image cut(o.image.begin(), o.image.begin() + static_cast<std::ptrdiff_t>(length));
      std::set<std::uint32_t> lost;
      for (std::uint64_t q = length / kPage; q < o.pages; ++q) lost.insert(static_cast<std::uint32_t>(q));
      run_case(cut, "cut at " + std::to_string(length), &lost);
    }
  }
}

TEST(DamageCorpus, EachPageZeroed) {
  const Original& o = original();
  for (std::uint32_t p = 0; p < o.pages; ++p) {
    Image zeroed = o.image;
    std::fill_n(zeroed.begin() + static_cast<std::ptrdiff_t>(p * kPage), kPage, 0);
    const std::set<std::uint32_t> lost{p};
    run_case(zeroed, "page " + std::to_string(p) + " zeroed", &lost);
  }
}

TEST(DamageCorpus, EachPageHeaderFieldChanged) {
  const Original& o = original();
  struct Field {
    std::uint64_t offset;
    std::size_t width;
  };
  const Field fields[] = {{f::kPageIndexOffset, 4},    {f::kPageKindOffset, 4},     {f::kNextPageOffset, 4},
                          {f::kPageSequenceOffset, 4}, {f::kPackedCountsOffset, 3}, {f::kPageFlagsOffset, 1},
                          {f::kFreeSizeOffset, 2},     {f::kUsedSizeOffset, 2},     {f::kEditRowCountOffset, 2},
                          {f::kEditFirstSlotOffset, 2}};
  // Every field, each on every tenth page in turn, so that every page has
  // one of its fields changed; one bit or every bit of it.
  for (std::uint32_t p = 1; p < o.pages; ++p) {
    const Field& field = fields[p % std::size(fields)];
    const std::uint8_t flip = (p / std::size(fields)) % 2 ? 0xFF : 0x01;
    Image damaged = o.image;
    for (std::size_t b = 0; b < field.width; ++b) damaged[p * kPage + field.offset + b] ^= flip;
    const std::set<std::uint32_t> lost{p};
    run_case(damaged,
             "page " + std::to_string(p) + " field " + std::to_string(field.offset) + " ^ " + std::to_string(flip),
             &lost);
  }
  // And every field of one page of the track table, in the chain's middle.
  const auto rows = o.db.row_locations(k::tracks);
  const auto middle = static_cast<std::uint32_t>(rows[rows.size() / 2] / kPage);
  for (const Field& field : fields) {
    Image damaged = o.image;
    for (std::size_t b = 0; b < field.width; ++b) damaged[middle * kPage + field.offset + b] ^= 0x5A;
    const std::set<std::uint32_t> lost{middle};
    run_case(damaged, "track page field " + std::to_string(field.offset), &lost);
  }
}

TEST(DamageCorpus, ChainsLooped) {
  const Original& o = original();
  for (const TableEntry& e : o.db.tables) {
    // Each page of the chain but the last links back to the first; the
    // directory's last page then lies past the loop.
    std::vector<std::uint32_t> chain{e.first_page};
    while (chain.back() != e.last_page && chain.size() < o.pages) {
      chain.push_back(t::get_u32(o.image, chain.back() * kPage + f::kNextPageOffset));
    }
    // The loop closes after the first data page, and after the last but one.
    const std::set<std::uint32_t> none;
    std::set<std::size_t> at;
    if (chain.size() >= 3) at = {1, chain.size() - 2};
    for (std::size_t i : at) {
      Image looped = o.image;
      t::put_u32(looped, chain[i] * kPage + f::kNextPageOffset, e.first_page);
      run_case(looped, "table " + std::to_string(e.kind) + " looped at page " + std::to_string(chain[i]), &none);
    }
  }
}

TEST(DamageCorpus, RowOffsetsPushedOut) {
  const Original& o = original();
  // One slot of each data page: past the page, past the heap, or into
  // another row.
  const std::uint16_t offsets[] = {0xFFFF, 4000, 5};
  for (std::size_t i = 0; i < o.data_pages.size(); ++i) {
    const std::uint32_t p = o.data_pages[i];
    const std::uint64_t start = std::uint64_t{p} * kPage;
    const std::uint32_t slots = t::get_u16(o.image, start + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
    const std::uint32_t s = static_cast<std::uint32_t>(i * 7 % slots);
    Image pushed = o.image;
    t::put_u16(pushed, start + f::group_end(kPage, s / 16) - f::kSlotOffsetsFromGroupEnd - 2 * (s % 16),
               offsets[i % std::size(offsets)]);
    const std::set<std::uint32_t> lost{p};
    run_case(pushed, "page " + std::to_string(p) + " slot " + std::to_string(s), &lost);
  }
}

TEST(DamageCorpus, RandomBytesChanged) {
  const Original& o = original();
  t::XorShift64 random(0xD1CE);
  for (int round = 0; round < 80; ++round) {
    Image damaged = o.image;
    const std::uint64_t changes = 1 + random() % 12;
    std::set<std::uint32_t> pages;
    for (std::uint64_t c = 0; c < changes; ++c) {
      const std::uint64_t at = random() % damaged.size();
      damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ (1 + random() % 255));
      pages.insert(static_cast<std::uint32_t>(at / kPage));
    }
    // Changes inside one page lose at most that page's rows.
    run_case(damaged, "random round " + std::to_string(round), pages.size() == 1 ? &pages : nullptr);
  }
}

}  // namespace
}  // namespace vantrel_pdb
