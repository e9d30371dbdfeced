// Whole-file input: the request from standard input and the database file
// named by "input", each read to its end into one buffer.
#ifndef DOVREL_INPUT_FILE_H_
#define DOVREL_INPUT_FILE_H_

#include <cstdint>
#include <functional>
#include <span>
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

// A look at the start of a file before the rest is read: the first bytes
// (fewer when the file is shorter) and the file's size.
using HeadCheck = std::function<Result<void>(std::span<const std::uint8_t> head, std::uint64_t file_size)>;

// As read_file, but for a regular file first reads its first `head_size`
// bytes and calls `check` with them and the file's size; when the check
// fails its error is the result and the rest of the file is never read, so
// that a huge file is refused for its header without taking its size in
// memory. Files whose size is not known (pipes) are read whole unchecked.
Result<std::vector<std::uint8_t>> read_file_checked(const std::string& path, std::size_t head_size,
                                                    const HeadCheck& check);

}  // namespace dovrel

#endif  // DOVREL_INPUT_FILE_H_
