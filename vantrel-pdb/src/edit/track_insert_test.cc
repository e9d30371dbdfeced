// add_track: the track row byte by byte, its numbering, its named rows, and
// a round trip through the reader.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "edit/editor.h"
#include "edit/track_fit.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "format/strings.h"
#include "read/database.h"
#include "read/track.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
namespace r = track_row;
using testing::get_u16;
using testing::get_u32;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kPage = 4096;

ByteVec image_of(const PdbEditor& e) { return ByteVec(e.image().begin(), e.image().end()); }

Database decode(const PdbEditor& e) {
  auto db = Database::from_bytes(e.image());
  EXPECT_TRUE(db) << db.error().message();
  return db ? std::move(*db) : Database{};
}

// Location of the k-th track row.
std::uint64_t track_location(const PdbEditor& e, std::size_t k) { return decode(e).row_locations(0)[k]; }

// Adds `t` and returns the row's location.
std::uint64_t add(PdbEditor& e, const NewTrack& t) {
  auto location = e.add_track(t);
  EXPECT_TRUE(location) << location.error().message();
  return location.value_or(0);
}

NewTrack with_id(std::uint32_t id, NewTrack t) {
  t.id = id;
  return t;
}

TEST(AddTrack, TakesTheCallersIdAndNumbersSerialsFromOne) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  const std::uint64_t first = add(editor, with_id(7, NewTrack("a", "/a.mp3")));
  const std::uint64_t second = add(editor, with_id(3, NewTrack("b", "/b.mp3")));
  ByteVec image = image_of(editor);
  EXPECT_EQ(first, track_location(editor, 0));
  EXPECT_EQ(second, track_location(editor, 1));
  EXPECT_EQ(get_u32(image, first + r::kIdOffset), 7u);
  EXPECT_EQ(get_u32(image, second + r::kIdOffset), 3u);
  EXPECT_EQ(get_u32(image, first + r::kTrackSerialOffset), 0x100001u);
  EXPECT_EQ(get_u32(image, second + r::kTrackSerialOffset), 0x100002u);
  EXPECT_EQ(get_u16(image, first + r::kSlotStampOffset), 0);
  EXPECT_EQ(get_u16(image, second + r::kSlotStampOffset), 32);
}

TEST(AddTrack, NumbersSerialsFromTheLargest) {
  testing::ImageBuilder b;
  auto t = b.add_table(0);
  testing::TrackRowFields fields;
  fields.id = 4;
  std::uint64_t a = b.add_row(t, testing::track_row(fields));
  fields.id = 17;
  std::uint64_t c = b.add_row(t, testing::track_row(fields));
  ByteVec image = b.finish();
  testing::put_u32(image, a + r::kTrackSerialOffset, 7);
  testing::put_u32(image, c + r::kTrackSerialOffset, 3);
  auto editor = PdbEditor::from_bytes(image);
  add(editor, NewTrack("t", "/t.mp3"));
  EXPECT_EQ(get_u32(image_of(editor), track_location(editor, 2) + r::kTrackSerialOffset), 8u);

  testing::put_u32(image, a + r::kTrackSerialOffset, 0xFFFFFFFF);
  auto at_max = PdbEditor::from_bytes(image);
  EXPECT_EQ(at_max.add_track(NewTrack("t", "/t.mp3")).error().message(),
            "track_serial=4294967296 does not fit in 4 byte(s)");
  EXPECT_EQ(image_of(at_max), image);
}

struct PathCase {
  std::string path;
  std::string file_name;
  std::optional<std::string> given_name = std::nullopt;
};

class FileName : public ::testing::TestWithParam<PathCase> {};

TEST_P(FileName, DerivedFromThePath) {
  const auto& c = GetParam();
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack t("t", c.path);
  t.file_name = c.given_name;
  add(editor, t);
  EXPECT_EQ(decode(editor).tracks.at(0).strings[r::kFileNameSlot], c.file_name);
  EXPECT_EQ(decode(editor).tracks.at(0).strings[r::kFilePathSlot], c.path);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileName,
                         ::testing::Values(PathCase{"/music/Song.MP3", "Song.MP3"}, PathCase{"/a/b.Wav", "b.Wav"},
                                           PathCase{"noext", "noext"}, PathCase{"/music/", ""},
                                           PathCase{"/a.wav/b", "b"},
                                           PathCase{"/m/real.wav", "shown.mp3", "shown.mp3"}));

TEST(AddTrack, NamedRowsAreSharedByNameAndLaidOutExactly) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack one("1", "/1.mp3"), two("2", "/2.mp3"), three("3", "/3.mp3"), four("4", "/4.mp3");
  one.artist = "X";
  one.album = "Alb";
  one.key = "Am";
  two.artist = "Y";
  two.album = "Alb";  // same name, other artist: the album found first
  three.album = "Solo";
  four.artist = "X";
  four.key = "Am";
  for (const auto* t : {&one, &two, &three, &four}) add(editor, *t);

  Database db = decode(editor);
  ASSERT_EQ(db.artists.size(), 2u);
  ASSERT_EQ(db.albums.size(), 2u);
  ASSERT_EQ(db.keys.size(), 1u);
  EXPECT_EQ(db.albums[0].artist_id, 1u);
  EXPECT_EQ(db.albums[1].artist_id, 0u);  // created for a track without artist
  auto ids = [&](std::size_t k) {
    const Track& t = db.tracks.at(k);
    return std::vector<std::uint32_t>{t.artist_id, t.album_id, t.key_id};
  };
  EXPECT_EQ(ids(0), (std::vector<std::uint32_t>{1, 1, 1}));
  EXPECT_EQ(ids(1), (std::vector<std::uint32_t>{2, 1, 0}));
  EXPECT_EQ(ids(2), (std::vector<std::uint32_t>{0, 2, 0}));
  EXPECT_EQ(ids(3), (std::vector<std::uint32_t>{1, 0, 1}));

  // Artists on page 6, albums on 8, keys on 12; allocations 16 + n, 28 + n
  // and 8 + n rounded up to 4, slot stamps on artist and album rows.
  ByteVec image = image_of(editor);
  auto bytes = [&](std::uint64_t pos, std::size_t n) {
    Bytes span = Bytes(image).subspan(pos, n);
    return ByteVec(span.begin(), span.end());
  };
  EXPECT_EQ(bytes(6 * kPage + 40, 12), (ByteVec{0x60, 0, 0, 0, 1, 0, 0, 0, 3, 10, 0x05, 'X'}));
  EXPECT_EQ(bytes(6 * kPage + 40 + 20, 4), (ByteVec{0x60, 0, 32, 0}));
  EXPECT_EQ(get_u16(image, 6 * kPage + f::kUsedSizeOffset), 40);
  EXPECT_EQ(bytes(8 * kPage + 40, 26),
            (ByteVec{0x80, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 22, 0x09, 'A', 'l', 'b'}));
  EXPECT_EQ(get_u16(image, 8 * kPage + 40 + 32 + 2), 32);
  EXPECT_EQ(get_u16(image, 8 * kPage + f::kUsedSizeOffset), 32 + 36);
  EXPECT_EQ(bytes(12 * kPage + 40, 11), (ByteVec{1, 0, 0, 0, 1, 0, 0, 0, 0x07, 'A', 'm'}));
  EXPECT_EQ(get_u16(image, 12 * kPage + f::kUsedSizeOffset), 12);
}

TEST(AddTrack, TrackWithoutNamesWritesOnlyTheTrackRow) {
  ByteVec blank = make_blank_image();
  auto editor = PdbEditor::from_bytes(blank);
  add(editor, NewTrack("t", "/t.mp3"));
  ByteVec image = image_of(editor);
  // Only page 2 (tracks), the track header page and page 0 changed.
  for (std::uint32_t p = 3; p < 41; ++p) {
    EXPECT_TRUE(std::equal(image.begin() + p * kPage, image.begin() + (p + 1) * kPage, blank.begin() + p * kPage)) << p;
  }
  Database db = decode(editor);
  const Track& t = db.tracks.at(0);
  EXPECT_EQ((std::vector<std::uint32_t>{t.artist_id, t.album_id, t.genre_id, t.key_id, t.label_id}),
            std::vector<std::uint32_t>(5, 0));
}

TEST(AddTrack, ShortStringsArePackedFrom136AndAllocationIsTheEstimate) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack t("Title", "/m/t.mp3");
  t.comment = "c";
  add(editor, t);
  ByteVec image = image_of(editor);
  std::uint64_t row = track_location(editor, 0);
  std::uint64_t pos = 136, estimate = 140;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    EXPECT_EQ(get_u16(image, row + r::kStringOffsetsOffset + 2 * i), pos) << i;
    std::uint64_t len = image[row + pos] >> 1;  // a short string of K is K >> 1 bytes long
    pos += len;
    estimate += f::round_up4(len);
  }
  EXPECT_EQ(get_u16(image, 2 * kPage + f::kUsedSizeOffset), estimate);
  for (std::uint64_t b = pos; b < estimate; ++b) EXPECT_EQ(image[row + b], 0) << b;
}

// A long title after a comment of n bytes: the title's natural start is
// 159 + n, moved up to a multiple of 4 with zeros.
class LongStringAlignment : public ::testing::TestWithParam<std::pair<std::size_t, std::uint64_t>> {};

TEST_P(LongStringAlignment, StartsAtAMultipleOfFour) {
  auto [comment_length, title_at] = GetParam();
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack t(std::string(127, 'T'), "/a.mp3");
  t.comment = std::string(comment_length, 'c');
  add(editor, t);
  ByteVec image = image_of(editor);
  std::uint64_t row = track_location(editor, 0);
  EXPECT_EQ(get_u16(image, row + r::kStringOffsetsOffset + 2 * r::kTitleSlot), title_at);
  for (std::uint64_t b = 159 + comment_length; b < title_at; ++b) EXPECT_EQ(image[row + b], 0) << b;
  EXPECT_EQ(image[row + title_at], kLongAsciiKind);
  // The short string after it follows at once.
  EXPECT_EQ(get_u16(image, row + r::kStringOffsetsOffset + 2 * 18), title_at + 131);
  EXPECT_EQ(decode(editor).tracks.at(0).strings[r::kTitleSlot], t.title);
}

INSTANTIATE_TEST_SUITE_P(Cases, LongStringAlignment,
                         ::testing::Values(std::pair<std::size_t, std::uint64_t>{1, 160},
                                           std::pair<std::size_t, std::uint64_t>{0, 160},
                                           std::pair<std::size_t, std::uint64_t>{3, 164},
                                           std::pair<std::size_t, std::uint64_t>{2, 164}));

TEST(AddTrack, Utf16StringIsAligned) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack t("t", "/a.mp3");
  t.aux_text_c = "ab";           // slot 14 would start at 158
  t.analysis_path = "\xC3\xA9";  // UTF-16, so at 160
  add(editor, t);
  ByteVec image = image_of(editor);
  std::uint64_t row = track_location(editor, 0);
  EXPECT_EQ(get_u16(image, row + r::kStringOffsetsOffset + 2 * r::kAnalysisPathSlot), 160);
  EXPECT_EQ(image[row + 158], 0);
  EXPECT_EQ(image[row + 159], 0);
  EXPECT_EQ(decode(editor).tracks.at(0).strings[r::kAnalysisPathSlot], "\xC3\xA9");
}

// Slots other than the title add 88 to the estimate for the path /a.mp3;
// a title of n ASCII bytes (n > 126) adds n + 4 rounded up.
class TrackRowTooLarge : public ::testing::TestWithParam<std::pair<std::size_t, std::uint64_t>> {};

TEST_P(TrackRowTooLarge, RefusedBeforeAnyNamedRow) {
  auto [title_length, estimate] = GetParam();
  ByteVec blank = make_blank_image();
  auto editor = PdbEditor::from_bytes(blank);
  NewTrack t(std::string(title_length, 'x'), "/a.mp3");
  t.artist = "a";
  t.album = "b";
  t.genre = "c";
  t.key = "d";
  t.label = "e";
  auto fits = check_track_fits(t, kPage);
  auto id = editor.add_track(t);
  EXPECT_EQ(fits.has_value(), id.has_value());
  if (estimate <= 4050) {
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_EQ(get_u16(image_of(editor), 2 * kPage + f::kUsedSizeOffset), estimate);
  } else {
    ASSERT_FALSE(id);
    EXPECT_EQ(id.error().message(), "row allocation " + std::to_string(estimate) + " exceeds page capacity 4050");
    EXPECT_EQ(image_of(editor), blank);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, TrackRowTooLarge,
                         ::testing::Values(std::pair<std::size_t, std::uint64_t>{3816, 4048},
                                           std::pair<std::size_t, std::uint64_t>{3817, 4052},
                                           std::pair<std::size_t, std::uint64_t>{4000, 4232}));

// check_track_fits refuses exactly what add_track refuses in a blank image,
// with the same error: the track row, each named row, each text.
struct FitCase {
  const char* what;
  std::size_t artist, album, key, comment;  // lengths of ASCII texts
  const char* start = "";                   // before the artist's and the comment's ASCII
};

class TrackFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(TrackFit, AgreesWithAddTrack) {
  const FitCase& c = GetParam();
  NewTrack t("t", "/a.mp3");
  t.artist = c.start + std::string(c.artist, 'a');
  t.album = std::string(c.album, 'b');
  t.genre = "g";
  t.key = std::string(c.key, 'k');
  t.comment = c.start + std::string(c.comment, 'c');
  auto editor = PdbEditor::from_bytes(make_blank_image());
  auto fits = check_track_fits(t, kPage);
  auto added = editor.add_track(t);
  ASSERT_EQ(fits.has_value(), added.has_value()) << c.what;
  if (!fits) {
    EXPECT_EQ(fits.error().message(), added.error().message()) << c.what;
  }
}

// An artist row reserves 16 bytes and an album row 28 before the name; a
// long ASCII name takes 4 header bytes.
INSTANTIATE_TEST_SUITE_P(Cases, TrackFit,
                         ::testing::Values(FitCase{"small", 1, 1, 1, 1}, FitCase{"artist at the limit", 4030, 1, 1, 1},
                                           FitCase{"artist past it", 4031, 1, 1, 1},
                                           FitCase{"album at the limit", 1, 4018, 1, 1},
                                           FitCase{"album past it", 1, 4019, 1, 1},
                                           FitCase{"key past the limit", 1, 1, 4039, 1},
                                           FitCase{"comment too long to encode", 1, 1, 1, 40000},
                                           // One accent makes a whole text UTF-16, 2 bytes a letter.
                                           FitCase{"UTF-16 texts within", 1, 1, 1, 1900, "\xC3\xA9"},
                                           FitCase{"UTF-16 comment past the limit", 1, 1, 1, 2000, "\xC3\xA9"},
                                           FitCase{"UTF-16 artist past the limit", 2100, 1, 1, 1, "\xC3\xA9"}));

TEST(AddTrack, TextTooLongIsRefusedBeforeAnyNamedRow) {
  ByteVec blank = make_blank_image();
  auto editor = PdbEditor::from_bytes(blank);
  NewTrack t("t", "/a.mp3");
  t.artist = "a";
  t.comment = std::string(40000, 'c');
  EXPECT_EQ(editor.add_track(t).error().message(), "string too long for PDB encoding");
  EXPECT_EQ(image_of(editor), blank);
}

TEST(AddTrack, EveryFieldRoundTripsThroughTheReader) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  NewTrack t("Title \xC3\xA9", "/music/dir/Song.Wav");
  t.comment = "comment";
  t.aux_text_c = "cc";
  t.aux_text_b = "bb";
  t.analysis_path = "/analysis/x.bin";
  t.aux_text_a = "aa";
  t.artist = "Artist";
  t.album = "Album";
  t.genre = "Genre";
  t.key = "Key";
  t.label = "Label";
  t.tempo = 12850;
  t.bitrate = 320;
  t.sample_rate = 48000;
  t.file_size = 123456789;
  t.aux_number = 0xA1A2A3A4;
  t.artwork_id = 77;
  t.duration = 0xB1B2;
  t.file_type = 11;
  t.aux_short_c = 0xC1C2;
  t.sample_depth = 24;
  t.aux_short_a = 0xD1D2;
  t.aux_short_b = 0xE1E2;
  t.rating = 5;
  t.aux_byte = 0xF1;
  t.id = 0xC0FFEE;
  const std::uint64_t row = add(editor, t);
  Database db = decode(editor);
  ASSERT_EQ(db.tracks.size(), 1u);
  const Track& got = db.tracks[0];
  std::array<std::string, r::kStringCount> strings{"",         "",        "2",     "2", "",
                                                   "",         "ON",      "ON",    "",  "",
                                                   "aa",       "bb",      "cc",    "",  "/analysis/x.bin",
                                                   "aa",       "comment", t.title, "",  "Song.Wav",
                                                   t.file_path};
  EXPECT_EQ(got.strings, strings);
  EXPECT_EQ(got.slot_stamp, 0);
  EXPECT_EQ(got.aux_word, 0x000C0700u);
  EXPECT_EQ(got.aux_id_a, 0u);
  EXPECT_EQ(got.aux_id_b, 0u);
  EXPECT_EQ(got.aux_id_c, 0u);
  EXPECT_EQ((std::vector<std::uint32_t>{got.sample_rate, got.file_size, got.artwork_id, got.bitrate, got.aux_number,
                                        got.tempo, got.id}),
            (std::vector<std::uint32_t>{48000, 123456789, 77, 320, 0xA1A2A3A4, 12850, 0xC0FFEE}));
  EXPECT_EQ(
      (std::vector<std::uint16_t>{got.aux_short_a, got.aux_short_b, got.aux_short_c, got.sample_depth, got.duration}),
      (std::vector<std::uint16_t>{0xD1D2, 0xE1E2, 0xC1C2, 24, 0xB1B2}));
  EXPECT_EQ(got.rating, 5);
  EXPECT_EQ(got.aux_byte, 0xF1);
  ASSERT_EQ(db.artists.size(), 1u);
  EXPECT_EQ(db.artists[0].name, "Artist");
  EXPECT_EQ(got.artist_id, db.artists[0].id);
  EXPECT_EQ(db.albums.at(0).name, "Album");
  EXPECT_EQ(got.album_id, db.albums[0].id);
  EXPECT_EQ(db.albums[0].artist_id, db.artists[0].id);
  EXPECT_EQ(db.genres.at(0).name, "Genre");
  EXPECT_EQ(got.genre_id, db.genres[0].id);
  EXPECT_EQ(db.keys.at(0).name, "Key");
  EXPECT_EQ(got.key_id, db.keys[0].id);
  EXPECT_EQ(db.labels.at(0).name, "Label");
  EXPECT_EQ(got.label_id, db.labels[0].id);
  // The bytes the reader does not keep.
  ByteVec image = image_of(editor);
  EXPECT_EQ(row, db.row_locations(0)[0]);
  EXPECT_EQ(get_u16(image, row + r::kSubtypeOffset), 0x24);
  EXPECT_EQ(get_u32(image, row + r::kConstant24Offset), 0x03DDAE49u);
  EXPECT_EQ(get_u16(image, row + r::kConstant86Offset), 41);
  EXPECT_EQ(get_u16(image, row + r::kFileTypeOffset), 11);
  EXPECT_EQ(get_u16(image, row + r::kConstant92Offset), 3);
}

}  // namespace
}  // namespace vantrel_pdb
