// The one line an action prints on standard output: parts made already,
// then, for a report, the rest made only as it is printed. A large report is
// rendered in blocks that go to standard output one after another (two
// threads rendering, see ordered_blocks.h), so that it is never held whole;
// whatever can fail about it (the image and its rows read back) has been
// checked when the action returns, so that a failure still comes before any
// output.
#ifndef DOVREL_OUTPUT_LINE_H_
#define DOVREL_OUTPUT_LINE_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "error.h"

namespace dovrel {

struct OutputLine {
  // Takes one block of the line, in order; a failure (standard output gone)
  // stops the line there with the sink's error.
  using Sink = std::function<Result<void>(std::string_view block)>;
  // Hands the rest of the line to the sink block by block.
  using Rest = std::function<Result<void>(const Sink& sink)>;

  std::vector<std::string> parts;
  Rest rest;  // empty: the line is its parts
  // Work that may run beside the printing, on a thread of its own (after
  // it, when no thread is to be had), such as giving back the space of the
  // file the output replaced. The first print() runs it and returns once it
  // is done; it is then gone.
  mutable std::function<void()> beside;

  OutputLine() = default;
  // One part: what most actions print. Not explicit, so that an action
  // that makes its line as one string returns it as it is.
  OutputLine(std::string text) { parts.push_back(std::move(text)); }  // NOLINT(google-explicit-constructor)

  // Hands the whole line to `sink`: the parts, then the rest.
  Result<void> print(const Sink& sink) const {
    std::function<void()> work = std::exchange(beside, {});
    std::optional<std::jthread> side;  // joined however the printing ends
    if (work) {
      try {
        side.emplace(work);
      } catch (const std::system_error&) {
        // No thread to be had: the work waits for the printing.
      }
    }
    Result<void> printed = print_parts(sink);
    if (side) {
      side->join();
    } else if (work) {
      work();
    }
    return printed;
  }

  // The whole line as one string (for a caller that looks into it).
  Result<std::string> joined() const {
    std::string out;
    auto ok = print([&out](std::string_view block) -> Result<void> {
      out.append(block);
      return {};
    });
    if (!ok) return std::unexpected(std::move(ok.error()));
    return out;
  }

 private:
  Result<void> print_parts(const Sink& sink) const {
    for (const std::string& part : parts) {
      if (auto ok = sink(part); !ok) return ok;
    }
    return rest ? rest(sink) : Result<void>{};
  }
};

}  // namespace dovrel

#endif  // DOVREL_OUTPUT_LINE_H_
