// Whole-file input: the request from standard input and the database file
// named by "input", each read to its end into one buffer.
#ifndef DOVREL_INPUT_FILE_H_
#define DOVREL_INPUT_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace dovrel {

// Reads the open descriptor `fd` from its current position to end of file.
// Interrupted reads are retried. Fails with the operating system's text.
Result<std::vector<std::uint8_t>> read_descriptor(int fd);

// Reads the whole file at `path`. Fails with the operating system's text,
// e.g. "No such file or directory (os error 2)"; a directory fails with
// "Is a directory (os error 21)". A path holding a NUL byte, which the
// system would silently cut short, fails without opening anything.
Result<std::vector<std::uint8_t>> read_file(const std::string& path);

}  // namespace dovrel

#endif  // DOVREL_INPUT_FILE_H_
