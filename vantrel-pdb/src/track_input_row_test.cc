#include "track_input_row.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

namespace vantrel_pdb {
namespace {

// The texts row_with_texts_of takes, as a track input holds them and as a
// row does (its names optional).
auto input_texts(const TrackInput& t) {
  return std::tie(t.title, t.audio_path, t.comment, t.analysis_path, t.artist, t.album, t.genre, t.key, t.label);
}
auto row_texts(const NewTrack& r) {
  return std::tie(r.title, r.file_path, r.comment, r.analysis_path, r.artist, r.album, r.genre, r.key, r.label);
}

// Long texts, so that a copy instead of a move would show as another block;
// an empty album, which is still a name.
TrackInput with_texts(std::optional<std::string> label) {
  return TrackInput{.id = 7,
                    .title = "A title long enough for the heap",
                    .artist = "An artist long enough for the heap",
                    .album = "",
                    .genre = "Genre",
                    .key = "8A",
                    .label = std::move(label),
                    .audio_path = "/music/some/long/folder/name/track.flac",
                    .analysis_path = "/scans/some/long/folder/track.dat",
                    .artwork_path = "/art/7.jpg",
                    .comment = "a comment long enough for the heap"};
}

TEST(TrackInputRow, TextsGoIntoTheRowAndComeBackWhole) {
  for (const std::optional<std::string>& label : {std::optional<std::string>(), std::optional<std::string>("Label")}) {
    const TrackInput expected = with_texts(label);
    TrackInput in = with_texts(label);
    const char* title_bytes = in.title.data();
    NewTrack row = row_with_texts_of(in);
    EXPECT_TRUE(row_texts(row) == input_texts(expected));
    EXPECT_TRUE(row.album.has_value());
    EXPECT_EQ(row.title.data(), title_bytes);  // moved, not copied
    // The numbers are the caller's to set, and the artwork path is no row text.
    EXPECT_EQ(row.id, 0u);
    EXPECT_EQ(in.artwork_path, expected.artwork_path);

    give_texts_back(row, in);
    EXPECT_TRUE(input_texts(in) == input_texts(expected));
    EXPECT_EQ(in.title.data(), title_bytes);
  }
}

}  // namespace
}  // namespace vantrel_pdb
