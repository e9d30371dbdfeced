// Track and Playlist: the library's TrackInfo and PlaylistInfo as Python
// objects, every field a read-only attribute under its C++ name.
#include <cstdint>
#include <vector>

#include "binding.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

namespace {

py::tuple tuple_of(const std::vector<std::uint32_t>& ids) {
  py::tuple out(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = py::int_(ids[i]);
  return out;
}

}  // namespace

void bind_records(py::module_& module) {
  // No constructor: tracks come from a Database, and they never change.
  py::class_<TrackInfo> track(module, "Track",
                              "A track of a database, its names resolved: artist, album, genre, key, label\n"
                              "and artwork path are \"\" when the track names none. Read-only.");
  show_in_package(track);
  track.def_readonly("id", &TrackInfo::id)
      .def_readonly("title", &TrackInfo::title)
      .def_readonly("artist", &TrackInfo::artist)
      .def_readonly("album", &TrackInfo::album)
      .def_readonly("genre", &TrackInfo::genre)
      .def_readonly("key", &TrackInfo::key)
      .def_readonly("label", &TrackInfo::label)
      .def_readonly("artwork_path", &TrackInfo::artwork_path)
      .def_readonly("audio_path", &TrackInfo::audio_path)
      .def_readonly("analysis_path", &TrackInfo::analysis_path)
      .def_readonly("comment", &TrackInfo::comment)
      .def_readonly("tempo", &TrackInfo::tempo, "Beats per minute × 100, as stored.")
      .def_readonly("bpm", &TrackInfo::bpm, "Beats per minute: tempo / 100.")
      .def_readonly("bitrate", &TrackInfo::bitrate)
      .def_readonly("sample_rate", &TrackInfo::sample_rate)
      .def_readonly("file_size", &TrackInfo::file_size)
      .def_readonly("duration", &TrackInfo::duration, "Seconds.")
      .def_readonly("sample_depth", &TrackInfo::sample_depth)
      .def_readonly("file_type", &TrackInfo::file_type, "The code of the audio path's extension (mp3 1, flac 5, ...).")
      .def_readonly("rating", &TrackInfo::rating)
      .def("__repr__", [](const TrackInfo& t) {
        return py::str("Track(id={}, title={!r}, artist={!r}, bpm={})").format(t.id, t.title, t.artist, t.bpm);
      });

  py::class_<PlaylistInfo> playlist(module, "Playlist", "A playlist or folder of a database's tree. Read-only.");
  show_in_package(playlist);
  playlist.def_readonly("id", &PlaylistInfo::id)
      .def_readonly("parent_id", &PlaylistInfo::parent_id, "0 at the top level.")
      .def_readonly("sort_order", &PlaylistInfo::sort_order)
      .def_readonly("name", &PlaylistInfo::name)
      .def_readonly("is_folder", &PlaylistInfo::is_folder)
      .def_property_readonly(
          "tracks", [](const PlaylistInfo& p) { return tuple_of(p.tracks); }, "Track ids in playing order.")
      .def_property_readonly(
          "children", [](const PlaylistInfo& p) { return tuple_of(p.children); },
          "Ids of the nodes under it, by sort order.")
      .def("__repr__", [](const PlaylistInfo& p) {
        return py::str("Playlist(id={}, name={!r}, parent_id={}, is_folder={}, tracks={!r})")
            .format(p.id, p.name, p.parent_id, p.is_folder, tuple_of(p.tracks));
      });
}

}  // namespace vantrel_pdb::python
