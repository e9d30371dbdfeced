// The one line an action prints on standard output, in parts printed one
// after another: a report made in two halves at once (two threads) is
// printed as it was made, never joined into one string, which would hold
// the second half twice.
#ifndef DOVREL_OUTPUT_LINE_H_
#define DOVREL_OUTPUT_LINE_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace dovrel {

struct OutputLine {
  std::vector<std::string> parts;

  OutputLine() = default;
  // One part: what most actions print. Not explicit, so that an action
  // that makes its line as one string returns it as it is.
  OutputLine(std::string text) { parts.push_back(std::move(text)); }  // NOLINT(google-explicit-constructor)

  // The parts joined: the whole line.
  std::string joined() const {
    std::string out;
    out.reserve(size());
    for (const std::string& part : parts) out.append(part);
    return out;
  }
  // Its length in bytes.
  std::size_t size() const {
    std::size_t bytes = 0;
    for (const std::string& part : parts) bytes += part.size();
    return bytes;
  }
};

}  // namespace dovrel

#endif  // DOVREL_OUTPUT_LINE_H_
