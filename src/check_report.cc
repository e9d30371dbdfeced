#include "check_report.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace dovrel {

namespace {

void write_finding(const vantrel_pdb::Finding& finding, JsonWriter& out) {
  out.begin_object();
  out.key("code");
  out.string_value(finding.code);
  if (finding.id) {
    out.key("id");
    out.uint_value(*finding.id);
  }
  out.key("message");
  out.string_value(finding.message);
  if (finding.offset) {
    out.key("offset");
    out.uint_value(*finding.offset);
  }
  if (finding.page) {
    out.key("page");
    out.uint_value(*finding.page);
  }
  if (finding.row) {
    out.key("row");
    out.uint_value(*finding.row);
  }
  out.key("severity");
  out.string_value(vantrel_pdb::severity_name(finding.severity));
  if (finding.table) {
    out.key("table");
    out.string_value(vantrel_pdb::table_name(*finding.table));
  }
  out.end_object();
}

}  // namespace

void write_check_object(const vantrel_pdb::Findings& findings, JsonWriter& out) {
  out.begin_object();
  out.key("counts");
  out.begin_object();
  out.key("errors");
  out.uint_value(findings.errors);
  out.key("pages");
  out.uint_value(findings.pages);
  out.key("rows");
  // By name, in byte order: the names do not sort as the kinds do.
  std::vector<std::pair<std::string, const vantrel_pdb::TableRows*>> tables;
  tables.reserve(findings.rows.size());
  for (const auto& rows : findings.rows) tables.emplace_back(vantrel_pdb::table_name(rows.kind), &rows);
  std::sort(tables.begin(), tables.end());
  out.begin_object();
  for (const auto& [name, rows] : tables) {
    out.key(name);
    out.begin_object();
    out.key("absent");
    out.uint_value(rows->absent);
    out.key("present");
    out.uint_value(rows->present);
    out.end_object();
  }
  out.end_object();
  out.key("warnings");
  out.uint_value(findings.warnings);
  out.end_object();
  out.key("findings");
  out.begin_array();
  for (const auto& finding : findings.list) write_finding(finding, out);
  out.end_array();
  out.key("ok");
  out.bool_value(findings.ok());
  out.end_object();
}

}  // namespace dovrel
