#include "human_output.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "display_width.h"

namespace dovrel {
namespace {

constexpr const char* kReport =
    R"({"playlists":[{"id":5,"isFolder":false,"name":"Warm-up \u30a6\u30a9\u30fc\u30e0","parentId":4,"tracks":[2,1]},)"
    R"({"id":4,"isFolder":true,"name":"Gigs","parentId":0,"tracks":[]},)"
    R"({"id":6,"isFolder":false,"name":"Lost","parentId":99,"tracks":[1]},)"
    R"({"id":7,"isFolder":true,"name":"Loop A","parentId":8,"tracks":[]},)"
    R"({"id":8,"isFolder":true,"name":"Loop B","parentId":7,"tracks":[]}],)"
    R"("tracks":[{"album":"","analysisPath":"","artist":"\u9999\u7e54 Kaori","artworkPath":"","audioPath":"/a.mp3",)"
    R"("bitrate":320,"bpm":124.0,"comment":"","duration":301,"fileSize":1,"genre":"","id":1,"key":"Am","rating":0,)"
    R"("sampleDepth":16,"sampleRate":44100,"title":"\u6771\u4eac\u306e\u591c\u660e\u3051 Night Drive"},)"
    R"({"album":"","analysisPath":"","artist":"Mo\u0308tley","artworkPath":"","audioPath":"/b.mp3","bitrate":320,)"
    R"("bpm":130.5,"comment":"","duration":3661,"fileSize":1,"genre":"","id":22,"key":"Cm","rating":0,)"
    R"("sampleDepth":16,"sampleRate":44100,"title":"Cafe\u0301"}],"version":1})";

std::string render(std::string_view action, std::string_view line, std::size_t width,
                   OutputFormat format = OutputFormat::kTable) {
  auto shown = render_for_people(action, line, format, width, "out.pdb");
  EXPECT_TRUE(shown) << shown.error().message;
  return shown ? *shown : "";
}

TEST(HumanOutput, ReadTableFitsEveryWidth) {
  for (std::size_t width : {80u, 40u, 24u, 10u}) {
    const std::string shown = render("read", kReport, width);
    std::istringstream lines(shown);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(display_width(line), width) << width << ": " << line;
  }
  const std::string wide = render("read", kReport, 80);
  EXPECT_NE(wide.find("ID  ARTIST"), std::string::npos) << wide;
  EXPECT_NE(wide.find("5:01"), std::string::npos);
  EXPECT_NE(wide.find("1:01:01"), std::string::npos);
  EXPECT_NE(wide.find("130.5"), std::string::npos);
  EXPECT_NE(wide.find("Cafe\xCC\x81"), std::string::npos);
  EXPECT_NE(wide.find("2 tracks\n"), std::string::npos);
}

TEST(HumanOutput, TreeIndentsUnderFoldersAndKeepsStrays) {
  EXPECT_EQ(render("read", kReport, 80, OutputFormat::kTree),
            "Gigs/\n"
            "  Warm-up \xE3\x82\xA6\xE3\x82\xA9\xE3\x83\xBC\xE3\x83\xA0 (2)\n"
            "Lost (1)\n"
            "Loop A/\n"
            "  Loop B/\n");
  EXPECT_EQ(render("read", R"({"playlists":[],"tracks":[],"version":1})", 80, OutputFormat::kTree), "(no playlists)\n");
}

TEST(HumanOutput, CheckFindingsThenVerdict) {
  EXPECT_EQ(render("check",
                   R"({"counts":{"errors":2,"pages":47,"warnings":1},"findings":[{"code":"page-identity",)"
                   R"("message":"page 2 of table tracks carries the index 0","severity":"error"}],"ok":false})",
                   80),
            "error page-identity: page 2 of table tracks carries the index 0\n"
            "damaged: 2 errors, 1 warning in 47 pages (2 not listed)\n");
}

TEST(HumanOutput, WritesSaySummaries) {
  EXPECT_EQ(render("build", R"({"artwork":0,"entries":3,"folders":1,"outputBytes":4096,"playlists":2,"tracks":1})", 80),
            "wrote out.pdb: 1 track, 2 playlists, 1 folder, 3 entries, 0 artwork (4096 bytes)\n");
  EXPECT_EQ(render("patch", kReport, 80), "wrote out.pdb: 2 tracks, 2 playlists, 3 folders\n");
  EXPECT_EQ(render("export", R"({"files":["a.csv","a-playlists.csv"]})", 80), "wrote out.pdb: 2 files\n");
  EXPECT_FALSE(render_for_people("read", "not json", OutputFormat::kTable, 80, ""));
}

}  // namespace
}  // namespace dovrel
