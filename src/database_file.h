// The database file named by "input", read whole once its header allows.
#ifndef DOVREL_DATABASE_FILE_H_
#define DOVREL_DATABASE_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace dovrel {

// Reads the database file at `path` whole, as read_file does, but looks at
// its first page first: a regular file that is not a non-zero whole number
// of 4096-byte pages, or whose header does not give 4096 as its page size,
// fails at once with "Invalid PDB page size/length" (the message the
// structure check would give for the whole file) without the rest being
// read, so that a huge file of zeros costs one page of memory.
Result<std::vector<std::uint8_t>> read_database_file(const std::string& path);

}  // namespace dovrel

#endif  // DOVREL_DATABASE_FILE_H_
