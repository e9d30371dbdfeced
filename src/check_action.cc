#include "check_action.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "actions.h"
#include "check_report.h"
#include "json_writer.h"
#include "mapped_file.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

namespace {

// The bytes of "input", whatever they are: mapped when the file is a
// regular one, read whole otherwise.
class InputBytes {
 public:
  static Result<InputBytes> open(const std::string& path) {
    InputBytes input;
    auto mapped = map_file(path, false);
    if (!mapped) return std::unexpected(std::move(mapped.error()));
    if (*mapped) {
      input.mapped_.emplace(std::move(**mapped));
      return input;
    }
    auto bytes = vantrel_pdb::read_file(path);
    if (!bytes) return std::unexpected(Error(bytes.error()));
    input.read_ = std::move(*bytes);
    return input;
  }

  vantrel_pdb::Bytes bytes() const { return mapped_ ? mapped_->bytes() : vantrel_pdb::Bytes(read_); }

  // Lets go of the pages read so far of a mapped input (MappedFile::release_resident).
  void release_resident() const {
    if (mapped_) mapped_->release_resident();
  }

 private:
  std::optional<MappedFile> mapped_;
  std::vector<std::uint8_t> read_;
};

// True when `output` names the file `input` names: the same file (device
// and inode, links followed), or the same path once links are resolved. A
// missing output is no file at all.
bool same_file(const std::string& input, const std::string& output) {
  struct stat in_info {
  }, out_info{};
  if (::stat(input.c_str(), &in_info) == 0 && ::stat(output.c_str(), &out_info) == 0 &&
      in_info.st_dev == out_info.st_dev && in_info.st_ino == out_info.st_ino) {
    return true;
  }
  auto target = vantrel_pdb::output_target(output);
  char* resolved = ::realpath(input.c_str(), nullptr);
  const bool same = target && resolved && *target == resolved;
  std::free(resolved);
  return same;
}

void write_counts(const vantrel_pdb::Loss& loss, std::uint64_t vantrel_pdb::TableLoss::*count, JsonWriter& out) {
  std::vector<std::pair<std::string, std::uint64_t>> tables;
  tables.reserve(loss.tables.size());
  for (const auto& table : loss.tables) tables.emplace_back(vantrel_pdb::table_name(table.kind), table.*count);
  std::sort(tables.begin(), tables.end());
  out.begin_object();
  for (const auto& [name, n] : tables) {
    out.key(name);
    out.uint_value(n);
  }
  out.end_object();
}

}  // namespace

Result<std::string> run_check(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  auto input = InputBytes::open(*request.input);
  if (!input) return std::unexpected(std::move(input.error()));
  const vantrel_pdb::Findings findings = vantrel_pdb::check(input->bytes(), request.check.limit);
  JsonWriter out;
  write_check_object(findings, out);
  out.raw("\n");
  return std::move(out).take();
}

Result<OutputLine> run_salvage(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  std::optional<vantrel_pdb::Library> library;
  JsonWriter out;
  {
    auto input = InputBytes::open(*request.input);
    if (!input) return std::unexpected(std::move(input.error()));
    // The new library's check runs while its image is written.
    // The input's pages go from memory as the salvage is done with them.
    auto [findings, rescued] = vantrel_pdb::check_and_salvage(input->bytes(), request.check.limit, true,
                                                              [&input] { input->release_resident(); });
    if (!rescued) return std::unexpected(Error(rescued.error()));
    out.begin_object();
    out.key("check");
    write_check_object(findings, out);
    out.key("kept");
    write_counts(rescued->loss, &vantrel_pdb::TableLoss::kept, out);
    out.key("lost");
    write_counts(rescued->loss, &vantrel_pdb::TableLoss::lost, out);
    out.end_object();
    out.raw("\n");
    library.emplace(std::move(rescued->library));
  }
  const auto check_failure = [](const vantrel_pdb::PdbError& error) {
    return Error(vantrel_pdb::salvage_check_failure(error));
  };
  if (request.output && same_file(*request.input, *request.output)) {
    // The check settles first: its failure is the salvage's, as it was.
    if (auto checked = library->settle_check(); !checked) return std::unexpected(check_failure(checked.error()));
    return fail(kSalvageOutputIsInput);
  }
  return write_checked(*library, request, check_failure,
                       [&out](vantrel_pdb::Bytes) -> Result<OutputLine> { return std::move(out).take(); });
}

}  // namespace dovrel
