// check() and what it returns: Findings, each Finding read-only, with the
// library's names for severities and tables; salvage().
#include <Python.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb::python {

namespace {

// The image of a path (read whole, whatever it holds) or of a buffer.
std::vector<std::uint8_t> image_of(const py::object& source) {
  if (PyObject_CheckBuffer(source.ptr())) return copy_buffer(source);
  const std::string path = to_path(source);
  std::optional<std::expected<std::vector<std::uint8_t>, PdbError>> image;
  {
    py::gil_scoped_release released;
    image = read_file(path);
  }
  return value_or_raise(std::move(*image));
}

py::object optional_int(const auto& value) { return value ? py::object(py::int_(*value)) : py::object(py::none()); }

}  // namespace

void bind_check(py::module_& module) {
  py::class_<Finding> finding(module, "Finding",
                              "One fault of a database: its severity, stable code and message, and where it\n"
                              "applies its page, table, row (slot in the page), offset (byte in the file) and\n"
                              "the id of the row concerned; None where one does not apply.");
  show_in_package(finding);
  finding
      .def_property_readonly(
          "severity", [](const Finding& f) { return std::string(severity_name(f.severity)); },
          "\"error\" or \"warning\".")
      .def_readonly("code", &Finding::code)
      .def_readonly("message", &Finding::message)
      .def_property_readonly("page", [](const Finding& f) { return optional_int(f.page); })
      .def_property_readonly(
          "table",
          [](const Finding& f) { return f.table ? py::object(py::str(table_name(*f.table))) : py::object(py::none()); },
          "The table's name: \"tracks\", \"playlistTree\", ..., \"kindN\".")
      .def_property_readonly("row", [](const Finding& f) { return optional_int(f.row); })
      .def_property_readonly("offset", [](const Finding& f) { return optional_int(f.offset); })
      .def_property_readonly("id", [](const Finding& f) { return optional_int(f.id); })
      .def("__repr__", [](const Finding& f) {
        return py::str("Finding({!r}, {!r}, {!r})").format(std::string(severity_name(f.severity)), f.code, f.message);
      });

  py::class_<Findings> findings(module, "Findings",
                                "What check() found: the listed findings (at most the limit), every error and\n"
                                "warning counted, the file's whole pages and each table's rows.");
  show_in_package(findings);
  findings.def_property_readonly("ok", &Findings::ok, "True when no finding, listed or not, is an error.")
      .def_property_readonly(
          "findings",
          [](const Findings& f) {
            py::tuple out(f.list.size());
            for (std::size_t i = 0; i < f.list.size(); ++i) out[i] = py::cast(f.list[i]);
            return out;
          },
          "The first findings, in the order found: a tuple of Finding.")
      .def_readonly("errors", &Findings::errors)
      .def_readonly("warnings", &Findings::warnings)
      .def_readonly("pages", &Findings::pages)
      .def_property_readonly(
          "rows",
          [](const Findings& f) {
            py::dict out;
            for (const TableRows& rows : f.rows) {
              py::dict counts;
              counts["present"] = rows.present;
              counts["absent"] = rows.absent;
              out[py::str(table_name(rows.kind))] = counts;
            }
            return out;
          },
          "Table name -> {\"present\": live rows, \"absent\": deleted ones}.")
      .def("__repr__", [](const Findings& f) {
        return py::str("<vantrel_pdb.Findings: ok={}, {} errors, {} warnings>").format(f.ok(), f.errors, f.warnings);
      });

  module.def(
      "check",
      [](const py::object& source, std::size_t limit) {
        std::vector<std::uint8_t> image = image_of(source);
        py::gil_scoped_release released;
        return vantrel_pdb::check(image, limit);
      },
      py::arg("source"), py::arg("limit") = kDefaultFindingLimit,
      "Says everything that is wrong with a database: a path (str or os.PathLike), read\n"
      "whole whatever it holds, or the bytes of an image (bytes, bytearray, memoryview).\n"
      "Never raises for what the bytes hold, only for a file that cannot be read. At most\n"
      "`limit` findings are listed; all are counted.");
  module.def(
      "salvage",
      [](const py::object& source) {
        std::vector<std::uint8_t> image = image_of(source);
        std::optional<std::expected<Salvage, PdbError>> rescued;
        {
          py::gil_scoped_release released;
          rescued = vantrel_pdb::salvage(image);
        }
        Salvage done = value_or_raise(std::move(*rescued));
        py::dict kept, lost;
        for (const TableLoss& table : done.loss.tables) {
          kept[py::str(table_name(table.kind))] = table.kept;
          lost[py::str(table_name(table.kind))] = table.lost;
        }
        return py::make_tuple(wrap_library(std::move(done.library)), kept, lost);
      },
      py::arg("source"),
      "Makes a new database of every row of a damaged one that can still be read: a path\n"
      "(str or os.PathLike), read whole whatever it holds, or the bytes of an image.\n"
      "Returns (library, kept, lost): the new Library, committed, and for each table by\n"
      "name the rows it holds and the rows of the input that could not be kept. Save it\n"
      "with library.save(path); the input is never written.");
  module.def(
      "finding_kinds",
      [] {
        py::list out;
        for (const FindingKind& kind : vantrel_pdb::finding_kinds()) {
          out.append(py::make_tuple(std::string(kind.code), std::string(severity_name(kind.severity)),
                                    std::string(kind.meaning)));
        }
        return py::tuple(out);
      },
      "Every code that check() gives: a tuple of (code, severity, meaning).");
}

}  // namespace vantrel_pdb::python
