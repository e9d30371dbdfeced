// Database: a Library behind a lock, with the GIL released around every
// call that works on the whole image, and open() and create().
#include <Python.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/id_hash.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

std::vector<std::uint8_t> copy_buffer(const py::handle& source) {
  Py_buffer view;
  if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  const auto* begin = static_cast<const std::uint8_t*>(view.buf);
  std::vector<std::uint8_t> bytes(begin, begin + view.len);
  PyBuffer_Release(&view);
  return bytes;
}

namespace {

// One Library shared by the Python threads that hold the object. Each call
// releases the GIL, then takes the lock; it never waits for the GIL while
// holding the lock, so two threads cannot wait for each other.
class Database {
 public:
  explicit Database(Library library) : library_(std::move(library)) {}

  // Runs `work` on the library without the GIL, alone.
  template <class Work>
  auto run(Work&& work) {
    py::gil_scoped_release released;
    std::lock_guard lock(mutex_);
    return work(library_);
  }

  // As run, for a call that changes what tracks and playlists read.
  template <class Work>
  auto change(Work&& work) {
    return run([&](Library& library) {
      ++generation_;
      return work(library);
    });
  }

  // The tracks as one Tracks object per state of the library: reading them
  // again costs nothing until the next change.
  py::object tracks() {
    return cached(tracks_, [](Library& library) { return library.track_table(); });
  }
  // The playlists as a tuple of Playlist, made once per state.
  py::object playlists() {
    return cached(playlists_, [](Library& library) { return library.playlists(); });
  }

 private:
  // A Python value made from the library's state of one generation.
  struct Cache {
    std::uint64_t generation = 0;
    std::optional<py::object> value;
  };

  // The value of `cache`, made anew when the library has changed since:
  // `read` runs on the library without the GIL, and its result becomes a
  // Python object with the GIL held again.
  template <class Read>
  py::object cached(Cache& cache, Read&& read) {
    if (cache.value && cache.generation == generation_.load()) return *cache.value;
    std::uint64_t generation = 0;
    auto records = value_or_raise(run([&](Library& library) {
      generation = generation_.load();
      return read(library);
    }));
    py::object out = to_python(std::move(records));
    cache = {generation, out};
    return out;
  }

  static py::object to_python(std::shared_ptr<const TrackTable> table) {
    return py::cast(TrackSequence{std::move(table)});
  }
  static py::object to_python(std::vector<PlaylistInfo> records) {
    py::tuple out(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), py::cast(std::move(records[i])).release().ptr());
    }
    return out;
  }

  std::mutex mutex_;
  Library library_;
  // Counts the changes; a cache of an older generation is stale.
  std::atomic<std::uint64_t> generation_ = 0;
  Cache tracks_;
  Cache playlists_;
};

std::unique_ptr<Database> open_database(const py::object& source) {
  std::optional<std::expected<Library, PdbError>> library;
  if (PyObject_CheckBuffer(source.ptr())) {
    auto image = copy_buffer(source);
    py::gil_scoped_release released;
    library = Library::open(std::move(image));
  } else {
    const std::string path = to_path(source);
    py::gil_scoped_release released;
    auto image = read_database_file(path);
    library = image ? Library::open(std::move(*image)) : std::unexpected(std::move(image.error()));
  }
  return std::make_unique<Database>(value_or_raise(std::move(*library)));
}

PlaylistInput playlist_input(std::uint32_t id, std::string name, std::uint32_t parent_id, bool is_folder,
                             const py::iterable& tracks) {
  return PlaylistInput{id, std::move(name), parent_id, is_folder, to_ids(tracks)};
}

// add_playlist's keyword arguments, shared by add_playlists' mappings.
#define VANTREL_PDB_PLAYLIST_ARGS                                                                        \
  py::kw_only(), py::arg("id"), py::arg("name"), py::arg("parent_id") = 0, py::arg("is_folder") = false, \
                                                 py::arg("tracks") = py::tuple()

// The value of a change about one track or playlist: its error names the
// id, as the library's messages mostly do already ("no track with id 7");
// one that does not is prefixed ("track 7: Unsupported audio extension").
void raise_about(const char* what, std::uint32_t id, std::expected<void, PdbError> result) {
  if (result) return;
  std::string message = result.error().message();
  const std::string number = std::to_string(id);
  if (message.find(number) == std::string::npos) message = std::string(what) + " " + number + ": " + message;
  throw LibraryError(message);
}

std::optional<std::vector<std::uint32_t>> optional_ids(const std::optional<py::iterable>& ids) {
  if (!ids) return std::nullopt;
  return to_ids(*ids);
}

}  // namespace

py::object wrap_library(Library library) { return py::cast(std::make_unique<Database>(std::move(library))); }

void bind_database(py::module_& module) {
  using py::arg;
  // Named as the C++ class it wraps; "Database", its name in 0.1, stays as
  // an alias.
  py::class_<Database> database(module, "Library",
                                "A whole database in memory: one page image, its tracks and its playlist tree.\n"
                                "Made by open() or create(). Additions form one edit, finished by commit();\n"
                                "reading, keep_only, set_tempo, to_bytes and save commit a pending edit first.\n"
                                "Safe to share between threads: calls on one database take turns.");
  show_in_package(database);
  database
      .def_property_readonly("tracks", &Database::tracks,
                             "The tracks in table order, as Tracks: a read-only sequence of Track (committing\n"
                             "first). The same object until the next change.")
      .def_property_readonly("playlists", &Database::playlists,
                             "The playlist tree's nodes in table order, as a tuple of Playlist.")
      .def(
          "add_track",
          [](Database& db, std::uint32_t id, std::string title, std::string artist, std::string album,
             std::string genre, std::string key, std::optional<std::string> label, std::string audio_path,
             std::string analysis_path, std::string artwork_path, std::string comment, std::optional<double> bpm,
             std::optional<std::uint32_t> tempo, std::uint32_t bitrate, std::uint32_t sample_rate,
             std::uint32_t file_size, std::uint16_t duration, std::uint16_t sample_depth, std::uint8_t rating) {
            if (bpm && tempo) throw py::type_error("add_track() takes bpm or tempo, not both");
            TrackInput track{.id = id,
                             .title = std::move(title),
                             .artist = std::move(artist),
                             .album = std::move(album),
                             .genre = std::move(genre),
                             .key = std::move(key),
                             .label = std::move(label),
                             .audio_path = std::move(audio_path),
                             .analysis_path = std::move(analysis_path),
                             .artwork_path = std::move(artwork_path),
                             .comment = std::move(comment),
                             .tempo = bpm ? tempo_of_bpm(*bpm) : tempo.value_or(0),
                             .bitrate = bitrate,
                             .sample_rate = sample_rate,
                             .file_size = file_size,
                             .duration = duration,
                             .sample_depth = sample_depth,
                             .rating = rating};
            value_or_raise(db.change([&](Library& library) { return library.add_track(std::move(track)); }));
          },
          py::kw_only(), arg("id"), arg("title") = "", arg("artist") = "", arg("album") = "", arg("genre") = "",
          arg("key") = "", arg("label") = py::none(), arg("audio_path") = "", arg("analysis_path") = "",
          arg("artwork_path") = "", arg("comment") = "", arg("bpm") = py::none(), arg("tempo") = py::none(),
          arg("bitrate") = 0, arg("sample_rate") = 44100, arg("file_size") = 0, arg("duration") = 0,
          arg("sample_depth") = 16, arg("rating") = 0,
          "Adds a track with the caller's id to the edit. The audio path's extension gives\n"
          "the file type; artwork_path (\"\" for none) gets an artwork row; a label is\n"
          "stored only when given. The tempo is bpm (beats per minute) or tempo (hundredths),\n"
          "not both. Raises Error for a taken id; the extension and the artwork are checked\n"
          "by commit(). A failed addition drops the whole edit.")
      .def(
          "add_playlist",
          [](Database& db, std::uint32_t id, std::string name, std::uint32_t parent_id, bool is_folder,
             const py::iterable& tracks) {
            const PlaylistInput playlist = playlist_input(id, std::move(name), parent_id, is_folder, tracks);
            value_or_raise(db.change([&](Library& library) { return library.add_playlist(playlist); }));
          },
          VANTREL_PDB_PLAYLIST_ARGS,
          "Adds a playlist (or a folder) under parent_id, 0 for the top level, with track ids\n"
          "in playing order. The parent must exist already, in the database or this edit.\n"
          "Raises Error for a taken id, a missing parent or an absent track.")
      .def(
          "add_playlists",
          [](Database& db, const py::iterable& playlists) {
            // Each mapping is read as add_playlist reads its keyword
            // arguments, with the same TypeErrors.
            std::vector<PlaylistInput> inputs;
            const py::cpp_function collect(
                [&inputs](std::uint32_t id, std::string name, std::uint32_t parent_id, bool is_folder,
                          const py::iterable& tracks) {
                  inputs.push_back(playlist_input(id, std::move(name), parent_id, is_folder, tracks));
                },
                py::name("add_playlists"), VANTREL_PDB_PLAYLIST_ARGS);
            for (const auto playlist : playlists) collect(**py::dict(py::reinterpret_borrow<py::object>(playlist)));
            value_or_raise(db.change([&](Library& library) { return library.add_playlists(inputs); }));
          },
          arg("playlists"),
          "Adds playlists given in any order, each a mapping of add_playlist's keyword\n"
          "arguments: a playlist whose parent is among them waits for it. Raises Error when\n"
          "some parent is neither in the database nor among them, as add_playlist would.")
      .def(
          "commit", [](Database& db) { value_or_raise(db.change([](Library& library) { return library.commit(); })); },
          "Finishes the edit: checks the new tracks' extensions and artwork, writes them and\n"
          "checks the image. On Error the whole edit is dropped. Without an edit, does nothing.")
      .def(
          "keep_only",
          [](Database& db, const std::optional<py::iterable>& tracks, const std::optional<py::iterable>& playlists,
             const py::object& tempos) {
            const auto kept_tracks = optional_ids(tracks);
            const auto kept_playlists = optional_ids(playlists);
            vantrel_pdb::TempoMap new_tempos;
            if (!tempos.is_none()) {
              for (const auto item : tempos.attr("items")()) {
                const auto pair = item.cast<py::tuple>();
                new_tempos[to_u32(pair[0])] = to_u32(pair[1]);
              }
            }
            value_or_raise(db.change(
                [&](Library& library) { return library.keep_only(kept_tracks, kept_playlists, new_tempos); }));
          },
          py::kw_only(), arg("tracks") = py::none(), arg("playlists") = py::none(), arg("tempos") = py::none(),
          "Keeps only the listed track and playlist ids (None keeps all of a kind); the rows\n"
          "of the others are marked absent in place. Kept tracks whose id is a key of tempos\n"
          "(a mapping of id to tempo in hundredths) get that tempo. On Error nothing changes.")
      .def(
          "set_tempo",
          [](Database& db, std::uint32_t track_id, std::uint32_t tempo) {
            value_or_raise(db.change([&](Library& library) { return library.set_tempo(track_id, tempo); }));
          },
          arg("track_id"), arg("tempo"),
          "Sets the tempo (beats per minute × 100, see tempo_from_bpm) of the track with\n"
          "track_id. Raises Error when there is none.")
      .def(
          "track", [](Database& db, std::uint32_t id) { return track_with_id(db.tracks().cast<TrackSequence>(), id); },
          arg("id"),
          "The first track with id, as db.tracks holds it. Raises Error (no track with id N)\n"
          "when there is none.")
      .def(
          "playlist",
          [](Database& db, std::uint32_t id) {
            return value_or_raise(db.run([&](Library& library) { return library.playlist(id); }));
          },
          arg("id"),
          "The first playlist or folder with id, as db.playlists holds it. Raises Error (no\n"
          "playlist with id N) when there is none.")
      .def(
          "set_track",
          [](Database& db, std::uint32_t id, std::optional<std::string> title, std::optional<std::string> artist,
             std::optional<std::string> album, std::optional<std::string> genre, std::optional<std::string> key,
             std::optional<std::string> label, std::optional<std::string> audio_path,
             std::optional<std::string> analysis_path, std::optional<std::string> artwork_path,
             std::optional<std::string> comment, std::optional<double> bpm, std::optional<std::uint32_t> tempo,
             std::optional<std::uint32_t> bitrate, std::optional<std::uint32_t> sample_rate,
             std::optional<std::uint32_t> file_size, std::optional<std::uint16_t> duration,
             std::optional<std::uint16_t> sample_depth, std::optional<std::uint8_t> rating) {
            if (bpm && tempo) throw py::type_error("set_track() takes bpm or tempo, not both");
            TrackChange change{.title = std::move(title),
                               .artist = std::move(artist),
                               .album = std::move(album),
                               .genre = std::move(genre),
                               .key = std::move(key),
                               .label = std::move(label),
                               .audio_path = std::move(audio_path),
                               .analysis_path = std::move(analysis_path),
                               .artwork_path = std::move(artwork_path),
                               .comment = std::move(comment),
                               .tempo = bpm ? std::optional<std::uint32_t>(tempo_from_bpm(*bpm)) : tempo,
                               .bitrate = bitrate,
                               .sample_rate = sample_rate,
                               .file_size = file_size,
                               .duration = duration,
                               .sample_depth = sample_depth,
                               .rating = rating};
            raise_about("track", id, db.change([&](Library& library) { return library.set_track(id, change); }));
          },
          arg("id"), py::kw_only(), arg("title") = py::none(), arg("artist") = py::none(), arg("album") = py::none(),
          arg("genre") = py::none(), arg("key") = py::none(), arg("label") = py::none(), arg("audio_path") = py::none(),
          arg("analysis_path") = py::none(), arg("artwork_path") = py::none(), arg("comment") = py::none(),
          arg("bpm") = py::none(), arg("tempo") = py::none(), arg("bitrate") = py::none(),
          arg("sample_rate") = py::none(), arg("file_size") = py::none(), arg("duration") = py::none(),
          arg("sample_depth") = py::none(), arg("rating") = py::none(),
          "Changes the fields given (None or absent: unchanged) of the track with id, in\n"
          "place. Names are found or created as add_track makes them; audio_path sets the\n"
          "file type too; artwork_path \"\" removes the artwork; the tempo is bpm or tempo\n"
          "(hundredths), not both. Raises Error naming the id when the track is absent or\n"
          "the change is refused; the database is then as it was.")
      .def(
          "remove_tracks",
          [](Database& db, const py::iterable& ids) {
            const auto track_ids = to_ids(ids);
            value_or_raise(db.change([&](Library& library) { return library.remove_tracks(track_ids); }));
          },
          arg("ids"),
          "Removes the tracks with these ids, and the playlist and history entries that name\n"
          "them. Raises Error (no track with id N) for an absent id; nothing is removed then.")
      .def(
          "rename_playlist",
          [](Database& db, std::uint32_t id, const std::string& name) {
            raise_about("playlist", id, db.change([&](Library& library) { return library.rename_playlist(id, name); }));
          },
          arg("id"), arg("name"), "Renames a playlist or folder. Raises Error naming the id.")
      .def(
          "move_playlist",
          [](Database& db, std::uint32_t id, std::uint32_t parent_id, std::optional<std::uint32_t> position) {
            raise_about("playlist", id,
                        db.change([&](Library& library) { return library.move_playlist(id, parent_id, position); }));
          },
          arg("id"), arg("parent_id"), arg("position") = py::none(),
          "Moves a playlist or folder under the folder parent_id (0: the top level), at\n"
          "position among its other children (0-based; None: after them). Raises Error for\n"
          "a parent that is not a folder or lies under it, or a position past the end.")
      .def(
          "set_playlist_tracks",
          [](Database& db, std::uint32_t id, const py::iterable& tracks) {
            const auto track_ids = to_ids(tracks);
            raise_about("playlist", id,
                        db.change([&](Library& library) { return library.set_playlist_tracks(id, track_ids); }));
          },
          arg("id"), arg("tracks"),
          "Replaces a playlist's entries with these track ids, in order (duplicates allowed).\n"
          "Raises Error for a folder or an absent track.")
      .def(
          "remove_playlists",
          [](Database& db, const py::iterable& ids) {
            const auto playlist_ids = to_ids(ids);
            value_or_raise(db.change([&](Library& library) { return library.remove_playlists(playlist_ids); }));
          },
          arg("ids"),
          "Removes these playlists and folders with everything under them, and their\n"
          "entries. Raises Error (no playlist with id N) for an absent id.")
      .def(
          "to_bytes",
          [](Database& db) {
            auto image =
                value_or_raise(db.run([](Library& library) -> std::expected<std::vector<std::uint8_t>, PdbError> {
                  auto bytes = library.bytes();
                  if (!bytes) return std::unexpected(std::move(bytes.error()));
                  return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
                }));
            return py::bytes(reinterpret_cast<const char*>(image.data()), image.size());
          },
          "The page image as bytes, after committing.")
      .def(
          "save",
          [](Database& db, const py::object& path) {
            const std::string target = to_path(path);
            value_or_raise(db.run([&](Library& library) { return save(library, target); }));
          },
          arg("path"),
          "Commits and writes the image to path (str, bytes or os.PathLike) whole or not at\n"
          "all: a new file beside it, synced, then renamed over it. An existing file keeps\n"
          "its mode.");

  module.attr("Database") = database;

  module.def("open", &open_database, arg("source"),
             "Opens a database from a path (str or os.PathLike) or from the bytes of an image\n"
             "(bytes, bytearray, memoryview). The structure check runs first, then every row is\n"
             "decoded: a damaged image raises Error here.");
  module.def(
      "create", [] { return std::make_unique<Database>(Library::create()); }, "A new, empty database.");
}

}  // namespace vantrel_pdb::python

#undef VANTREL_PDB_PLAYLIST_ARGS
