// Test helper: a small library as the exporters see it (records with names
// resolved), with the awkward texts each format must carry.
#ifndef DOVREL_EXPORT_TEST_UTIL_H_
#define DOVREL_EXPORT_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vantrel_pdb/library.h"

namespace dovrel::export_test {

inline vantrel_pdb::TrackInfo track(std::uint32_t id, std::string title, std::string artist, std::string audio_path,
                                    std::uint16_t duration = 200) {
  vantrel_pdb::TrackInfo t;
  t.id = id;
  t.title = std::move(title);
  t.artist = std::move(artist);
  t.audio_path = std::move(audio_path);
  t.duration = duration;
  return t;
}

inline vantrel_pdb::PlaylistInfo node(std::uint32_t id, std::uint32_t parent, std::uint32_t sort_order,
                                      std::string name, bool folder, std::vector<std::uint32_t> tracks = {}) {
  vantrel_pdb::PlaylistInfo p;
  p.id = id;
  p.parent_id = parent;
  p.sort_order = sort_order;
  p.name = std::move(name);
  p.is_folder = folder;
  p.tracks = std::move(tracks);
  return p;
}

// Three tracks: one with every field set, one with a comma, quotes and a
// line break in its texts, one without artist or artwork.
inline std::vector<vantrel_pdb::TrackInfo> sample_tracks() {
  auto a = track(7, "Night Ferry", "Ines Varga", "/music/ferry.flac", 301);
  a.album = "Coastline";
  a.genre = "Dub";
  a.key = "Fm";
  a.label = "Harbour";
  a.artwork_path = "/art/7.jpg";
  a.analysis_path = "/scans/7.dat";
  a.comment = "warm";
  a.tempo = 12850;
  a.bpm = 128.5;
  a.bitrate = 1411;
  a.sample_rate = 44100;
  a.sample_depth = 16;
  a.file_size = 9000000;
  a.file_type = 5;
  a.rating = 4;
  auto b = track(9, "Say \"Yes\", Now", "K\xc3\xa4the", "/music/yes\nno.mp3", 65);
  b.comment = "line one\r\nline two";
  b.tempo = 12000;
  b.file_type = 1;
  auto c = track(11, "</script><!--", "", "music/plain.wav", 3600);
  c.tempo = 5;
  c.file_type = 99;
  return {a, b, c};
}

// A folder holding a playlist and a nested folder, listed child first;
// playlists at the top level in reverse sort order; one entry names a
// track that is not there.
inline std::vector<vantrel_pdb::PlaylistInfo> sample_playlists() {
  return {node(3, 1, 2, "Peak", false, {9, 7}), node(1, 0, 1, "Gigs", true), node(4, 0, 0, "Tokyo", false, {11}),
          node(5, 1, 1, "Late", true), node(6, 5, 0, "Closing", false, {7, 404, 7})};
}

}  // namespace dovrel::export_test

#endif  // DOVREL_EXPORT_TEST_UTIL_H_
