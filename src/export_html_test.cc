#include "export_html.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "export_artwork.h"
#include "export_test_util.h"
#include "scratch_dir_test_util.h"

namespace dovrel {
namespace {

using export_test::sample_playlists;
using export_test::sample_tracks;

struct ScriptCase {
  std::string text;
  std::string written;
};

class ScriptString : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptString, CannotEndTheScriptElement) {
  std::string out;
  append_script_json_string(out, GetParam().text);
  EXPECT_EQ(out, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptString,
    ::testing::Values(ScriptCase{"", "\"\""}, ScriptCase{"plain / text", "\"plain / text\""},
                      ScriptCase{"</script>", "\"\\u003c/script>\""}, ScriptCase{"</SCRIPT", "\"\\u003c/SCRIPT\""},
                      ScriptCase{"<!-- x -->", "\"\\u003c!-- x -->\""}, ScriptCase{"a<b", "\"a\\u003cb\""},
                      ScriptCase{"q\"b\\", "\"q\\\"b\\\\\""}, ScriptCase{"\n\t\x01", "\"\\n\\t\\u0001\""},
                      ScriptCase{"\xe2\x80\xa8|\xe2\x80\xa9", "\"\\u2028|\\u2029\""},
                      // Other characters that start with E2 stay as they are.
                      ScriptCase{"\xe2\x80\xa6 \xe2\x9c\xa6 \xe2\x80", "\"\xe2\x80\xa6 \xe2\x9c\xa6 \xe2\x80\""},
                      ScriptCase{"K\xc3\xa4the \x7f", "\"K\xc3\xa4the \x7f\""},
                      // Texts of 16 bytes and more: an escape in each place of a block,
                      // across two blocks, in the tail after the last whole block.
                      ScriptCase{"0123456789abcdef0123456789abcdef", "\"0123456789abcdef0123456789abcdef\""},
                      ScriptCase{"<123456789abcde\"\\123456789abcd\x1f"
                                 "0123456789",
                                 "\"\\u003c123456789abcde\\\"\\\\123456789abcd\\u001f0123456789\""},
                      ScriptCase{"0123456789abcd\xe2\x80\xa9x\xe2\x80\xa6\xc3\xa4\xff\x80 tail<",
                                 "\"0123456789abcd\\u2029x\xe2\x80\xa6\xc3\xa4\xff\x80 tail\\u003c\""},
                      ScriptCase{"0123456789abcdef\xe2\x80", "\"0123456789abcdef\xe2\x80\""}));

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(ImageDataUri, TellsTheImageByItsFirstBytes) {
  EXPECT_EQ(image_data_uri(bytes("\xff\xd8\xff\xe0")), "data:image/jpeg;base64,/9j/4A==");
  EXPECT_EQ(image_data_uri(bytes("\x89PNG\r\n\x1a\n")), "data:image/png;base64,iVBORw0KGgo=");
  EXPECT_EQ(image_data_uri(bytes("GIF89a")), "data:image/gif;base64,R0lGODlh");
  EXPECT_EQ(image_data_uri(bytes(std::string("RIFF\x04\0\0\0WEBPVP8 ", 16))),
            "data:image/webp;base64,UklGRgQAAABXRUJQVlA4IA==");
  EXPECT_EQ(image_data_uri(bytes("BM")), "data:image/bmp;base64,Qk0=");
  EXPECT_EQ(image_data_uri(bytes("")), "");
  EXPECT_EQ(image_data_uri(bytes("<svg onload=alert(1)>")), "");
  EXPECT_EQ(image_data_uri(bytes(std::string("XXXX\x04\0\0\0WEBP", 12))), "");
  EXPECT_EQ(image_data_uri(bytes("\xff\xd8")), "");
}

TEST(Summarize, CountsWhatThePageOpensWith) {
  auto tracks = sample_tracks();
  tracks.push_back(export_test::track(12, "again", "", "music/plain.wav", 10));
  tracks.push_back(export_test::track(13, "and again", "", "music/plain.wav", 10));
  tracks.push_back(export_test::track(14, "once more", "", "/music/ferry.flac", 10));
  const LibrarySummary s = summarize(tracks, sample_playlists());
  EXPECT_EQ(s.tracks, 6u);
  EXPECT_EQ(s.playlists, 3u);
  EXPECT_EQ(s.folders, 2u);
  EXPECT_EQ(s.total_duration, 301u + 65 + 3600 + 30);
  EXPECT_EQ(s.tracks_without_artwork, 5u);
  using Duplicates = std::vector<std::pair<std::string, std::size_t>>;
  EXPECT_EQ(s.duplicate_audio_paths, (Duplicates{{"music/plain.wav", 3}, {"/music/ferry.flac", 2}}));
}

// Many paths, some repeated up to 13 times and a text apart: each repeated
// path once, in the order it first comes again, with its count.
TEST(Summarize, RepeatedPathsAsAMapCountsThem) {
  std::vector<vantrel_pdb::TrackInfo> tracks;
  std::map<std::string, std::size_t> model;
  std::vector<std::string> order;
  for (std::uint32_t id = 1; id <= 3000; ++id) {
    std::string path = id % 3 == 0 ? "/m/" + std::to_string(id % 229) + ".mp3" : "/m/only-" + std::to_string(id);
    if (++model[path] == 2) order.push_back(path);
    tracks.push_back(export_test::track(id, "t", "", path));
  }
  std::vector<std::pair<std::string, std::size_t>> expected;
  for (const std::string& path : order) expected.emplace_back(path, model[path]);
  EXPECT_EQ(summarize(tracks, {}).duplicate_audio_paths, expected);
}

TEST(HtmlData, HoldsTracksPlaylistsSummaryAndImages) {
  const ArtworkUris art = {{"/art/7.jpg", "data:image/jpeg;base64,/9j/"}, {"/art/none.jpg", "data:x"}};
  EXPECT_EQ(
      html_data(sample_tracks(), sample_playlists(), art, true),
      "{\"art\":{\"/art/7.jpg\":\"data:image/jpeg;base64,/9j/\"},"
      "\"playlists\":[[4,\"Tokyo\",0,0,[2]],[1,\"Gigs\",1,0,[]],[5,\"Late\",1,1,[]],[6,\"Closing\",0,2,[0,0]],"
      "[3,\"Peak\",0,1,[1,0]]],"
      "\"summary\":{\"artworkShown\":1,\"duplicateAudioPaths\":[],\"folders\":2,\"playlists\":3,\"totalDuration\":3966,"
      "\"tracks\":3,\"tracksWithoutArtwork\":2},"
      "\"tracks\":[[7,\"Night Ferry\",\"Ines "
      "Varga\",\"Coastline\",\"Dub\",\"Fm\",\"Harbour\",128.5,301,4,1411,44100,16,"
      "9000000,\"flac\",\"warm\",\"/music/ferry.flac\",\"/scans/7.dat\",\"/art/7.jpg\"],"
      "[9,\"Say \\\"Yes\\\", Now\",\"K\xc3\xa4the\",\"\",\"\",\"\",\"\",120.0,65,0,0,0,0,0,\"mp3\",\"line "
      "one\\r\\nline "
      "two\",\"/music/yes\\nno.mp3\",\"\",\"\"],"
      "[11,\"\\u003c/script>\\u003c!--\",\"\",\"\",\"\",\"\",\"\",0.05,3600,0,0,0,0,0,\"99\",\"\",\"music/plain.wav\","
      "\"\",\"\"]]}");
  // Without a root the summary has no count of thumbnails.
  const std::string empty = html_data({}, {}, {}, false);
  EXPECT_EQ(empty,
            "{\"art\":{},\"playlists\":[],\"summary\":{\"duplicateAudioPaths\":[],\"folders\":0,\"playlists\":0,"
            "\"totalDuration\":0,\"tracks\":0,\"tracksWithoutArtwork\":0},\"tracks\":[]}");
}

TEST(HtmlPage, IsOneFileThatLoadsNothing) {
  const std::string page = html_page(sample_tracks(), sample_playlists(), {}, false);
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\n"));
  EXPECT_TRUE(page.ends_with("</html>\n"));
  // No address of any kind, no element that fetches, a policy that forbids it.
  for (const char* absent : {"http:", "https:", "//cdn", "src=", "href=", "<link", "@import", "url("}) {
    EXPECT_EQ(page.find(absent), std::string::npos) << absent;
  }
  EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'; img-src data:;"), std::string::npos);
  // Exactly three script elements: the first rows, the script, the data.
  std::size_t scripts = 0;
  for (std::size_t at = page.find("</script"); at != std::string::npos; at = page.find("</script", at + 1)) ++scripts;
  EXPECT_EQ(scripts, 3u);
  // The first rows are the data's rows (all of them, in a library this small).
  const std::string data = html_data(sample_tracks(), sample_playlists(), {}, false);
  const std::string rows = data.substr(data.find("\"tracks\":[") + 10, std::string::npos);
  const std::string first = "<script type=\"application/json\" id=\"library-first\">";
  const std::size_t first_start = page.find(first) + first.size();
  EXPECT_EQ(page.substr(first_start, page.find("</script>", first_start) - first_start),
            "[" + rows.substr(0, rows.size() - 1));
  const std::string open = "<script type=\"application/json\" id=\"library-data\">";
  const std::size_t start = page.find(open) + open.size();
  EXPECT_EQ(page.substr(start, page.find("</script>", start) - start),
            html_data(sample_tracks(), sample_playlists(), {}, false));
  EXPECT_EQ(page.find("<!--"), std::string::npos);

  // Written in parts (head, rows, tail), the page is the same bytes.
  std::vector<TrackFacts> facts;
  std::string all_rows;
  const std::vector<vantrel_pdb::TrackInfo> tracks = sample_tracks();
  for (const vantrel_pdb::TrackInfo& track : tracks) {
    append_track_rows(all_rows, std::span(&track, 1), !facts.empty());
    facts.push_back(facts_of(track));
  }
  const std::string head = html_page_head(all_rows, facts, sample_playlists(), {}, false);
  EXPECT_EQ(head + all_rows + html_page_tail(), page);
}

// Kept texts stay where they were put while the store fills block after
// block, a text longer than a block included.
TEST(TextStore, KeptTextsStayValid) {
  TextStore store;
  std::vector<std::pair<std::string, std::string_view>> kept;
  for (std::size_t i = 0; i < 5000; ++i) {
    std::string text(i % 97, static_cast<char>('a' + i % 26));
    if (i == 2500) text.assign(TextStore::kBlockBytes + 3, 'z');
    kept.emplace_back(text, store.keep(text));
  }
  for (const auto& [text, view] : kept) ASSERT_EQ(view, text);
}

TEST(LoadArtwork, ReadsSmallImagesUnderTheRootOnly) {
  scratch::ScratchDir dir;
  std::filesystem::create_directories(dir.dir() / "root/art");
  dir.write("root/art/a.jpg", bytes("\xff\xd8\xff\xe0"));
  dir.write("root/art/text.jpg", bytes("not an image"));
  std::vector<std::uint8_t> big(kMaxArtworkFileBytes + 1, 0);
  big[0] = 0xff, big[1] = 0xd8, big[2] = 0xff;
  dir.write("root/art/big.jpg", big);
  dir.write("outside.jpg", bytes("\xff\xd8\xff\xe1"));
  ASSERT_EQ(::mkfifo(dir.path("root/art/fifo.jpg").c_str(), 0600), 0);
  std::vector<TrackFacts> tracks;
  for (const char* path : {"/art/a.jpg", "art/a.jpg", "/art/text.jpg", "/art/big.jpg", "/../outside.jpg",
                           "/art/fifo.jpg", "/art/missing.jpg", "/art", ""}) {
    tracks.push_back({1, 60, "/m.mp3", path});
  }
  const ArtworkUris uris = load_artwork(tracks, dir.path("root"));
  EXPECT_EQ(uris, (ArtworkUris{{"/art/a.jpg", "data:image/jpeg;base64,/9j/4A=="},
                               {"art/a.jpg", "data:image/jpeg;base64,/9j/4A=="}}));
}

}  // namespace
}  // namespace dovrel
