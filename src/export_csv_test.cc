#include "export_csv.h"

#include <gtest/gtest.h>

#include <string>

#include "export_test_util.h"

namespace dovrel {
namespace {

using export_test::sample_playlists;
using export_test::sample_tracks;

struct FieldCase {
  std::string field;
  std::string written;
};

class CsvField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(CsvField, IsQuotedOnlyWhenItMustBe) {
  std::string out;
  append_csv_field(out, GetParam().field);
  EXPECT_EQ(out, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Rfc4180, CsvField,
                         ::testing::Values(FieldCase{"", ""}, FieldCase{"plain text", "plain text"},
                                           FieldCase{" spaces kept ", " spaces kept "}, FieldCase{"a,b", "\"a,b\""},
                                           FieldCase{"say \"hi\"", "\"say \"\"hi\"\"\""}, FieldCase{"\"", "\"\"\"\""},
                                           FieldCase{"a\nb", "\"a\nb\""}, FieldCase{"a\rb", "\"a\rb\""},
                                           FieldCase{"tab\there;semi'", "tab\there;semi'"},
                                           FieldCase{"K\xc3\xa4the \xe6\x9d\xb1", "K\xc3\xa4the \xe6\x9d\xb1"}));

constexpr char kTrackHeader[] =
    "id,title,artist,album,genre,key,label,bpm,duration,rating,bitrate,sampleRate,sampleDepth,fileSize,fileType,"
    "comment,audioPath,analysisPath,artworkPath\r\n";

TEST(TracksCsv, HasTheHeaderAndOneRecordPerTrack) {
  EXPECT_EQ(tracks_csv(sample_tracks()),
            std::string(kTrackHeader) +
                "7,Night Ferry,Ines Varga,Coastline,Dub,Fm,Harbour,128.5,301,4,1411,44100,16,9000000,flac,warm,"
                "/music/ferry.flac,/scans/7.dat,/art/7.jpg\r\n"
                "9,\"Say \"\"Yes\"\", Now\",K\xc3\xa4the,,,,,120.0,65,0,0,0,0,0,mp3,\"line one\r\nline two\","
                "\"/music/yes\nno.mp3\",,\r\n"
                "11,</script><!--,,,,,,0.05,3600,0,0,0,0,0,99,,music/plain.wav,,\r\n");
}

TEST(TracksCsv, OfAnEmptyLibraryIsTheHeader) { EXPECT_EQ(tracks_csv({}), kTrackHeader); }

constexpr char kPlaylistHeader[] = "playlistId,parentId,isFolder,path,name,trackCount,tracks\r\n";

TEST(PlaylistsCsv, ListsEveryNodeInTreeOrderWithItsTracks) {
  EXPECT_EQ(playlists_csv(sample_playlists()), std::string(kPlaylistHeader) +
                                                   "4,0,false,Tokyo,Tokyo,1,11\r\n"
                                                   "1,0,true,Gigs,Gigs,0,\r\n"
                                                   "5,1,true,Gigs / Late,Late,0,\r\n"
                                                   "6,5,false,Gigs / Late / Closing,Closing,3,7 404 7\r\n"
                                                   "3,1,false,Gigs / Peak,Peak,2,9 7\r\n");
  EXPECT_EQ(playlists_csv({}), kPlaylistHeader);
}

TEST(PlaylistsCsv, QuotesNamesAndKeepsEmptyPlaylists) {
  EXPECT_EQ(playlists_csv(std::vector<vantrel_pdb::PlaylistInfo>{export_test::node(2, 0, 0, "A, \"B\"", false),
                                                                 export_test::node(3, 2, 0, "line\nbreak", false)}),
            std::string(kPlaylistHeader) +
                "2,0,false,\"A, \"\"B\"\"\",\"A, \"\"B\"\"\",0,\r\n"
                "3,2,false,\"A, \"\"B\"\" / line\nbreak\",\"line\nbreak\",0,\r\n");
}

TEST(PlaylistsCsvPath, StandsBesideTheTracksFile) {
  EXPECT_EQ(playlists_csv_path("library.csv"), "library-playlists.csv");
  EXPECT_EQ(playlists_csv_path("/out/Library.CSV"), "/out/Library-playlists.csv");
  EXPECT_EQ(playlists_csv_path("out/tracks.txt"), "out/tracks.txt-playlists.csv");
  EXPECT_EQ(playlists_csv_path("csv"), "csv-playlists.csv");
  EXPECT_EQ(playlists_csv_path("dir.csv/list"), "dir.csv/list-playlists.csv");
}

}  // namespace
}  // namespace dovrel
