// Whole-file output: the image written to the "output" path.
#ifndef DOVREL_OUTPUT_H_
#define DOVREL_OUTPUT_H_

#include <cstdint>
#include <span>
#include <string>

#include "error.h"

namespace dovrel {

// Writes `bytes` as the whole content of the file at `path`, never leaving
// it half-written: the bytes go to a new temporary file in the same
// directory (created exclusively), which is flushed, synced and renamed over
// the path; then the directory is synced. On any failure the temporary file
// is removed and the previous file is left as it was; the message names the
// path and the operating system's text ("cannot write output PATH: ...").
// A new file gets the mode an ordinary create gives it (0666 less the
// umask); an existing one keeps its mode. When `path` is a symbolic link the
// file it points to is replaced and the link stays. A directory fails with
// "Is a directory", any other target that is not a regular file (a device,
// FIFO or socket) with "not a regular file"; neither is touched. A path
// holding a NUL byte fails without touching anything.
Result<void> write_output(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace dovrel

#endif  // DOVREL_OUTPUT_H_
