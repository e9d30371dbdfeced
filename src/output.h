// Whole-file output: the image written to the "output" path.
#ifndef DOVREL_OUTPUT_H_
#define DOVREL_OUTPUT_H_

#include <cstdint>
#include <span>
#include <string>

#include "error.h"

namespace dovrel {

// Writes `bytes` as the whole content of the file at `path`, creating it or
// truncating it. Fails with the operating system's text. A path holding a
// NUL byte fails without touching anything.
Result<void> write_output(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace dovrel

#endif  // DOVREL_OUTPUT_H_
