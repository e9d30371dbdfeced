#include "vantrel_pdb/library.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "format/blank_image.h"
#include "format/strings.h"

namespace vantrel_pdb {
namespace {

TrackInput track(std::uint32_t id, std::string audio_path, std::string artwork_path = "") {
  TrackInput t;
  t.id = id;
  t.title = "Title " + std::to_string(id);
  t.artist = "Artist " + std::to_string(id % 3);
  t.album = "Album";
  t.genre = "Genre";
  t.key = "Fm";
  t.audio_path = std::move(audio_path);
  t.artwork_path = std::move(artwork_path);
  t.tempo = 12000 + id;
  return t;
}

// A committed library of tracks 10, 20, 30 (30 with artwork) and a folder
// 5 holding playlist 6 of tracks 30 and 10.
Library small_library() {
  auto library = Library::create();
  EXPECT_TRUE(library.add_track(track(10, "/music/a.mp3")));
  EXPECT_TRUE(library.add_track(track(20, "/music/b.wav")));
  EXPECT_TRUE(library.add_track(track(30, "/music/c.m4a", "/art/c.jpg")));
  const std::vector<PlaylistInput> playlists = {{6, "Evening", 5, false, {30, 10}}, {5, "Sets", 0, true, {}}};
  EXPECT_TRUE(library.add_playlists(playlists));
  EXPECT_TRUE(library.commit());
  return library;
}

std::vector<std::uint8_t> bytes_of(Library& library) {
  auto bytes = library.bytes();
  EXPECT_TRUE(bytes) << bytes.error().message();
  return bytes ? std::vector<std::uint8_t>(bytes->begin(), bytes->end()) : std::vector<std::uint8_t>{};
}

TEST(Library, MadeTracksAndPlaylistsReadBackWithTheirNames) {
  auto library = small_library();
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  ASSERT_EQ(tracks->size(), 3u);
  const TrackInfo& c = (*tracks)[2];
  EXPECT_EQ(c.id, 30u);
  EXPECT_EQ(c.title, "Title 30");
  EXPECT_EQ(c.artist, "Artist 0");
  EXPECT_EQ(c.key, "Fm");
  EXPECT_EQ(c.artwork_path, "/art/c.jpg");
  EXPECT_EQ(c.tempo, 12030u);
  EXPECT_DOUBLE_EQ(c.bpm, 120.30);
  EXPECT_EQ(c.file_type, 4u);
  EXPECT_EQ((*tracks)[1].file_type, 11u);
  EXPECT_EQ((*tracks)[0].artwork_path, "");

  auto playlists = library.playlists();
  ASSERT_TRUE(playlists);
  ASSERT_EQ(playlists->size(), 2u);
  // Parents first: the folder is made before its playlist.
  EXPECT_EQ((*playlists)[0].id, 5u);
  EXPECT_TRUE((*playlists)[0].is_folder);
  EXPECT_EQ((*playlists)[0].children, std::vector<std::uint32_t>{6});
  EXPECT_EQ((*playlists)[1].parent_id, 5u);
  EXPECT_EQ((*playlists)[1].tracks, (std::vector<std::uint32_t>{30, 10}));

  // A reopened image is the same library.
  auto reopened = Library::open(bytes_of(library));
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->tracks()->size(), 3u);
}

// The file type comes from the extension table, not the editor's own
// mapping (which gives an unknown extension such as flac the mp3 code).
TEST(Library, FileTypeFromTheExtensionTable) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"/m/x.flac", 5}, {"/m/x.ALAC", 6}, {"/m/x.aac", 4}, {"/m/x.aiff", 12}, {"/m/x.mp3", 1}};
  for (auto [path, code] : cases) {
    auto library = Library::create();
    ASSERT_TRUE(library.add_track(track(1, path)));
    auto tracks = library.tracks();
    ASSERT_TRUE(tracks) << tracks.error().message();
    EXPECT_EQ(tracks->at(0).file_type, code) << path;
  }
}

// What a copy carries over stands as given: a track's file type (even for an
// extension outside the table), a node's sort order, the play history with
// the tracks of this edit and of the database; ids of the database's
// history are taken.
TEST(Library, GivenFileTypesSortOrdersAndHistory) {
  auto library = small_library();
  TrackInput odd = track(40, "/m/x.ogg");
  odd.file_type = 0x1234;
  ASSERT_TRUE(library.add_track(odd));
  ASSERT_TRUE(library.add_playlist({7, "Late", 5, false, {40}, 0xFFFFFFF0}));
  ASSERT_TRUE(library.add_playlist({8, "Early", 5, false, {}, 3}));
  ASSERT_TRUE(library.add_history({2, "Friday", {40, 10, 40}}));
  ASSERT_TRUE(library.commit());
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  EXPECT_EQ(tracks->back().file_type, 0x1234u);
  auto playlists = library.playlists();
  ASSERT_TRUE(playlists);
  EXPECT_EQ(playlists->at(0).children, (std::vector<std::uint32_t>{6, 8, 7}));
  EXPECT_EQ(playlists->at(2).sort_order, 0xFFFFFFF0u);

  auto reopened = Library::open(bytes_of(library));
  ASSERT_TRUE(reopened) << reopened.error().message();
  auto again = reopened->add_history({2, "Again", {}});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), kDuplicateHistoryId);
  ASSERT_TRUE(reopened->add_history({9, "Saturday", {20}}));
  ASSERT_TRUE(reopened->commit());
  // Every row the edits wrote is one the check finds sound.
  const Findings findings = check(bytes_of(*reopened));
  EXPECT_TRUE(findings.list.empty()) << findings.list.front().code;
}

// A track table reads what tracks() gives, field by field, and keeps
// showing the state it was made from after the library changes.
TEST(Library, TrackTableReadsTheTracksOfItsState) {
  auto library = small_library();
  TrackInput every_text = track(50, "/music/e.aiff", "/art/e.jpg");
  every_text.label = "Harbour Records";
  every_text.analysis_path = "/scans/50.dat";
  every_text.comment = "Ñandú 夜";
  ASSERT_TRUE(library.add_track(std::move(every_text)));
  auto table = library.track_table();
  ASSERT_TRUE(table) << table.error().message();
  const auto before = *library.tracks();
  ASSERT_TRUE(library.set_tempo(20, 9000));
  ASSERT_TRUE(library.keep_only(std::vector<std::uint32_t>{20}, std::nullopt));
  ASSERT_TRUE(library.add_track(track(40, "/music/d.flac")));
  ASSERT_TRUE(library.commit());
  ASSERT_EQ(library.tracks()->size(), 2u);

  const TrackTable& t = **table;
  ASSERT_EQ(before.back().comment, "Ñandú 夜");
  ASSERT_EQ(t.size(), before.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const TrackInfo& want = before[i];
    auto info = t.info(i);
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(info->id, want.id);
    EXPECT_EQ(info->tempo, want.tempo);
    const std::pair<TrackText, const std::string*> texts[] = {{TrackText::kTitle, &want.title},
                                                              {TrackText::kArtist, &want.artist},
                                                              {TrackText::kAlbum, &want.album},
                                                              {TrackText::kGenre, &want.genre},
                                                              {TrackText::kKey, &want.key},
                                                              {TrackText::kLabel, &want.label},
                                                              {TrackText::kArtworkPath, &want.artwork_path},
                                                              {TrackText::kAudioPath, &want.audio_path},
                                                              {TrackText::kAnalysisPath, &want.analysis_path},
                                                              {TrackText::kComment, &want.comment}};
    for (auto [field, value] : texts)
      EXPECT_EQ(t.text(i, field).value(), *value) << i << " " << static_cast<int>(field);
    EXPECT_EQ(info->artwork_path, want.artwork_path);
    auto numbers = t.numbers(i);
    ASSERT_TRUE(numbers);
    EXPECT_EQ(numbers->title, "");
    EXPECT_EQ(numbers->artist, "");
    EXPECT_EQ(
        std::tuple(numbers->id, numbers->tempo, numbers->bpm, numbers->bitrate, numbers->sample_rate,
                   numbers->file_size, numbers->duration, numbers->sample_depth, numbers->file_type, numbers->rating),
        std::tuple(want.id, want.tempo, want.bpm, want.bitrate, want.sample_rate, want.file_size, want.duration,
                   want.sample_depth, want.file_type, want.rating));
  }
}

// Refused changes leave the library as it was before the edit began.
TEST(Library, RefusedEditsAreDroppedWhole) {
  struct Case {
    const char* name;
    std::function<std::expected<void, PdbError>(Library&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"existing track id", [](Library& l) { return l.add_track(track(20, "/m/x.mp3")); }, kDuplicateTrackId},
      {"id twice in one edit",
       [](Library& l) {
         (void)l.add_track(track(40, "/m/x.mp3"));
         return l.add_track(track(40, "/m/y.mp3"));
       },
       kDuplicateTrackId},
      {"existing playlist id",
       [](Library& l) {
         return l.add_playlist({6, "Again", 0, false, {}});
       },
       kDuplicatePlaylistId},
      {"missing parent",
       [](Library& l) {
         return l.add_playlist({7, "Lost", 99, false, {}});
       },
       kPlaylistParentMissing},
      {"absent track",
       [](Library& l) {
         return l.add_playlist({7, "Odd", 5, false, {10, 77}});
       },
       kPlaylistReferencesAbsentTrack},
      {"extension",
       [](Library& l) {
         (void)l.add_track(track(41, "/m/x.ogg"));
         return l.commit();
       },
       kUnsupportedAudioExtension},
      {"artwork path",
       [](Library& l) {
         (void)l.add_track(track(42, "/m/x.mp3", "/art/\xc3\xa9.jpg"));
         return l.commit();
       },
       "Artwork path must be short ASCII"},
      {"history id twice",
       [](Library& l) {
         (void)l.add_history({3, "Friday", {10}});
         return l.add_history({3, "Saturday", {}});
       },
       kDuplicateHistoryId},
      {"history of an absent track",
       [](Library& l) {
         return l.add_history({3, "Friday", {10, 77}});
       },
       kPlaylistReferencesAbsentTrack},
  };
  for (const Case& c : cases) {
    auto library = small_library();
    const auto before = bytes_of(library);
    auto result = c.change(library);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().message(), c.message) << c.name;
    EXPECT_TRUE(result.error().is<pdb_error::Refused>()) << c.name;
    EXPECT_EQ(bytes_of(library), before) << c.name;
  }
}

// A track prepared on another thread adds as add_track adds it, and fails
// as it fails: a taken id before a text that does not encode. A prepared
// track is spent once added.
TEST(Library, PreparedTracksAddAsAddTrackDoes) {
  auto direct = small_library();
  auto prepared = small_library();
  ASSERT_TRUE(direct.add_track(track(40, "/music/d.flac", "/art/d.jpg")));
  ASSERT_TRUE(direct.add_track(track(41, "/music/e.aiff")));
  std::vector<PreparedTrack> made;
  std::thread([&made] {
    made.push_back(Library::prepare_track(track(40, "/music/d.flac", "/art/d.jpg")));
    made.push_back(Library::prepare_track(track(41, "/music/e.aiff")));
  }).join();
  for (PreparedTrack& t : made) ASSERT_TRUE(prepared.add_prepared(std::move(t)));
  ASSERT_TRUE(direct.commit());
  ASSERT_TRUE(prepared.commit());
  EXPECT_EQ(bytes_of(prepared), bytes_of(direct));

  const auto before = bytes_of(prepared);
  auto spent = prepared.add_prepared(std::move(made[0]));
  ASSERT_FALSE(spent);
  EXPECT_TRUE(spent.error().is<pdb_error::Misuse>());

  TrackInput too_long = track(20, "/m/x.mp3");
  too_long.title.assign(kMaxEncodedTextLength + 1, 'x');
  for (auto [id, refusal] : {std::pair{20u, true}, std::pair{50u, false}}) {
    too_long.id = id;
    auto added = prepared.add_prepared(Library::prepare_track(too_long));
    ASSERT_FALSE(added) << id;
    EXPECT_EQ(added.error().is<pdb_error::Refused>(), refusal) << added.error().message();
    EXPECT_EQ(added.error().is<pdb_error::StringTooLong>(), !refusal) << added.error().message();
    EXPECT_EQ(bytes_of(prepared), before) << id;
  }
}

// The caller's ids go into the rows as they are: an id past the largest
// the tree or the tracks hold, or below it, alike. A folder given tracks
// fails naming the number the tree's numbering gives it (largest id + 1,
// in the order of adding), and the edit is dropped.
TEST(Library, CallersIdsAndTheFolderRefusal) {
  auto library = small_library();
  ASSERT_TRUE(library.add_track(track(0xFFFFFFFF, "/music/max.mp3")));
  ASSERT_TRUE(library.add_track(track(1, "/music/min.mp3")));
  ASSERT_TRUE(library.add_playlist({0xFFFFFFFF, "Top", 0, false, {1, 0xFFFFFFFF}}));
  ASSERT_TRUE(library.add_playlist({2, "Under", 0xFFFFFFFF, false, {}}));
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  EXPECT_EQ(tracks->back().id, 1u);
  EXPECT_EQ((*tracks)[3].id, 0xFFFFFFFFu);
  auto playlists = library.playlists();
  ASSERT_TRUE(playlists);
  EXPECT_EQ(playlists->at(2).tracks, (std::vector<std::uint32_t>{1, 0xFFFFFFFF}));
  EXPECT_EQ(playlists->at(2).children, std::vector<std::uint32_t>{2});

  auto fresh = small_library();  // tree ids 5 and 6
  const auto before = bytes_of(fresh);
  ASSERT_TRUE(fresh.add_playlist({40, "Plain", 0, false, {}}));  // number 7
  auto refused = fresh.add_playlist({50, "Folder", 0, true, {10}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "no playlist with id 8");
  EXPECT_EQ(bytes_of(fresh), before);
}

// One record reused for track after track holds what info() makes for
// each: no text of a longer earlier track is left behind in it.
TEST(Library, ReadIntoAReusedRecordGivesEachTrackAsInfoDoes) {
  auto library = small_library();
  TrackInput every_text = track(50, "/music/a much longer path than the others.aiff", "/art/e.jpg");
  every_text.label = "Harbour Records";
  every_text.analysis_path = "/scans/50.dat";
  every_text.comment = "Ñandú 夜";
  ASSERT_TRUE(library.add_track(std::move(every_text)));
  auto rows = library.track_rows();
  ASSERT_TRUE(rows) << rows.error().message();
  TrackInfo reused;
  for (std::size_t i : {3u, 0u, 2u, 3u, 1u}) {
    ASSERT_LT(i, rows->size());
    auto view = rows->at(i);
    ASSERT_TRUE(view);
    ASSERT_TRUE(view->read_into(reused));
    const TrackInfo want = *view->info();
    const auto fields = [](const TrackInfo& t) {
      return std::tuple(t.id, t.title, t.artist, t.album, t.genre, t.key, t.label, t.artwork_path, t.audio_path,
                        t.analysis_path, t.comment, t.tempo, t.bpm, t.bitrate, t.sample_rate, t.file_size, t.duration,
                        t.sample_depth, t.file_type, t.rating);
    };
    EXPECT_EQ(fields(reused), fields(want)) << i;
  }
}

// A borrowed image is read where it lies until the first change, which
// works on the library's own copy and leaves the lent bytes alone.
TEST(Library, BorrowedImageIsCopiedAtTheFirstChange) {
  auto made = small_library();
  const std::vector<std::uint8_t> lent = bytes_of(made);
  auto library = Library::open_borrowed(lent);
  ASSERT_TRUE(library) << library.error().message();
  ASSERT_EQ(library->bytes()->data(), lent.data());
  auto rows = library->track_rows();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ(rows->at(2)->info()->artwork_path, "/art/c.jpg");
  EXPECT_EQ(rows->at(1)->numbers().file_type, 11u);
  std::string title = "kept:";
  ASSERT_TRUE(rows->at(0)->append_text(TrackText::kTitle, title));
  EXPECT_EQ(title, "kept:Title 10");
  EXPECT_EQ(rows->at(2)->name(TrackText::kArtworkPath), "/art/c.jpg");
  EXPECT_EQ(rows->at(2)->name(TrackText::kTitle), "");  // stored in the row, not named

  ASSERT_TRUE(library->set_tempo(10, 9000));
  EXPECT_NE(library->bytes()->data(), lent.data());
  EXPECT_EQ(lent, bytes_of(made));
  EXPECT_EQ(library->tracks()->at(0).tempo, 9000u);
  auto taken = std::move(*library).take_bytes();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->size(), lent.size());

  // Damaged lent bytes fail as open fails on them.
  const std::vector<std::uint8_t> cut(lent.begin(), lent.begin() + 4096 * 3);
  EXPECT_EQ(Library::open_borrowed(cut).error().message(), Library::open(cut).error().message());
}

// Additions to an opened database: new ids may lie below existing ones,
// playlists may hang under existing folders and hold existing tracks, and
// artwork goes after the rows already in the artwork table.
TEST(Library, AddsToAnOpenedDatabase) {
  auto built = small_library();
  auto library = Library::open(bytes_of(built), Decoding::kRowLocations);
  ASSERT_TRUE(library) << library.error().message();
  ASSERT_TRUE(library->add_track(track(3, "/music/d.flac", "/art/d.jpg")));
  ASSERT_TRUE(library->add_playlist({4, "Late", 5, false, {3, 20}}));
  auto tracks = library->tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  ASSERT_EQ(tracks->size(), 4u);
  EXPECT_EQ(tracks->at(3).id, 3u);
  EXPECT_EQ(tracks->at(3).artwork_path, "/art/d.jpg");
  EXPECT_EQ(tracks->at(2).artwork_path, "/art/c.jpg");
  auto playlists = library->playlists();
  ASSERT_TRUE(playlists);
  EXPECT_EQ(playlists->at(0).children, (std::vector<std::uint32_t>{6, 4}));
  EXPECT_EQ(playlists->at(2).tracks, (std::vector<std::uint32_t>{3, 20}));
}

// A removed track's artwork row stays present, so a new track with the same
// id gets an artwork id of its own instead of showing the old picture.
TEST(Library, ArtworkIdOfARemovedTrackIsNotReused) {
  auto library = small_library();
  ASSERT_TRUE(library.keep_only(std::vector<std::uint32_t>{10, 20}, std::nullopt));
  ASSERT_TRUE(library.add_track(track(30, "/music/new.mp3", "/art/new.jpg")));
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks) << tracks.error().message();
  ASSERT_EQ(tracks->size(), 3u);
  EXPECT_EQ(tracks->at(2).artwork_path, "/art/new.jpg");
}

TEST(Library, KeepOnlyAndTempos) {
  auto library = small_library();
  ASSERT_TRUE(library.keep_only(std::vector<std::uint32_t>{10, 30}, std::vector<std::uint32_t>{5, 6}, {{10, 9000}}));
  ASSERT_TRUE(library.set_tempo(30, 13000));
  auto tracks = library.tracks();
  ASSERT_TRUE(tracks);
  ASSERT_EQ(tracks->size(), 2u);
  EXPECT_EQ(tracks->at(0).tempo, 9000u);
  EXPECT_EQ(tracks->at(1).tempo, 13000u);
  const auto before = bytes_of(library);
  auto missing = library.set_tempo(20, 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "no track with id 20");
  EXPECT_EQ(bytes_of(library), before);
}

TEST(Library, OpenRefusesWhatTheStructureCheckRefuses) {
  auto opened = Library::open(std::vector<std::uint8_t>(100, 0));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message(), "Invalid PDB page size/length");
  auto blank = Library::open(make_blank_image());
  ASSERT_TRUE(blank);
  EXPECT_TRUE(blank->tracks()->empty());
}

}  // namespace
}  // namespace vantrel_pdb
