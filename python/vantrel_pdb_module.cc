// The Python module vantrel_pdb._vantrel_pdb, re-exported by the package
// vantrel_pdb (vantrel_pdb/__init__.py): the library's high-level API, and
// its errors as one exception class.
#include <Python.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

std::uint32_t to_u32(py::handle value) {
  if (!PyLong_Check(value.ptr())) {
    throw py::type_error(std::string("an id or tempo must be an int, not ") + Py_TYPE(value.ptr())->tp_name);
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(value.ptr());
  if (PyErr_Occurred()) throw py::error_already_set();  // negative, or beyond 64 bits
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "an id or tempo must be below 2**32");
    throw py::error_already_set();
  }
  return static_cast<std::uint32_t>(n);
}

std::uint32_t tempo_of_bpm(double bpm) {
  if (!std::isfinite(bpm)) {
    throw py::value_error(std::string("bpm must be a finite number, not ") + (std::isnan(bpm) ? "nan"
                                                                              : bpm > 0       ? "inf"
                                                                                              : "-inf"));
  }
  return tempo_from_bpm(bpm);
}

std::vector<std::uint32_t> to_ids(const py::iterable& ids) {
  std::vector<std::uint32_t> out;
  for (const auto id : ids) out.push_back(to_u32(id));
  return out;
}

std::string to_path(const py::handle& path) {
  return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

namespace {

// vantrel_pdb.lock(path): the writers' TargetLock of a path as a context
// manager, taken on entry (waiting without the GIL) and let go on exit.
class PathLock {
 public:
  explicit PathLock(std::string path) : path_(std::move(path)) {}
  void enter() {
    if (lock_) throw py::value_error("the lock is held already");
    py::gil_scoped_release released;
    lock_.emplace(path_);
  }
  void exit() { lock_.reset(); }

 private:
  std::string path_;
  std::optional<TargetLock> lock_;
};

}  // namespace

void bind_lock(py::module_& module) {
  py::class_<PathLock> lock(module, "Lock",
                            "The advisory lock that writers of a database file take: dovrel's runs and\n"
                            "Library.save(). Use with `with`: the lock is taken on entry, waiting while\n"
                            "another writer holds it, and let go on exit.");
  show_in_package(lock);
  lock.def(
          "__enter__", [](PathLock& self) -> PathLock& { return self.enter(), self; },
          py::return_value_policy::reference)
      .def("__exit__", [](PathLock& self, const py::args&) { self.exit(); });
  module.def(
      "lock", [](const py::object& path) { return std::make_unique<PathLock>(to_path(path)); }, py::arg("path"),
      "The writers' lock of the database file at path, for `with`: held around open(),\n"
      "the changes and save(), no other writer's change comes in between (save() inside\n"
      "does not wait for the lock this thread holds).");
}

}  // namespace vantrel_pdb::python

PYBIND11_MODULE(_vantrel_pdb, module) {
  namespace py = pybind11;
  namespace vp = vantrel_pdb;
  module.doc() = "Reads, makes and changes track-library page databases.";
  module.attr("__version__") = VANTREL_PDB_VERSION;

  vp::python::show_in_package(py::register_exception<vp::python::LibraryError>(module, "Error", PyExc_Exception));
  vp::python::bind_records(module);
  vp::python::bind_database(module);
  vp::python::bind_check(module);
  vp::python::bind_lock(module);
  module.def("tempo_from_bpm", &vp::python::tempo_of_bpm, py::arg("bpm"),
             "Beats per minute as the stored tempo (hundredths), rounded half away from zero\n"
             "and clamped to 0 ... 2**32 - 1; ValueError for NaN and infinities.");
  module.def("file_type_for_path", &vp::file_type_for_path, py::arg("audio_path"),
             "The file type code of an audio path's extension (mp3 1, m4a and aac 4, flac 5,\n"
             "alac 6, wav 11, aif and aiff 12), or None for any other.");
}
