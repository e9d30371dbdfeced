// Fuzz target: "check" and "salvage" of arbitrary bytes as a damaged image.
//
// vantrel_pdb::check must never crash, read outside the image or hang, and
// its findings must keep their promises: at most the limit listed and every
// one counted, each code one of finding_kinds() with its severity, each
// message one line; an image it passes (no errors) passes validate and
// dovrel::read; its line (as "check" prints it) is compact, sorted JSON.
//
// vantrel_pdb::salvage must succeed on every input, and its database must
// check without errors (a playlist under a playlist, which it keeps as it
// was, is its only warning), read back, and hold the rows it says it kept.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>

#include "check_report.h"
#include "format/validate.h"
#include "fuzz_check.h"
#include "json_writer.h"
#include "report.h"
#include "report_check.h"
#include "vantrel_pdb/library.h"

namespace {

// Small enough that a damaged image often has more findings than are listed.
constexpr std::size_t kLimit = 40;

void check_findings(const vantrel_pdb::Findings& findings, vantrel_pdb::Bytes image) {
  using dovrel::fuzz::check;
  check(findings.list.size() <= kLimit, "more findings listed than the limit");
  check(findings.errors + findings.warnings >= findings.list.size(), "listed findings not counted");
  check(findings.list.size() == kLimit || findings.errors + findings.warnings == findings.list.size(),
        "findings counted but not listed below the limit");
  for (const vantrel_pdb::Finding& finding : findings.list) {
    const vantrel_pdb::FindingKind* kind = vantrel_pdb::find_finding_kind(finding.code);
    check(kind != nullptr, "finding with an unknown code", finding.code);
    check(kind->severity == finding.severity, "finding with another severity than its code's", finding.code);
    dovrel::fuzz::check_error_line(finding.message);
    if (finding.offset) check(*finding.offset <= image.size(), "finding placed past the end of the image");
  }
  check(findings.pages == image.size() / 4096, "page count is not the file's");
  if (findings.ok()) {
    auto valid = vantrel_pdb::validate(image);
    check(bool(valid), "check passes what validate refuses", valid ? "" : valid.error().message());
    auto report = dovrel::read(image);
    check(bool(report), "check passes what read refuses", report ? "" : report.error().message);
  }
}

void check_salvage(vantrel_pdb::Bytes image) {
  using dovrel::fuzz::check;
  auto rescued = vantrel_pdb::salvage(image);
  check(bool(rescued), "salvage failed", rescued ? "" : rescued.error().message());
  auto bytes = rescued->library.bytes();
  check(bool(bytes), "salvaged library has no image");
  const vantrel_pdb::Findings findings = vantrel_pdb::check(*bytes, kLimit);
  for (const vantrel_pdb::Finding& finding : findings.list) {
    check(finding.code == "parent-not-folder", "salvaged database has a finding",
          finding.code + ": " + finding.message);
  }
  check(findings.errors == 0, "salvaged database has errors beyond the listed ones");
  auto report = dovrel::read(*bytes);
  check(bool(report), "salvaged database does not read back", report ? "" : report.error().message);
  for (const vantrel_pdb::TableRows& rows : findings.rows) {
    for (const vantrel_pdb::TableLoss& table : rescued->loss.tables) {
      if (table.kind == rows.kind) check(table.kept == rows.present, "kept rows are not the new database's");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static simdjson::dom::parser parser;
  const vantrel_pdb::Bytes image(data, size);
  const vantrel_pdb::Findings findings = vantrel_pdb::check(image, kLimit);
  check_findings(findings, image);

  dovrel::JsonWriter out;
  dovrel::write_check_object(findings, out);
  const std::string& line = out.str();
  simdjson::dom::element root;
  dovrel::fuzz::check(!parser.parse(line).get(root), "check line is not valid JSON");
  dovrel::fuzz::report_detail::check_compact_and_escapes(line);
  dovrel::fuzz::report_detail::check_sorted_keys(root);

  check_salvage(image);
  return 0;
}
