// update_track at the byte level: what is rewritten where it lies, what is
// replaced by a new row, what is appended, and that refusals write nothing.
#include "edit/track_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "edit/row_space.h"
#include "format/coding.h"
#include "format/format.h"
#include "read/database.h"
#include "read/named_rows.h"
#include "read/track.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

namespace r = track_row;
using ByteVec = std::vector<std::uint8_t>;

TrackInput input(std::uint32_t id, std::string title, std::string artwork = "") {
  TrackInput t;
  t.id = id;
  t.title = std::move(title);
  t.artist = "Mira";
  t.album = "Low Tide";
  t.genre = "House";
  t.key = "Fm";
  t.audio_path = std::string("/music/") + std::to_string(id) + ".mp3";
  t.comment = "caf\xc3\xa9 notes";  // stored as UTF-16
  t.artwork_path = std::move(artwork);
  t.tempo = 12000;
  return t;
}

// Tracks 1, 2 (with artwork) and 3, built as a build builds them.
ByteVec three_tracks() {
  Library library = Library::create();
  EXPECT_TRUE(library.add_track(input(1, "One")));
  EXPECT_TRUE(library.add_track(input(2, "Two", "/art/two.jpg")));
  EXPECT_TRUE(library.add_track(input(3, "Three")));
  auto bytes = std::move(library).take_bytes();
  EXPECT_TRUE(bytes);
  return *bytes;
}

Database decode(const ByteVec& image) {
  auto db = Database::from_bytes(image);
  EXPECT_TRUE(db) << db.error().message();
  return db ? std::move(*db) : Database{};
}

std::uint64_t row_of(const Database& db, const ByteVec& image, std::uint32_t id) {
  for (std::uint64_t row : db.row_locations(table_kind::tracks)) {
    if (decode_fixed32(image.data() + row + r::kIdOffset) == id) return row;
  }
  ADD_FAILURE() << "no row of track " << id;
  return 0;
}

// The positions at which two images of equal length differ.
std::vector<std::uint64_t> differences(const ByteVec& a, const ByteVec& b) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) out.push_back(i);
  }
  return out;
}

TEST(UpdateTrack, FixedFieldsAreRewrittenWhereTheyLie) {
  ByteVec image = three_tracks();
  const ByteVec before = image;
  const Database db = decode(image);
  const std::uint64_t row = row_of(db, image, 2);
  TrackChange change;
  change.rating = 5;
  change.tempo = 0x01020304;
  change.duration = 0x0506;
  auto done = update_track(image, db, 2, change);
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_EQ(done->rewritten, 1u);
  EXPECT_EQ(done->replaced, 0u);
  // Only the bytes of those fields, nothing of the header or the pages.
  std::vector<std::uint64_t> want = {row + r::kTempoOffset,     row + r::kTempoOffset + 1, row + r::kTempoOffset + 2,
                                     row + r::kTempoOffset + 3, row + r::kDurationOffset,  row + r::kDurationOffset + 1,
                                     row + r::kRatingOffset};
  EXPECT_EQ(differences(before, image), want);
  EXPECT_EQ(image.size(), before.size());
}

TEST(UpdateTrack, TextsThatFitAreLaidOutInTheRowsRoom) {
  ByteVec image = three_tracks();
  const ByteVec before = image;
  const Database db = decode(image);
  const std::uint64_t row = row_of(db, image, 2);
  const auto place = place_of_row(image, db.page_size, row);
  ASSERT_TRUE(place);
  auto old_track = Track::parse(image, row);
  ASSERT_TRUE(old_track);
  TrackChange change;
  change.title = "2";  // shorter: every later string moves down
  ASSERT_TRUE(update_track(image, db, 2, change));
  // Nothing outside the row's room changed.
  for (std::uint64_t at : differences(before, image)) {
    EXPECT_GE(at, row);
    EXPECT_LT(at, row + place->room);
  }
  auto new_track = Track::parse(image, row);
  ASSERT_TRUE(new_track);
  Track want = *old_track;
  want.strings[r::kTitleSlot] = "2";
  EXPECT_EQ(*new_track, want);
  // The UTF-16 comment kept its stored bytes; the room past the row is zero.
  const std::uint64_t comment =
      row + decode_fixed16(image.data() + row + r::kStringOffsetsOffset + 2 * r::kCommentSlot);
  EXPECT_EQ(image[comment], 0x90);
  const std::uint64_t end = row + decode_fixed16(image.data() + row + r::kStringOffsetsOffset + 2 * r::kFilePathSlot) +
                            1 + std::string("/music/2.mp3").size();
  for (std::uint64_t at = end; at < row + place->room; ++at) EXPECT_EQ(image[at], 0) << at - row;
}

TEST(UpdateTrack, ARowThatOutgrowsItsRoomIsReplacedWithTheSameIdAndSerial) {
  ByteVec image = three_tracks();
  const ByteVec before = image;
  const Database db = decode(image);
  const std::uint64_t row = row_of(db, image, 1);
  auto old_track = Track::parse(image, row);
  ASSERT_TRUE(old_track);
  TrackChange change;
  change.comment = std::string(300, 'c');
  auto done = update_track(image, db, 1, change);
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_EQ(done->replaced, 1u);
  const Database after = decode(image);
  const auto rows = after.row_locations(table_kind::tracks);
  ASSERT_EQ(rows.size(), 3u);
  // The old row is absent, its bytes left as they were; the new one is last.
  EXPECT_EQ(decode_fixed32(image.data() + rows[0] + r::kIdOffset), 2u);
  EXPECT_EQ(
      ByteVec(image.begin() + static_cast<std::ptrdiff_t>(row), image.begin() + static_cast<std::ptrdiff_t>(row + 200)),
      ByteVec(before.begin() + static_cast<std::ptrdiff_t>(row),
              before.begin() + static_cast<std::ptrdiff_t>(row + 200)));
  const std::uint64_t moved = rows[2];
  EXPECT_EQ(decode_fixed32(image.data() + moved + r::kTrackSerialOffset),
            decode_fixed32(before.data() + row + r::kTrackSerialOffset));
  auto new_track = Track::parse(image, moved);
  ASSERT_TRUE(new_track);
  Track want = *old_track;
  want.strings[r::kCommentSlot] = std::string(300, 'c');
  want.slot_stamp = static_cast<std::uint16_t>(32 * 3);  // the fourth slot of the page
  EXPECT_EQ(*new_track, want);
  // An edit that appended raises the sequence once.
  EXPECT_EQ(decode_fixed32(image.data() + format::kSequenceOffset),
            decode_fixed32(before.data() + format::kSequenceOffset) + 1);
  // The same change again fits the new row's room: nothing grows.
  const ByteVec grown = image;
  auto again = update_track(image, after, 1, change);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->replaced, 0u);
  EXPECT_EQ(image, grown);
}

TEST(UpdateTrack, NamesAreFoundOrAppendedAsABuildAppendsThem) {
  ByteVec image = three_tracks();
  const Database db = decode(image);
  TrackChange found;
  found.artist = "Mira";
  found.label = "Tidal";
  ASSERT_TRUE(update_track(image, db, 3, found));
  Database after = decode(image);
  ASSERT_EQ(after.artists.size(), 1u);
  ASSERT_EQ(after.labels.size(), 1u);
  EXPECT_EQ(after.labels[0].id, 1u);
  EXPECT_EQ(decode_fixed32(image.data() + row_of(after, image, 3) + r::kLabelIdOffset), 1u);

  TrackChange fresh;
  fresh.artist = "Ola";
  fresh.album = "Shore";
  ASSERT_TRUE(update_track(image, after, 3, fresh));
  after = decode(image);
  ASSERT_EQ(after.artists.size(), 2u);
  EXPECT_EQ(after.artists[1].id, 2u);
  EXPECT_EQ(after.artists[1].name, "Ola");
  ASSERT_EQ(after.albums.size(), 2u);
  EXPECT_EQ(after.albums[1].artist_id, 2u);  // the track's new artist
  // The artist row as add_track lays it out: subtype 0x60, slot stamp,
  // id, 3, name offset 10, the name.
  const std::uint64_t artist = after.row_locations(table_kind::artists)[1];
  EXPECT_EQ(ByteVec(image.begin() + static_cast<std::ptrdiff_t>(artist),
                    image.begin() + static_cast<std::ptrdiff_t>(artist + 16)),
            (ByteVec{0x60, 0, 32, 0, 2, 0, 0, 0, 3, 10, 0x09, 'O', 'l', 'a', 0, 0}));
  const std::uint64_t row = row_of(after, image, 3);
  EXPECT_EQ(decode_fixed32(image.data() + row + r::kArtistIdOffset), 2u);
  EXPECT_EQ(decode_fixed32(image.data() + row + r::kAlbumIdOffset), 2u);
}

TEST(UpdateTrack, ArtworkRowsAreReplacedAndTheOrphanMarkedAbsent) {
  ByteVec image = three_tracks();
  Database db = decode(image);
  TrackChange change;
  change.artwork_path = "/art/two-b.jpg";
  ASSERT_TRUE(update_track(image, db, 2, change));
  db = decode(image);
  ASSERT_EQ(db.artwork.size(), 1u);
  EXPECT_EQ(db.artwork[0].id, 2u);  // the track's id again: the old row is gone
  EXPECT_EQ(db.artwork[0].name, "/art/two-b.jpg");

  // Artwork for a track that had none; then shared artwork stays.
  change.artwork_path = "/art/one.jpg";
  ASSERT_TRUE(update_track(image, db, 1, change));
  db = decode(image);
  encode_fixed32(image.data() + row_of(db, image, 3) + r::kArtworkIdOffset, 1);  // 3 shows 1's artwork too
  db = decode(image);
  change.artwork_path = "";
  ASSERT_TRUE(update_track(image, db, 1, change));
  db = decode(image);
  EXPECT_EQ(decode_fixed32(image.data() + row_of(db, image, 1) + r::kArtworkIdOffset), 0u);
  ASSERT_EQ(db.artwork.size(), 2u);  // track 3 still shows row 1
  EXPECT_EQ(db.artwork[1].id, 1u);
}

struct Refusal {
  const char* what;
  TrackChange change;
  std::uint32_t id;
  const char* message;
};

class UpdateTrackRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(UpdateTrackRefusal, WritesNothing) {
  ByteVec image = three_tracks();
  const ByteVec before = image;
  const Database db = decode(image);
  auto done = update_track(image, db, GetParam().id, GetParam().change);
  ASSERT_FALSE(done) << GetParam().what;
  EXPECT_EQ(done.error().message(), GetParam().message) << GetParam().what;
  EXPECT_EQ(image, before) << GetParam().what;
}

TrackChange with(void (*set)(TrackChange&)) {
  TrackChange change;
  set(change);
  return change;
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateTrackRefusal,
                         ::testing::Values(Refusal{"absent track", with([](TrackChange& c) { c.rating = 1; }), 7,
                                                   "no track with id 7"},
                                           Refusal{"extension", with([](TrackChange& c) {
                                                     c.rating = 1;
                                                     c.audio_path = "/music/x.ogg";
                                                   }),
                                                   1, "Unsupported audio extension"},
                                           Refusal{"artwork not short ASCII", with([](TrackChange& c) {
                                                     c.artwork_path = "/art/caf\xc3\xa9.jpg";
                                                   }),
                                                   1, "Artwork path must be short ASCII"},
                                           Refusal{"text too long", with([](TrackChange& c) {
                                                     c.artist = "New";
                                                     c.title = std::string(40000, 't');
                                                   }),
                                                   1, "string too long for PDB encoding"},
                                           Refusal{"row too large", with([](TrackChange& c) {
                                                     c.artist = "New";
                                                     c.title = std::string(3000, 't');
                                                     c.comment = std::string(3000, 'c');
                                                   }),
                                                   1, "row allocation 6240 exceeds page capacity 4050"}));

}  // namespace
}  // namespace vantrel_pdb
