// The pieces of the Python module vantrel_pdb: one function per concept
// adds its classes and functions to the module, and the library's errors
// become the module's one exception class.
#ifndef VANTREL_PDB_PYTHON_BINDING_H_
#define VANTREL_PDB_PYTHON_BINDING_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vantrel_pdb/error.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

namespace py = pybind11;

// Thrown by the binding for a library error; the module translates it into
// vantrel_pdb.Error whose str() is the library's message, unchanged.
class LibraryError : public std::runtime_error {
 public:
  explicit LibraryError(const PdbError& error) : std::runtime_error(error.message()) {}
  explicit LibraryError(const std::string& message) : std::runtime_error(message) {}
};

// The value of a library result, or LibraryError. Call with the GIL held.
template <class T>
T value_or_raise(std::expected<T, PdbError> result) {
  if (!result) throw LibraryError(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// A Python int as a 32-bit id or tempo: TypeError for what is not an int,
// OverflowError outside 0 ... 2^32 - 1.
std::uint32_t to_u32(py::handle value);

// tempo_from_bpm for a finite bpm; ValueError for NaN and infinities, which
// no tempo stands for.
std::uint32_t tempo_of_bpm(double bpm);

// The ids of a Python iterable of ints, in order.
std::vector<std::uint32_t> to_ids(const py::iterable& ids);

// A path as the file system sees it: str (encoded as os.fsencode does),
// bytes or os.PathLike.
std::string to_path(const py::handle& path);

// The bytes of a contiguous buffer (bytes, bytearray, memoryview), copied
// while the GIL is held so that no other thread changes them meanwhile.
std::vector<std::uint8_t> copy_buffer(const py::handle& source);

// Names the package as the home of a class (or the exception), so that
// reprs and signatures say vantrel_pdb.Track, not vantrel_pdb._vantrel_pdb.Track.
// Call before adding methods: their signatures are written when added.
inline void show_in_package(const py::object& type) { type.attr("__module__") = "vantrel_pdb"; }

// db.tracks: the tracks of one state of a database. Each Track made from
// it holds the table and its index, and reads a field when it is asked for.
struct TrackSequence {
  std::shared_ptr<const TrackTable> table;
};

// The first Track of `tracks` with `id`; LibraryError (no track with id N)
// when there is none.
py::object track_with_id(const TrackSequence& tracks, std::uint32_t id);

// Tracks (a sequence of Track) and Playlist (a read-only PlaylistInfo).
void bind_records(py::module_& module);

// Database, open() and create().
void bind_database(py::module_& module);

// A Python Library object holding `library`. Requires: bind_database has run.
py::object wrap_library(Library library);

// Finding, Findings, check(), finding_kinds() and salvage().
void bind_check(py::module_& module);

// Lock and lock(): the writers' advisory lock of a file.
void bind_lock(py::module_& module);

}  // namespace vantrel_pdb::python

#endif  // VANTREL_PDB_PYTHON_BINDING_H_
