#include "actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "build.h"
#include "check_action.h"
#include "database_file.h"
#include "edit.h"
#include "export.h"
#include "lock_wait.h"
#include "mapped_file.h"
#include "patch.h"
#include "report.h"
#include "report_sink.h"
#include "report_summary.h"
#include "scan_action.h"
#include "target_lock.h"
#include "vantrel_pdb/files.h"

namespace dovrel {

namespace {

Result<std::vector<std::uint8_t>> read_input(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  return read_database_file(*request.input);
}

}  // namespace

namespace {

// The regular file at `path` as it is before a write replaces it, held
// open: the space of a replaced file is given back when the last hold on it
// goes, which for a large synced file takes milliseconds (its pages and
// blocks freed). Held, that happens when release() is called (beside the
// report's printing) instead of in the caller's way.
class ReplacedFile {
 public:
  explicit ReplacedFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    do {
      fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
  }
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;
  ~ReplacedFile() { release(); }

  void release() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// write_reported, with `ready` run once the image is safely on disk, just
// before the new file replaces the old: its failure fails the write.
// Returns the work that gives back the replaced file's space, for the
// report's OutputLine::beside.
Result<std::function<void()>> write_when_ready(vantrel_pdb::Bytes image, const std::function<Result<void>()>& ready,
                                               const Request& request) {
  if (!request.output) return fail(kMissingOutput);
  // A new file is locked for its write alone; an existing one is locked
  // already (run_action), and this thread does not wait for itself.
  auto wait = lock_wait();
  if (!wait) return std::unexpected(std::move(wait.error()));
  const TargetLock lock(request.output, TargetLock::Missing::kLockDirectory, *wait);
  if (lock.failure()) return std::unexpected(Error(*lock.failure()));
  // The report must still be printable when the new file replaces the old.
  const auto before_replace = [&ready]() -> std::expected<void, vantrel_pdb::PdbError> {
    auto ok = ready();
    if (ok) ok = check_report_sink();
    if (!ok) return std::unexpected(vantrel_pdb::PdbError(vantrel_pdb::pdb_error::File{ok.error().message}));
    return {};
  };
  auto replaced = std::make_shared<ReplacedFile>(*request.output);
  if (auto written = write_output(*request.output, image, before_replace); !written) {
    return std::unexpected(std::move(written.error()));
  }
  return [replaced] { replaced->release(); };
}

}  // namespace

Result<OutputLine> write_reported(vantrel_pdb::Bytes image, OutputLine report, const Request& request) {
  auto written = write_when_ready(image, [] { return Result<void>(); }, request);
  if (!written) return std::unexpected(std::move(written.error()));
  report.beside = std::move(*written);
  return report;
}

Result<OutputLine> write_checked(vantrel_pdb::Library& library, const Request& request,
                                 const CheckFailure& check_failure, const MakeReport& make_report) {
  auto image = library.bytes_while_checking();
  if (!image) return std::unexpected(Error(image.error()));
  // The check's verdict, and the line once it has passed, are made beside
  // the write (which only reads the bytes), so that both are ready when the
  // image is on disk. A failed check is settled, its change undone, only
  // once the write is done with the bytes.
  bool passed = false;
  std::optional<Result<OutputLine>> made;
  std::exception_ptr thrown;
  const auto prepare = [&] {
    try {
      if (!library.await_check()) return;
      passed = true;
      made.emplace(make_report(*image));
    } catch (...) {
      thrown = std::current_exception();
    }
  };
  std::optional<std::jthread> side;  // joined however the write ends
  if (request.output) {
    try {
      side.emplace(prepare);
    } catch (const std::system_error&) {
      // No thread to be had: the line is made once the image is on disk.
    }
  }
  const bool beside = side.has_value();
  const auto settle_unless_passed = [&]() -> Result<void> {
    if (passed) return {};
    if (auto checked = library.settle_check(); !checked) return std::unexpected(check_failure(checked.error()));
    return {};
  };
  OutputLine report;
  const auto ready = [&]() -> Result<void> {
    if (beside) {
      side.reset();
    } else {
      prepare();
    }
    if (auto ok = settle_unless_passed(); !ok) return ok;
    if (thrown) std::rethrow_exception(thrown);
    if (!*made) return std::unexpected(std::move(made->error()));
    report = std::move(**made);
    return {};
  };
  auto written = write_when_ready(*image, ready, request);
  if (!written) {
    side.reset();
    if (auto ok = settle_unless_passed(); !ok) return std::unexpected(std::move(ok.error()));
    return std::unexpected(std::move(written.error()));
  }
  report.beside = std::move(*written);
  return report;
}

namespace {

Result<OutputLine> run_read(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  // A regular file is mapped: "read" changes nothing, so the page cache's
  // pages serve as the image. Either way the line keeps the image.
  auto mapped = map_database_file(*request.input);
  if (!mapped) return std::unexpected(std::move(mapped.error()));
  if (*mapped) {
    auto kept = std::make_shared<const MappedFile>(std::move(**mapped));
    const vantrel_pdb::Bytes image = kept->bytes();
    return read(image, std::move(kept));
  }
  auto image = read_input(request);
  if (!image) return std::unexpected(std::move(image.error()));
  auto kept = std::make_shared<const std::vector<std::uint8_t>>(std::move(*image));
  const vantrel_pdb::Bytes bytes(*kept);
  return read(bytes, std::move(kept));
}

// Writes the library's image and reports it as it will be on disk, the
// check of the last change (when the caller put it off) beside the write
// (write_checked). The report's tracks are rendered as the line is printed
// (render_report has read all that can fail before), so that the image and
// the whole report are never in memory at once.
Result<OutputLine> report_and_write(vantrel_pdb::Library&& made, const Request& request,
                                    const CheckFailure& check_failure) {
  auto library = std::make_shared<vantrel_pdb::Library>(std::move(made));
  return write_checked(*library, request, check_failure, [&](vantrel_pdb::Bytes image) -> Result<OutputLine> {
    if (request.report == ReportKind::kSummary) {
      auto counts = library->counts();
      if (!counts) return std::unexpected(Error(counts.error()));
      return render_summary(*counts, image.size());
    }
    return render_report(*library, library);
  });
}

Error library_error(const vantrel_pdb::PdbError& error) { return Error(error); }

// `built`: the library made while the request was read, if it was.
Result<OutputLine> run_build(Request& request, std::optional<Result<vantrel_pdb::Library>>& built) {
  auto library = built ? std::move(*built) : build_library_taking(request);
  if (!library) return std::unexpected(std::move(library.error()));
  // The commit's check of the new image is made as it is written.
  library->defer_check();
  return report_and_write(std::move(*library), request, library_error);
}

Result<OutputLine> run_patch(const Request& request) {
  auto input = read_input(request);
  if (!input) return std::unexpected(std::move(input.error()));
  // The patch reads its result back, which the report is made from.
  auto library = patch_library(std::move(*input), request, true);
  if (!library) return std::unexpected(std::move(library.error()));
  return report_and_write(std::move(*library), request, patch_error);
}

Result<OutputLine> run_edit(const Request& request) {
  auto input = read_input(request);
  if (!input) return std::unexpected(std::move(input.error()));
  auto library = edit_library(std::move(*input), request, true);
  if (!library) return std::unexpected(std::move(library.error()));
  return report_and_write(std::move(*library), request,
                          [&request](const vantrel_pdb::PdbError& error) { return edit_check_error(request, error); });
}

}  // namespace

Result<void> write_output(const std::string& path, vantrel_pdb::Bytes image,
                          const vantrel_pdb::BeforeReplace& before_replace) {
  const vantrel_pdb::Bytes parts[] = {image};
  return write_output(path, std::span<const vantrel_pdb::Bytes>(parts), before_replace);
}

namespace {

vantrel_pdb::WriteOptions output_options(const vantrel_pdb::BeforeReplace& before_replace) {
  vantrel_pdb::WriteOptions options;
  options.temp_prefix = ".dovrel-";
  options.failure_prefix = "cannot write output ";
  options.replaced_prefix = kNotKnownDurable;
  options.before_replace = before_replace;
  return options;
}

}  // namespace

Result<void> write_output(const std::string& path, std::span<const vantrel_pdb::Bytes> parts,
                          const vantrel_pdb::BeforeReplace& before_replace) {
  if (auto written = vantrel_pdb::write_file(path, parts, output_options(before_replace)); !written) {
    return std::unexpected(Error(written.error()));
  }
  return {};
}

Result<void> write_output(const std::string& path, const vantrel_pdb::BlockProducer& produce) {
  if (auto written = vantrel_pdb::write_file_produced(path, produce, output_options({})); !written) {
    return std::unexpected(Error(written.error()));
  }
  return {};
}

Result<OutputLine> run_action(Request request, std::optional<Result<vantrel_pdb::Library>> built) {
  if (request.action == "read") return run_read(request);
  // The scan writes no database, only artwork files, each whole.
  if (request.action == "scan") return run_scan(request);
  if (request.action == "export") return run_export(request);
  if (request.action == "check") return run_check(request);
  if (request.action != "build" && request.action != "patch" && request.action != "salvage" &&
      request.action != "edit") {
    return fail(kUnknownAction);
  }
  // Writers of one output take turns, from before the input is read until
  // after the rename; one that makes a new file, over its write alone.
  auto wait = lock_wait();
  if (!wait) return std::unexpected(std::move(wait.error()));
  const TargetLock lock(request.output, TargetLock::Missing::kLockAtWrite, *wait);
  if (lock.failure()) return std::unexpected(Error(*lock.failure()));
  if (request.action == "build") return run_build(request, built);
  if (request.action == "salvage") return run_salvage(request);
  if (request.action == "edit") return run_edit(request);
  return run_patch(request);
}

}  // namespace dovrel
