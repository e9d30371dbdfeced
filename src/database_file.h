// The database file named by "input", read whole once its header allows.
#ifndef DOVREL_DATABASE_FILE_H_
#define DOVREL_DATABASE_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace dovrel {

// The library's read_database_file, its error as the front end's: a regular
// file that is not a non-zero whole number of 4096-byte pages, or whose
// header does not give 4096 as its page size, fails at once with "Invalid
// PDB page size/length" without the rest being read; other failures give
// the operating system's text, e.g. "No such file or directory (os error 2)".
Result<std::vector<std::uint8_t>> read_database_file(const std::string& path);

}  // namespace dovrel

#endif  // DOVREL_DATABASE_FILE_H_
