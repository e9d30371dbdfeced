// The Python module vantrel_pdb._vantrel_pdb, re-exported by the package
// vantrel_pdb (vantrel_pdb/__init__.py): the library's high-level API, and
// its errors as one exception class.
#include <Python.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
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
  module.def("tempo_from_bpm", &vp::python::tempo_of_bpm, py::arg("bpm"),
             "Beats per minute as the stored tempo (hundredths), rounded half away from zero\n"
             "and clamped to 0 ... 2**32 - 1; ValueError for NaN and infinities.");
  module.def("file_type_for_path", &vp::file_type_for_path, py::arg("audio_path"),
             "The file type code of an audio path's extension (mp3 1, m4a and aac 4, flac 5,\n"
             "alac 6, wav 11, aif and aiff 12), or None for any other.");
}
