#include "track_input_row.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vantrel_pdb {
namespace {

// Long texts, so that a copy instead of a move would show as another block.
TrackInput texts_of_every_kind(std::optional<std::string> label) {
  TrackInput in;
  in.id = 7;
  in.title = "A title long enough for the heap";
  in.audio_path = "/music/some/long/folder/name/track.flac";
  in.comment = "a comment long enough for the heap";
  in.analysis_path = "/scans/some/long/folder/track.dat";
  in.artist = "An artist long enough for the heap";
  in.album = "";  // an empty name is still a name
  in.genre = "Genre";
  in.key = "8A";
  in.label = std::move(label);
  in.artwork_path = "/art/7.jpg";
  return in;
}

TEST(TrackInputRow, TextsGoIntoTheRowAndComeBackWhole) {
  for (const std::optional<std::string>& label : {std::optional<std::string>(), std::optional<std::string>("Label")}) {
    const TrackInput expected = texts_of_every_kind(label);
    TrackInput in = texts_of_every_kind(label);
    const char* title_bytes = in.title.data();
    NewTrack row = row_with_texts_of(in);
    EXPECT_EQ(row.title, expected.title);
    EXPECT_EQ(row.title.data(), title_bytes);  // moved, not copied
    EXPECT_EQ(row.file_path, expected.audio_path);
    EXPECT_EQ(row.comment, expected.comment);
    EXPECT_EQ(row.analysis_path, expected.analysis_path);
    EXPECT_EQ(row.artist, expected.artist);
    EXPECT_EQ(row.album, std::optional<std::string>(""));
    EXPECT_EQ(row.genre, expected.genre);
    EXPECT_EQ(row.key, expected.key);
    EXPECT_EQ(row.label, expected.label);
    // The numbers are the caller's to set, and the artwork path is no row text.
    EXPECT_EQ(row.id, 0u);
    EXPECT_EQ(in.artwork_path, expected.artwork_path);

    give_texts_back(row, in);
    EXPECT_EQ(in.title, expected.title);
    EXPECT_EQ(in.title.data(), title_bytes);
    EXPECT_EQ(in.audio_path, expected.audio_path);
    EXPECT_EQ(in.comment, expected.comment);
    EXPECT_EQ(in.analysis_path, expected.analysis_path);
    EXPECT_EQ(in.artist, expected.artist);
    EXPECT_EQ(in.album, expected.album);
    EXPECT_EQ(in.genre, expected.genre);
    EXPECT_EQ(in.key, expected.key);
    EXPECT_EQ(in.label, expected.label);
  }
}

}  // namespace
}  // namespace vantrel_pdb
