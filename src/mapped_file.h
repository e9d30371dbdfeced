// A file mapped into memory instead of copied: the database file named by
// "input" ("read" only looks at the image, so the page cache's own pages
// serve), or a large request on standard input when that is a regular file.
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
// kInputChangedWhileRead (kRequestChangedWhileRead for standard input's)
// on standard error, before any report is printed.
class MappedFile {
 public:
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&&) = delete;
  MappedFile(const MappedFile&) = delete;
  ~MappedFile();

  vantrel_pdb::Bytes bytes() const { return {data_, size_}; }

  // Lets go of the mapping's pages that this process holds in memory. The
  // bytes stay as they are: a later read of any of them maps its page again
  // from the page cache (or the file). A reader that goes through a large
  // file once calls this now and then, so that the pages behind it do not
  // add to its memory beside what it makes of them. Safe beside readers on
  // other threads, since the mapping is read-only and backed by the file
  // (and zero pages past its end).
  void release_resident() const;

  // As release_resident for the pages wholly within the file's first
  // `bytes` bytes only: a reader that goes through the file once lets go
  // of what lies behind it and keeps the pages ahead, which it would
  // otherwise map again.
  void release_resident_before(std::size_t bytes) const;

 private:
  friend Result<std::optional<MappedFile>> map_file(const std::string& path, bool check_start);
  friend std::optional<MappedFile> map_rest_of_descriptor(int fd, std::size_t min_size, std::size_t padding);
  MappedFile(void* base, std::size_t length, const std::uint8_t* data, std::size_t size, bool request)
      : base_(base), length_(length), data_(data), size_(size), request_(request) {}

  void* base_ = nullptr;  // the mapping, page-aligned
  std::size_t length_ = 0;
  const std::uint8_t* data_ = nullptr;  // the file's bytes in it
  std::size_t size_ = 0;
  bool request_ = false;  // standard input's
};

inline constexpr char kInputChangedWhileRead[] = "input file was cut short while it was being read";
inline constexpr char kRequestChangedWhileRead[] = "standard input was cut short while it was being read";

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

// Maps the rest of the regular file open as `fd`, from its offset to its
// end, when that is at least `min_size` bytes, with `padding` zero bytes
// readable after it (for a parser that may read past its text), and moves
// the offset to the end as reading it would. Returns nullopt, having moved
// nothing, for a pipe or terminal, a shorter file or a refused mapping: the
// caller then reads `fd`. One such mapping lives at a time.
std::optional<MappedFile> map_rest_of_descriptor(int fd, std::size_t min_size, std::size_t padding);

}  // namespace dovrel

#endif  // DOVREL_MAPPED_FILE_H_
