// Track, Tracks and Playlist. A Track reads each field from the library's
// TrackTable when asked, so listing one field of 100,000 tracks makes no
// other; a Playlist is the library's PlaylistInfo, every field read-only.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "binding.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

namespace {

// One track: its table and its index there.
struct TrackRef {
  std::shared_ptr<const TrackTable> table;
  std::size_t index = 0;
};

// The state of iter(db.tracks).
struct TrackIterator {
  std::shared_ptr<const TrackTable> table;
  std::size_t next = 0;
};

template <TrackText field>
py::str text(const TrackRef& track) {
  const std::string value = value_or_raise(track.table->text(track.index, field));
  return py::str(value.data(), value.size());
}

template <auto member>
auto number(const TrackRef& track) {
  return value_or_raise(track.table->numbers(track.index)).*member;
}

py::tuple tuple_of(const std::vector<std::uint32_t>& ids) {
  py::tuple out(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = py::int_(ids[i]);
  return out;
}

void bind_track(py::module_& module) {
  // No constructor: tracks come from a Database, and they never change.
  py::class_<TrackRef> track(module, "Track",
                             "A track of a database, its names resolved: artist, album, genre, key, label\n"
                             "and artwork path are \"\" when the track names none. Read-only: it shows the\n"
                             "database as it was when db.tracks was read.");
  show_in_package(track);
  track.def_property_readonly("id", &number<&TrackInfo::id>)
      .def_property_readonly("title", &text<TrackText::kTitle>)
      .def_property_readonly("artist", &text<TrackText::kArtist>)
      .def_property_readonly("album", &text<TrackText::kAlbum>)
      .def_property_readonly("genre", &text<TrackText::kGenre>)
      .def_property_readonly("key", &text<TrackText::kKey>)
      .def_property_readonly("label", &text<TrackText::kLabel>)
      .def_property_readonly("artwork_path", &text<TrackText::kArtworkPath>)
      .def_property_readonly("audio_path", &text<TrackText::kAudioPath>)
      .def_property_readonly("analysis_path", &text<TrackText::kAnalysisPath>)
      .def_property_readonly("comment", &text<TrackText::kComment>)
      .def_property_readonly("tempo", &number<&TrackInfo::tempo>, "Beats per minute × 100, as stored.")
      .def_property_readonly("bpm", &number<&TrackInfo::bpm>, "Beats per minute: tempo / 100.")
      .def_property_readonly("bitrate", &number<&TrackInfo::bitrate>)
      .def_property_readonly("sample_rate", &number<&TrackInfo::sample_rate>)
      .def_property_readonly("file_size", &number<&TrackInfo::file_size>)
      .def_property_readonly("duration", &number<&TrackInfo::duration>, "Seconds.")
      .def_property_readonly("sample_depth", &number<&TrackInfo::sample_depth>)
      .def_property_readonly("file_type", &number<&TrackInfo::file_type>,
                             "The code of the audio path's extension (mp3 1, flac 5, ...).")
      .def_property_readonly("rating", &number<&TrackInfo::rating>)
      .def("__repr__", [](const TrackRef& t) {
        const TrackInfo info = value_or_raise(t.table->info(t.index));
        return py::str("Track(id={}, title={!r}, artist={!r}, bpm={})")
            .format(info.id, info.title, info.artist, info.bpm);
      });

  py::class_<TrackIterator> iterator(module, "TrackIterator", "An iterator over Tracks.");
  show_in_package(iterator);
  iterator.def("__iter__", [](TrackIterator& it) -> TrackIterator& { return it; })
      .def("__next__", [](TrackIterator& it) {
        if (it.next >= it.table->size()) throw py::stop_iteration();
        return TrackRef{it.table, it.next++};
      });

  py::class_<TrackSequence> tracks(module, "Tracks",
                                   "The tracks of a database in table order: a read-only sequence of Track,\n"
                                   "showing the database as it was when it was read.");
  show_in_package(tracks);
  tracks.def("__len__", [](const TrackSequence& s) { return s.table->size(); })
      .def("__getitem__",
           [](const TrackSequence& s, const py::object& key) -> py::object {
             const auto size = s.table->size();
             if (PySlice_Check(key.ptr())) {
               std::size_t start = 0, stop = 0, step = 0, length = 0;
               if (!py::reinterpret_borrow<py::slice>(key).compute(size, &start, &stop, &step, &length)) {
                 throw py::error_already_set();
               }
               py::tuple out(length);
               for (std::size_t i = 0; i < length; ++i, start += step) out[i] = py::cast(TrackRef{s.table, start});
               return out;
             }
             // As a tuple takes an index: anything with __index__, IndexError
             // when it does not fit.
             py::ssize_t index = PyNumber_AsSsize_t(key.ptr(), PyExc_IndexError);
             if (index == -1 && PyErr_Occurred()) throw py::error_already_set();
             if (index < 0) index += static_cast<py::ssize_t>(size);
             if (index < 0 || static_cast<std::size_t>(index) >= size)
               throw py::index_error("track index out of range");
             return py::cast(TrackRef{s.table, static_cast<std::size_t>(index)});
           })
      .def("__iter__",
           [](const TrackSequence& s) {
             return TrackIterator{s.table, 0};
           })
      .def("__repr__",
           [](const TrackSequence& s) { return py::str("<vantrel_pdb.Tracks: {} tracks>").format(s.table->size()); });
}

void bind_playlist(py::module_& module) {
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

}  // namespace

py::object track_with_id(const TrackSequence& tracks, std::uint32_t id) {
  for (std::size_t i = 0; i < tracks.table->size(); ++i) {
    if (value_or_raise(tracks.table->numbers(i)).id == id) return py::cast(TrackRef{tracks.table, i});
  }
  throw LibraryError(PdbError(pdb_error::TrackNotFound{id}));
}

void bind_records(py::module_& module) {
  bind_track(module);
  bind_playlist(module);
}

}  // namespace vantrel_pdb::python
