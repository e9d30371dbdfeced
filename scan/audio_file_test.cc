// Audio files of every format the scan reads, made and tagged here, read
// back field by field.
#include "scan/audio_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scan/tag_mapping.h"
#include "scan/testing/audio_fixtures.h"
#include "src/scratch_dir_test_util.h"

namespace dovrel::scan {
namespace {

namespace t = testing;
using scratch::ScratchDir;

// A format: how to make an untagged file of it, and what its properties read as.
struct Format {
  std::string name;
  std::string extension;
  // Makes the untagged file at `path` (3 s); false when a tool is missing.
  std::function<bool(const ScratchDir&, const std::string& path)> make;
  std::uint32_t bitrate;  // 0: whatever the encoder made of silence
  std::uint16_t sample_depth;
  bool has_popularimeter;  // ID3v2 tags
};

t::Pcm three_seconds(std::uint16_t bits = 16) {
  t::Pcm pcm;
  pcm.frames = 3 * 44100 + 22;  // 3.0005 s: rounds to 3
  pcm.bits = bits;
  return pcm;
}

bool make_encoded(const ScratchDir& dir, const std::string& path, bool flac) {
  const std::string wav = dir.path("source.wav");
  if (!t::write_bytes(wav, t::wav_bytes(three_seconds()))) return false;
  return flac ? t::have_tool("flac") && t::encode_flac(wav, path)
              : t::have_tool("lame") && t::encode_mp3(wav, path, 128);
}

std::vector<Format> formats() {
  return {
      {"Wav", "wav",
       [](const ScratchDir&, const std::string& p) { return t::write_bytes(p, t::wav_bytes(three_seconds(24))); }, 2117,
       24, true},
      {"Aiff", "aiff",
       [](const ScratchDir&, const std::string& p) { return t::write_bytes(p, t::aiff_bytes(three_seconds())); }, 1411,
       16, true},
      {"M4aAlac", "m4a",
       [](const ScratchDir&, const std::string& p) {
         return t::write_bytes(p, t::m4a_bytes(three_seconds(24), t::Mp4Codec::kAlac, 1'500'000));
       },
       1500, 24, false},
      {"M4aAac", "m4a",
       [](const ScratchDir&, const std::string& p) {
         return t::write_bytes(p, t::m4a_bytes(three_seconds(), t::Mp4Codec::kAac, 191'500));
       },
       192, 0, false},
      {"Flac", "flac", [](const ScratchDir& d, const std::string& p) { return make_encoded(d, p, true); }, 0, 16,
       false},
      {"Mp3", "mp3", [](const ScratchDir& d, const std::string& p) { return make_encoded(d, p, false); }, 128, 0, true},
  };
}

class EveryFormat : public ::testing::TestWithParam<Format> {
 protected:
  // The untagged file, or a skip when its tool is missing.
  std::string make(const std::string& stem) {
    const std::string path = dir_.path(stem + "." + GetParam().extension);
    if (!GetParam().make(dir_, path)) {
      ADD_FAILURE() << "cannot make a " << GetParam().name << " file";
      return {};
    }
    return path;
  }
  bool tool_missing() const {
    const std::string& n = GetParam().name;
    return (n == "Flac" && !t::have_tool("flac")) || (n == "Mp3" && !t::have_tool("lame"));
  }

  ScratchDir dir_;
};

#define SKIP_WITHOUT_TOOL()                                                     \
  if (tool_missing())                                                           \
  GTEST_SKIP() << "the encoder for " << GetParam().name << " is not installed " \
               << "(scripts/setup.sh installs flac and lame)"

TEST_P(EveryFormat, EveryTagAndPropertyIsRead) {
  SKIP_WITHOUT_TOOL();
  const std::string path = make("tagged");
  t::Tags tags;
  tags.title = "Harbour Lights";
  tags.artist =
      "Tomasz Wr\xc3\xb3"
      "bel";
  tags.album = "Nocne Tramwaje";
  tags.genre = "Techno";
  tags.comment = "late set";
  tags.key = "Am";
  tags.label = "Linia 7";
  tags.bpm = GetParam().extension == "m4a" ? "128" : "126.5";
  tags.rating = "80";  // 4 stars as a percentage, where the format keeps a rating text
  tags.popularimeter = 255;
  tags.pictures = {{t::fake_png(1), false}, {t::fake_png(2), true}};
  ASSERT_TRUE(t::tag_file(path, tags));

  auto file = read_audio_file(path, true);
  ASSERT_TRUE(file) << file.error();
  EXPECT_EQ(file->title, "Harbour Lights");
  EXPECT_EQ(file->artist,
            "Tomasz Wr\xc3\xb3"
            "bel");
  EXPECT_EQ(file->album, "Nocne Tramwaje");
  EXPECT_EQ(file->genre, "Techno");
  EXPECT_EQ(file->comment, "late set");
  EXPECT_EQ(file->key, "Am");
  EXPECT_EQ(file->label, "Linia 7");
  EXPECT_EQ(file->bpm, GetParam().extension == "m4a" ? 128.0 : 126.5);
  // The popularimeter wins over a RATING text in ID3v2.
  EXPECT_EQ(file->rating, GetParam().has_popularimeter ? 5 : 4);
  EXPECT_EQ(file->duration, 3);
  EXPECT_EQ(file->sample_rate, 44100u);
  if (GetParam().bitrate != 0) {
    // MP3's is the average over the stream that the encoder's header gives.
    EXPECT_NEAR(file->bitrate, GetParam().bitrate, GetParam().extension == "mp3" ? 2 : 0);
  } else {
    EXPECT_GT(file->bitrate, 0u);
  }
  EXPECT_EQ(file->sample_depth, GetParam().sample_depth);
  EXPECT_EQ(file->file_size, scratch::read_whole(path).size());
  // The front cover, not the first picture; MP4 cover art has no types.
  EXPECT_EQ(file->picture, GetParam().extension == "m4a" ? t::fake_png(1) : t::fake_png(2));
  auto without = read_audio_file(path, false);
  ASSERT_TRUE(without);
  EXPECT_TRUE(without->picture.empty());
}

TEST_P(EveryFormat, MissingTagsLeaveFieldsEmptyAndTheTitleIsTheFileName) {
  SKIP_WITHOUT_TOOL();
  const std::string path = make("Night Bus (dub).mix");
  auto file = read_audio_file(path, true);
  ASSERT_TRUE(file) << file.error();
  EXPECT_EQ(file->title, "Night Bus (dub).mix");
  EXPECT_EQ(file->artist, "");
  EXPECT_EQ(file->album, "");
  EXPECT_EQ(file->genre, "");
  EXPECT_EQ(file->comment, "");
  EXPECT_EQ(file->key, "");
  EXPECT_EQ(file->label, std::nullopt);
  EXPECT_EQ(file->bpm, 0);
  EXPECT_EQ(file->rating, 0);
  EXPECT_TRUE(file->picture.empty());
  EXPECT_EQ(file->duration, 3);
}

TEST_P(EveryFormat, HugeTagValuesAreCutAtACharacterBoundary) {
  SKIP_WITHOUT_TOOL();
  const std::string path = make("huge");
  t::Tags tags;
  std::string long_text = "x";
  for (int i = 0; i < 40000; ++i) long_text += "\xc3\xa9";  // 80 KB of é after one ASCII byte
  tags.title = tags.artist = tags.album = tags.genre = tags.comment = tags.key = tags.label = long_text;
  ASSERT_TRUE(t::tag_file(path, tags));
  auto file = read_audio_file(path, false);
  ASSERT_TRUE(file) << file.error();
  // 1 + 2k bytes: the last whole character before the limit.
  EXPECT_EQ(file->title, long_text.substr(0, kMaxTitleBytes - 1));
  EXPECT_EQ(file->comment, long_text.substr(0, kMaxCommentBytes - 1));
  for (const std::string* name : {&file->artist, &file->album, &file->genre, &file->key}) {
    EXPECT_EQ(*name, long_text.substr(0, kMaxNameBytes - 1));
  }
  EXPECT_EQ(file->label, long_text.substr(0, kMaxNameBytes - 1));
}

TEST_P(EveryFormat, ABrokenFileGivesAReason) {
  SKIP_WITHOUT_TOOL();
  const std::string path = make("broken");
  // The first bytes kept, the rest of the file garbage.
  auto bytes = scratch::read_whole(path);
  bytes.resize(std::min<std::size_t>(bytes.size(), 16));
  bytes.insert(bytes.end(), 300, 0xFF);
  ASSERT_TRUE(t::write_bytes(path, bytes));
  auto file = read_audio_file(path, true);
  ASSERT_FALSE(file) << "read as " << file->title;
  EXPECT_TRUE(file.error().starts_with("not a readable ") || file.error() == "no audio stream found") << file.error();
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat, ::testing::ValuesIn(formats()),
                         [](const auto& test) { return test.param.name; });

// ID3 text encodings: UTF-16 with a byte order mark in ID3v2.3, Latin-1 in
// ID3v1, RIFF INFO in WAV.
struct EncodingCase {
  std::string name;
  std::string extension;
  t::Id3Style style;
};

class TagEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(TagEncoding, TextsArriveAsUtf8) {
  if (GetParam().extension == "mp3" && !t::have_tool("lame")) GTEST_SKIP() << "lame is not installed";
  ScratchDir dir;
  const std::string path = dir.path("t." + GetParam().extension);
  if (GetParam().extension == "mp3") {
    ASSERT_TRUE(make_encoded(dir, path, false));
  } else {
    ASSERT_TRUE(t::write_bytes(path, t::wav_bytes(three_seconds())));
  }
  t::Tags tags;
  tags.title = "Caf\xc3\xa9 \xc3\x80 Minuit";  // Latin-1 can hold it
  tags.artist =
      GetParam().style.id3v1_only || GetParam().style.riff_info ? "M\xc3\xb8ller" : "\xe5\xb1\xb1\xe7\x94\xb0";
  tags.genre = "House";
  ASSERT_TRUE(t::tag_file(path, tags, GetParam().style));
  auto file = read_audio_file(path, false);
  ASSERT_TRUE(file) << file.error();
  EXPECT_EQ(file->title, *tags.title);
  EXPECT_EQ(file->artist, *tags.artist);
  EXPECT_EQ(file->genre, "House");
}

INSTANTIATE_TEST_SUITE_P(Styles, TagEncoding,
                         ::testing::Values(EncodingCase{"Id3v23Utf16", "mp3", {3, true, false, false}},
                                           EncodingCase{"Id3v24Utf8", "mp3", {4, false, false, false}},
                                           EncodingCase{"Id3v1Latin1", "mp3", {4, false, true, false}},
                                           EncodingCase{"WavId3v23Utf16", "wav", {3, true, false, false}},
                                           EncodingCase{"WavRiffInfo", "wav", {4, false, false, true}}),
                         [](const auto& test) { return test.param.name; });

TEST(AudioFile, ContentDecidesTheFormatWhateverTheExtension) {
  ScratchDir dir;
  // A WAV file named .mp3 is read as the WAV it is.
  const std::string path = dir.path("really-a-wav.mp3");
  ASSERT_TRUE(t::write_bytes(path, t::wav_bytes(three_seconds(24))));
  auto file = read_audio_file(path, false);
  ASSERT_TRUE(file) << file.error();
  EXPECT_EQ(file->sample_depth, 24);
}

TEST(AudioFile, FailuresNameTheirReason) {
  ScratchDir dir;
  EXPECT_EQ(read_audio_file(dir.path("absent.wav"), false).error(), "No such file or directory (os error 2)");
  std::filesystem::create_directory(dir.path("folder.wav"));
  EXPECT_EQ(read_audio_file(dir.path("folder.wav"), false).error(), "not a regular file");
  ASSERT_TRUE(t::write_bytes(dir.path("empty.mp3"), {}));
  EXPECT_FALSE(read_audio_file(dir.path("empty.mp3"), false));
  ASSERT_TRUE(t::write_bytes(dir.path("notes.txt"), {'h', 'i'}));
  EXPECT_EQ(read_audio_file(dir.path("notes.txt"), false).error(), "not an audio file of the database's file types");
}

}  // namespace
}  // namespace dovrel::scan
