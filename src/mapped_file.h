// The database file named by "input", mapped into memory instead of copied:
// "read" only looks at the image, so the page cache's own pages serve.
#ifndef DOVREL_MAPPED_FILE_H_
#define DOVREL_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "error.h"
#include "vantrel_pdb/bytes.h"

namespace dovrel {

// A read-only private mapping of a whole regular file, unmapped on
// destruction. While one exists, a bus error (the file cut short under the
// mapping by another program) ends the process with exit status 1 and
// kInputChangedWhileRead on standard error, before any report is printed.
class MappedFile {
 public:
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&&) = delete;
  MappedFile(const MappedFile&) = delete;
  ~MappedFile();

  vantrel_pdb::Bytes bytes() const { return {data_, size_}; }

 private:
  friend Result<std::optional<MappedFile>> map_file(const std::string& path, bool check_start);
  MappedFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

inline constexpr char kInputChangedWhileRead[] = "input file was cut short while it was being read";

// Maps the database file at `path` after the first-page check that
// read_database_file makes (same errors). Returns nullopt, having read
// nothing but the first page, for what cannot be mapped (not a regular
// file, or the system refuses); the caller then reads it with
// read_database_file.
Result<std::optional<MappedFile>> map_database_file(const std::string& path);

// As map_database_file, without the first-page check when `check_start` is
// false: any regular file is mapped, a damaged database too (for "check" and
// "salvage", which read whatever is there). An empty file gives nullopt.
Result<std::optional<MappedFile>> map_file(const std::string& path, bool check_start);

}  // namespace dovrel

#endif  // DOVREL_MAPPED_FILE_H_
