#include "actions.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "build.h"
#include "input_file.h"
#include "output.h"
#include "patch.h"
#include "report.h"

namespace dovrel {

namespace {

Result<std::vector<std::uint8_t>> read_input(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  return read_file(*request.input);
}

// The shared end of build and patch: report the new image as it will be on
// disk, then write it.
Result<std::string> report_and_write(const std::vector<std::uint8_t>& image, const Request& request) {
  auto report = read(image);
  if (!report) return report;
  if (!request.output) return fail(kMissingOutput);
  if (auto written = write_output(*request.output, image); !written) return std::unexpected(std::move(written.error()));
  return report;
}

Result<std::string> run_read(const Request& request) {
  auto image = read_input(request);
  if (!image) return std::unexpected(std::move(image.error()));
  return read(*image);
}

Result<std::string> run_build(const Request& request) {
  auto image = build(request);
  if (!image) return std::unexpected(std::move(image.error()));
  return report_and_write(*image, request);
}

Result<std::string> run_patch(const Request& request) {
  auto input = read_input(request);
  if (!input) return std::unexpected(std::move(input.error()));
  auto image = patch(std::move(*input), request);
  if (!image) return std::unexpected(std::move(image.error()));
  return report_and_write(*image, request);
}

}  // namespace

Result<std::string> run_action(const Request& request) {
  if (request.action == "read") return run_read(request);
  if (request.action == "build") return run_build(request);
  if (request.action == "patch") return run_patch(request);
  return fail(kUnknownAction);
}

Result<std::string> run_request_text(std::string_view text) {
  auto request = parse_request(text);
  if (!request) return std::unexpected(std::move(request.error()));
  return run_action(*request);
}

}  // namespace dovrel
