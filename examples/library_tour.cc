// library_tour: a walk through vantrel_pdb's Library API.
//
//   library_tour INPUT OUTPUT
//
// Reads the database file INPUT, lists its tracks with their names, adds a
// FLAC track with artwork, keeps that track, two of the old ones and every
// playlist, sets a tempo, and saves the result to OUTPUT. Each step prints
// one line (the listing one line per track); the first error prints the
// library's message on standard error and exits 1.
//
// The ids below (9001 for the new track, 102 and 106 kept) suit the database
// that examples/library.json builds; for another database, change them.
//
// It uses only the installed headers vantrel_pdb/library.h and
// vantrel_pdb/files.h. Build it against an installed package with the
// CMakeLists.txt beside it, or with pkg-config:
//
//   g++ -std=c++23 library_tour.cc $(pkg-config --cflags --libs vantrel_pdb)
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <vantrel_pdb/files.h>
#include <vantrel_pdb/library.h>

namespace {

constexpr std::uint32_t kNewTrackId = 9001;
constexpr std::uint32_t kKeptTrackIds[] = {102, 106};
constexpr std::uint32_t kRetunedTrackId = 106;
constexpr double kRetunedBpm = 127.5;

// Every failure ends the program the same way: the step that failed and the
// library's own one-line message.
int fail(const char* step, const vantrel_pdb::PdbError& error) {
  std::fprintf(stderr, "library_tour: %s: %s\n", step, error.message().c_str());
  return 1;
}

void print_track(const vantrel_pdb::TrackInfo& track) {
  std::printf("  %u\t%s\t%s\t%s\t%s\t%s\t%.2f\n", track.id, track.title.c_str(), track.artist.c_str(),
              track.album.c_str(), track.genre.c_str(), track.key.c_str(), track.bpm);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: library_tour INPUT OUTPUT\n");
    return 2;
  }

  // 1. Read the file. The library itself touches no file: Library::open
  //    takes the page image as bytes, which files.h reads (a file that is no
  //    database is refused after its first page) or the program however it
  //    likes.
  auto image = vantrel_pdb::read_database_file(argv[1]);
  if (!image) return fail("read", image.error());
  std::printf("read %zu bytes\n", image->size());

  // 2. Open it: the structure check runs first, then the image is decoded.
  //    An image that is not a sound database fails here, with a message.
  auto library = vantrel_pdb::Library::open(std::move(*image));
  if (!library) return fail("open", library.error());

  // 3. List the tracks. Each TrackInfo carries the names behind the ids the
  //    track row holds (artist, album, genre, key, label, artwork path) and
  //    its tempo both as stored (hundredths) and in beats per minute.
  auto tracks = library->tracks();
  if (!tracks) return fail("tracks", tracks.error());
  std::printf("tracks: %zu (id, title, artist, album, genre, key, bpm)\n", tracks->size());
  for (const auto& track : *tracks) print_track(track);

  auto playlists = library->playlists();
  if (!playlists) return fail("playlists", playlists.error());
  std::printf("playlists: %zu\n", playlists->size());

  // 4. Add a track with an id of our choosing. The audio path's extension
  //    gives the file type (flac: 5); the artwork path gets an artwork row
  //    of its own. Additions form one edit, finished by commit(); a failed
  //    addition or commit drops the whole edit.
  auto added = library->add_track({
      .id = kNewTrackId,
      .title = "Harbour Lights",
      .artist = "Mira Solberg",
      .album = "Low Tide",
      .genre = "Deep House",
      .key = "Dm",
      .label = std::nullopt,  // no label row; the names above are always stored
      .audio_path = "/music/mira-solberg/low-tide/harbour-lights.flac",
      .analysis_path = "/analysis/harbour-lights.dat",
      .artwork_path = "/art/harbour-lights.jpg",
      .comment = "added by library_tour",
      .tempo = vantrel_pdb::tempo_from_bpm(121.25),
      .bitrate = 1411,
      .sample_rate = 44100,
      .file_size = 31'457'280,
      .duration = 372,
      .sample_depth = 16,
  });
  if (!added) return fail("add track", added.error());
  if (auto committed = library->commit(); !committed) return fail("commit", committed.error());
  std::printf("added track %u\n", kNewTrackId);

  // 5. Keep a subset: the new track and two old ones; every playlist
  //    (nullopt keeps all of a kind). The other tracks' rows are marked
  //    absent in place and leave the playlists that named them. The result
  //    is checked; on failure the image is as it was.
  std::vector<std::uint32_t> keep(std::begin(kKeptTrackIds), std::end(kKeptTrackIds));
  keep.push_back(kNewTrackId);
  auto kept = library->keep_only(keep, std::nullopt);
  if (!kept) return fail("keep only", kept.error());
  std::printf("kept %zu tracks and every playlist\n", keep.size());

  // 6. Set a tempo in place. set_tempo takes the stored form (hundredths);
  //    tempo_from_bpm converts.
  auto retuned = library->set_tempo(kRetunedTrackId, vantrel_pdb::tempo_from_bpm(kRetunedBpm));
  if (!retuned) return fail("set tempo", retuned.error());
  std::printf("set tempo of track %u to %.2f bpm\n", kRetunedTrackId, kRetunedBpm);

  // 7. Save: write_file's safe replacement (a new file beside the target,
  //    synced, then renamed over it), so OUTPUT is never half-written.
  auto saved = vantrel_pdb::save(*library, argv[2]);
  if (!saved) return fail("save", saved.error());
  auto bytes = library->bytes();
  if (!bytes) return fail("bytes", bytes.error());
  std::printf("saved %zu bytes\n", bytes->size());

  // 8. What the saved database holds now.
  tracks = library->tracks();
  if (!tracks) return fail("tracks", tracks.error());
  std::printf("tracks now: %zu\n", tracks->size());
  for (const auto& track : *tracks) {
    print_track(track);
    if (track.id == kNewTrackId) {
      std::printf("    file type %u, artwork %s\n", unsigned{track.file_type}, track.artwork_path.c_str());
    }
  }
  return 0;
}
