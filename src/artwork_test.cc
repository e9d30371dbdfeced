#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "build.h"
#include "format/coding.h"
#include "output_line_test_util.h"
#include "read/database.h"
#include "report.h"
#include "request.h"
#include "testing/image_builder.h"

namespace dovrel {
namespace {

namespace kind = vantrel_pdb::table_kind;
namespace t = vantrel_pdb::testing;
using t::get_u16;
using t::get_u32;

// Offsets are written out as numbers: file header, artwork directory entry
// (entry 13 at 236), page header fields and the row index at the page end.
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kNextUnused = 12;
constexpr std::uint64_t kEntryEmptyCandidate = 240;
constexpr std::uint64_t kEntryFirstPage = 244;
constexpr std::uint64_t kEntryLastPage = 248;
constexpr std::uint64_t kArtworkHeaderPage = 27;
constexpr std::uint64_t kFirstArtworkPage = 28;

Track track(std::uint32_t id, std::string artwork_path) {
  Track tr;
  tr.id = id;
  tr.title = "T" + std::to_string(id);
  tr.artist = "A";
  tr.album = "B";
  tr.genre = "G";
  tr.key = "Am";
  tr.audio_path = "/m/" + std::to_string(id) + ".mp3";
  tr.artwork_path = std::move(artwork_path);
  tr.bpm = 120;
  return tr;
}

Request request(std::vector<Track> tracks) {
  Request r;
  r.action = "build";
  r.tracks = std::move(tracks);
  return r;
}

std::vector<std::uint8_t> built(std::vector<Track> tracks) {
  auto image = build(request(std::move(tracks)));
  if (!image) {
    ADD_FAILURE() << image.error().message;
    return {};
  }
  return *image;
}

std::string build_error(std::vector<Track> tracks) {
  auto image = build(request(std::move(tracks)));
  return image ? std::string("(built)") : image.error().message;
}

// The same tracks without artwork: the image the artwork step starts from.
std::vector<Track> without_artwork(std::vector<Track> tracks) {
  for (Track& tr : tracks) tr.artwork_path.clear();
  return tracks;
}

vantrel_pdb::Database decoded(const std::vector<std::uint8_t>& image) {
  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) {
    ADD_FAILURE() << db.error().message();
    return {};
  }
  return *db;
}

std::string path_of(std::size_t n, char c = 'p') { return "/" + std::string(n - 1, c); }

TEST(Artwork, NoPathsLeaveTheTableAndTheImageAlone) {
  std::vector<Track> tracks = {track(1, ""), track(2, "")};
  auto image = built(tracks);
  auto db = decoded(image);
  for (const auto& tr : db.tracks) EXPECT_EQ(tr.artwork_id, 0u);
  EXPECT_TRUE(db.artwork.empty());
  EXPECT_EQ(get_u32(image, kEntryEmptyCandidate), kFirstArtworkPage);
  EXPECT_EQ(get_u32(image, kEntryLastPage), kArtworkHeaderPage);
  EXPECT_EQ(get_u32(image, kArtworkHeaderPage * kPage + 44), 0x03FFFFFFu);
  for (std::uint64_t i = 0; i < kPage; ++i) ASSERT_EQ(image[kFirstArtworkPage * kPage + i], 0) << "byte " << i;
  auto report = joined(read(image));
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_NE(report->find(R"("artworkPath":"","audioPath":"/m/2.mp3")"), std::string::npos);
}

TEST(Artwork, OneRowByteForByte) {
  const std::vector<Track> tracks = {track(5, ""), track(907, "/art/a.jpg")};
  const auto before = built(without_artwork(tracks));
  const auto image = built(tracks);
  ASSERT_EQ(image.size(), before.size());
  const std::uint32_t u = get_u32(before, kNextUnused);
  ASSERT_GE(u, 41u);

  // Every byte the artwork step may change, and nothing else.
  auto expected = before;
  const auto before_db = decoded(before);
  const auto track_rows = before_db.row_locations(kind::tracks);
  ASSERT_EQ(track_rows.size(), 2u);
  t::put_u32(expected, track_rows[1] + 28, 907);  // artwork_id of the second track only
  const std::uint64_t P = kFirstArtworkPage * kPage;
  t::put_u32(expected, P + 4, 28);     // page_index
  t::put_u32(expected, P + 8, 13);     // page_kind
  t::put_u32(expected, P + 12, u);     // next_page: the reserved next unused page
  t::put_u32(expected, P + 16, 1);     // page_sequence
  t::put_u8(expected, P + 24, 0x01);   // packed counts: 1 slot ...
  t::put_u8(expected, P + 25, 0x20);   // ... and 1 present row (1 << 13)
  t::put_u8(expected, P + 27, 0x24);   // page_flags
  t::put_u16(expected, P + 28, 4034);  // free_size
  t::put_u16(expected, P + 30, 16);    // used_size
  t::put_u16(expected, P + 32, 1);     // edit_row_count
  t::put_u32(expected, P + 40, 907);   // row: artwork id
  t::put_u8(expected, P + 44, 0x17);   // short ASCII header of a 10-byte string
  const std::string path = "/art/a.jpg";
  for (std::size_t i = 0; i < path.size(); ++i) t::put_u8(expected, P + 45 + i, static_cast<std::uint8_t>(path[i]));
  t::put_u16(expected, P + 4090, 0);  // slot 0 offset
  t::put_u16(expected, P + 4092, 1);  // present_flags
  t::put_u16(expected, P + 4094, 1);  // edit_flags
  t::put_u32(expected, kEntryEmptyCandidate, u);
  t::put_u32(expected, kEntryLastPage, 28);
  t::put_u32(expected, kNextUnused, u + 1);
  t::put_u32(expected, kArtworkHeaderPage * kPage + 44, 28);  // first_data_page
  EXPECT_EQ(image, expected);
  EXPECT_EQ(get_u32(image, kEntryFirstPage), kArtworkHeaderPage);

  auto report = joined(read(image));
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_NE(report->find(R"("artworkPath":"/art/a.jpg","audioPath":"/m/907.mp3")"), std::string::npos) << *report;
  EXPECT_NE(report->find(R"("artworkPath":"","audioPath":"/m/5.mp3")"), std::string::npos) << *report;
}

TEST(Artwork, PathOf126BytesIsTheLongestAccepted) {
  const std::string longest = path_of(126);
  auto image = built({track(1, longest)});
  const std::uint64_t P = kFirstArtworkPage * kPage;
  EXPECT_EQ(image[P + 44], 0xFF);
  EXPECT_EQ(get_u16(image, P + 30), 132u);
  EXPECT_EQ(get_u16(image, P + 28), 4096u - 40 - 132 - 2 - 4);
  auto db = decoded(image);
  ASSERT_EQ(db.artwork.size(), 1u);
  EXPECT_EQ(db.artwork[0].id, 1u);
  EXPECT_EQ(db.artwork[0].name, longest);
}

TEST(Artwork, RefusedTracksAndPaths) {
  struct Case {
    std::vector<Track> tracks;
    std::string message;
  };
  const Case cases[] = {
      {{track(1, path_of(127))}, "Artwork path must be short ASCII"},
      {{track(1, "/art/\xc3\xa9.jpg")}, "Artwork path must be short ASCII"},
      {{track(1, "/a.jpg"), track(2, "/art/\x80")}, "Artwork path must be short ASCII"},
      // artwork_id 0 means none: a row with id 0 would name the artwork of
      // every track without one.
      {{track(0, "/a.jpg"), track(1, "")}, "Track with artwork must not have ID 0"},
  };
  for (const Case& c : cases) EXPECT_EQ(build_error(c.tracks), c.message) << c.tracks.back().artwork_path;
  EXPECT_EQ(build_error({track(0, ""), track(1, "/a.jpg")}), "(built)");
}

TEST(Artwork, RowsOverflowOntoPagesFromNextUnusedPage) {
  // 126-byte paths take 132 heap bytes: 30 rows fill a page
  // (40 + 30 * 132 + 2 * 30 + 4 * 2 = 4068; a 31st would need 4202).
  std::vector<Track> all;
  for (std::uint32_t n = 0; n < 61; ++n) all.push_back(track(1000 - n, path_of(126, static_cast<char>('A' + n % 26))));
  std::vector<Track> two_pages = all;
  for (std::size_t n = 31; n < two_pages.size(); ++n) two_pages[n].artwork_path.clear();

  const auto before = built(without_artwork(all));
  const std::uint32_t u = get_u32(before, kNextUnused);
  const auto image = built(all);
  const auto shorter = built(two_pages);
  // The file reaches just past the last page it holds; one more page, 4096 more bytes.
  EXPECT_EQ(shorter.size(), (u + 1) * kPage);
  EXPECT_EQ(image.size(), shorter.size() + kPage);

  const std::uint64_t pages[] = {kFirstArtworkPage, u, u + 1};
  const std::uint32_t next[] = {u, u + 1, u + 2};
  const std::uint32_t rows[] = {30, 30, 1};
  for (int i = 0; i < 3; ++i) {
    const std::uint64_t P = pages[i] * kPage;
    SCOPED_TRACE("page " + std::to_string(pages[i]));
    EXPECT_EQ(get_u32(image, P + 4), pages[i]);
    EXPECT_EQ(get_u32(image, P + 8), 13u);
    EXPECT_EQ(get_u32(image, P + 12), next[i]);
    EXPECT_EQ(get_u32(image, P + 16), 1u);
    EXPECT_EQ(image[P + 27], 0x24);
    const std::uint32_t c = rows[i];
    EXPECT_EQ(vantrel_pdb::decode_fixed24(image.data() + P + 24), c + (c << 13));  // packed counts
    EXPECT_EQ(get_u16(image, P + 30), 132 * c);
    EXPECT_EQ(get_u16(image, P + 28), 4096 - 40 - 132 * c - 2 * c - 4 * ((c + 15) / 16));
    EXPECT_EQ(get_u16(image, P + 32), c);
    for (std::uint32_t s = 0; s < c; ++s) {
      const std::uint64_t end = P + kPage - 36 * (s / 16);
      EXPECT_EQ(get_u16(image, end - 6 - 2 * (s % 16)), 132 * s) << "slot " << s;
    }
    const std::uint32_t group0 = c >= 16 ? 0xFFFFu : (1u << c) - 1;
    EXPECT_EQ(get_u16(image, P + kPage - 4), group0);
    EXPECT_EQ(get_u16(image, P + kPage - 2), group0);
    if (c > 16) {
      EXPECT_EQ(get_u16(image, P + kPage - 36 - 4), (1u << (c - 16)) - 1);
      EXPECT_EQ(get_u16(image, P + kPage - 36 - 2), (1u << (c - 16)) - 1);
    }
  }
  EXPECT_EQ(get_u32(image, kEntryEmptyCandidate), u + 2);
  EXPECT_EQ(get_u32(image, kEntryLastPage), u + 1);
  EXPECT_EQ(get_u32(image, kNextUnused), u + 3);
  EXPECT_EQ(get_u32(image, kArtworkHeaderPage * kPage + 44), kFirstArtworkPage);

  // Rows in request order, each track pointing at its own.
  auto db = decoded(image);
  ASSERT_EQ(db.artwork.size(), all.size());
  for (std::size_t n = 0; n < all.size(); ++n) {
    EXPECT_EQ(db.artwork[n].id, all[n].id);
    EXPECT_EQ(db.artwork[n].name, all[n].artwork_path);
    EXPECT_EQ(db.tracks[n].artwork_id, all[n].id);
  }
  auto report = joined(read(image));
  EXPECT_TRUE(report) << report.error().message;
}

// More artwork pages than the blank image has tables: each new page lies
// past the end of the image as it was when the step began.
TEST(Artwork, ManyPagesEachPastTheEnd) {
  std::vector<Track> all;
  for (std::uint32_t n = 1; n <= 30 * 25; ++n) all.push_back(track(n, path_of(126)));
  auto db = decoded(built(all));
  ASSERT_EQ(db.artwork.size(), all.size());
  EXPECT_EQ(db.artwork.back().id, all.back().id);
}

}  // namespace
}  // namespace dovrel
