#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/validate.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/files.h"

namespace vantrel_pdb {

namespace {

// The first read's size when the file's size is unknown (a pipe); the
// buffer then doubles.
constexpr std::size_t kFirstChunk = 64 * 1024;
// Room beyond a regular file's size, so that its end is seen without
// growing the buffer.
constexpr std::size_t kEndByte = 1;
constexpr char kNulInPath[] = "file path contains a NUL byte";

PdbError read_error(int error_number) { return PdbError(pdb_error::File{os_error_message(error_number)}); }

// Closes the descriptor on every path out of read_file.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() { ::close(fd_); }

 private:
  int fd_;
};

// Reads from `fd` into `bytes` after its first `size` bytes, until end of
// file or until `bytes` holds `limit` bytes; the buffer grows as needed.
// Fails with the system's errno.
std::expected<void, int> read_into(int fd, std::vector<std::uint8_t>& bytes, std::size_t& size,
                                   std::size_t limit = static_cast<std::size_t>(-1)) {
  while (size < limit) {
    if (size == bytes.size()) {
      // Use what was reserved first, then double.
      bytes.resize(std::min(limit, std::max(bytes.capacity(), size + std::max(size, kFirstChunk))));
    }
    const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  return {};
}

// The size of a regular file open as `fd`, or nothing for other kinds.
std::optional<std::uint64_t> regular_file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

// What a file open as `fd` is, in words for a message about it.
const char* device_kind(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return nullptr;
  if (S_ISCHR(info.st_mode)) return "character device";
  if (S_ISBLK(info.st_mode)) return "block device";
  return nullptr;
}

// The number of pages an image whose first page is `start` can reach: past
// next_unused_page and every page that the table directory names, at most
// kMaxStreamedSize bytes' worth. Requires a whole first page.
std::uint64_t reachable_pages(Bytes start) {
  constexpr std::uint64_t kMaxPages = kMaxStreamedSize / format::kPageSize;
  std::uint64_t pages = decode_fixed32(start.data() + format::kNextUnusedPageOffset);
  const std::uint64_t room = (format::kPageSize - format::kDirectoryOffset) / format::kTableEntrySize;
  const std::uint64_t entries = std::min<std::uint64_t>(decode_fixed32(start.data() + format::kTableCountOffset), room);
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint8_t* entry = start.data() + format::kDirectoryOffset + format::kTableEntrySize * i;
    for (std::uint64_t field :
         {format::kEntryEmptyCandidateOffset, format::kEntryFirstPageOffset, format::kEntryLastPageOffset}) {
      pages = std::max<std::uint64_t>(pages, std::uint64_t{decode_fixed32(entry + field)} + 1);
    }
  }
  return std::min(pages, kMaxPages);
}

PdbError goes_on_past(std::string_view what) {
  return PdbError(pdb_error::File{std::string("not a regular file, and it goes on past ").append(what)});
}

// A pipe, FIFO or device read as a database: its first page first, which a
// device must pass to be read on (a pipe that fails it fails as a regular
// file would), then no more than its header reaches, so that no stream
// (/dev/zero, a whole disk) is read without end.
std::expected<void, PdbError> read_stream_database(int fd, std::vector<std::uint8_t>& bytes, std::size_t& size) {
  bytes.reserve(kFileStartSize);
  if (auto ok = read_into(fd, bytes, size, kFileStartSize); !ok) return std::unexpected(read_error(ok.error()));
  const Bytes start(bytes.data(), size);
  if (size < kFileStartSize || decode_fixed32(start.data() + format::kPageSizeOffset) != format::kPageSize) {
    if (const char* kind = device_kind(fd)) {
      return std::unexpected(
          PdbError(pdb_error::File{std::string(kind) + " that holds no database (" + kInvalidPageSize + ")"}));
    }
    return std::unexpected(errors::invalid(kInvalidPageSize));
  }
  const std::uint64_t pages = reachable_pages(start);
  // One byte past the reach tells a stream that ends there from one that goes on.
  const auto limit = static_cast<std::size_t>(pages * format::kPageSize + 1);
  if (auto ok = read_into(fd, bytes, size, limit); !ok) return std::unexpected(read_error(ok.error()));
  if (size == limit) {
    return std::unexpected(goes_on_past("the " + std::to_string(pages) + " pages that its header reaches"));
  }
  return {};
}

// read_file, or with `check_start` read_database_file.
std::expected<std::vector<std::uint8_t>, PdbError> read_path(const std::string& path, bool check_start) {
  if (path.find('\0') != std::string::npos) return std::unexpected(PdbError(pdb_error::File{kNulInPath}));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(read_error(errno));
  FileCloser closer(fd);

  std::vector<std::uint8_t> bytes;
  std::size_t size = 0;
  const auto file_size = regular_file_size(fd);
  if (!file_size) {
    // Not a regular file: bounded by its header, or else by the cap.
    if (check_start) {
      if (auto ok = read_stream_database(fd, bytes, size); !ok) return std::unexpected(std::move(ok.error()));
    } else {
      const std::size_t limit = kMaxStreamedSize + 1;
      if (auto ok = read_into(fd, bytes, size, limit); !ok) return std::unexpected(read_error(ok.error()));
      if (size == limit) return std::unexpected(goes_on_past(std::to_string(kMaxStreamedSize) + " bytes"));
    }
    bytes.resize(size);
    return bytes;
  }
  if (check_start) {
    // The first page first: a file it rules out is refused before the
    // rest is read, so that a huge file that is no database costs a page.
    bytes.reserve(kFileStartSize);
    if (auto ok = read_into(fd, bytes, size, kFileStartSize); !ok) return std::unexpected(read_error(ok.error()));
    if (auto ok = validate_file_start(Bytes(bytes.data(), size), *file_size); !ok) return std::unexpected(ok.error());
    bytes.resize(size);
  }
  // The rest in one read where the size holds.
  bytes.reserve(static_cast<std::size_t>(*file_size) + kEndByte);
  advise_huge_pages(bytes.data(), bytes.capacity());
  if (auto ok = read_into(fd, bytes, size); !ok) return std::unexpected(read_error(ok.error()));
  bytes.resize(size);
  return bytes;
}

}  // namespace

std::expected<void, PdbError> validate_file_start(Bytes start, std::uint64_t file_size) {
  constexpr std::uint64_t kPageSize = format::kPageSize;
  static_assert(kFileStartSize == kPageSize);
  if (file_size < kPageSize || file_size % kPageSize != 0 || start.size() < kPageSize ||
      decode_fixed32(start.data() + format::kPageSizeOffset) != kPageSize) {
    return std::unexpected(errors::invalid(kInvalidPageSize));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, PdbError> read_file(const std::string& path) { return read_path(path, false); }

std::expected<std::vector<std::uint8_t>, PdbError> read_database_file(const std::string& path) {
  return read_path(path, true);
}

std::expected<std::vector<std::uint8_t>, PdbError> read_descriptor(int fd, std::size_t spare_capacity) {
  std::vector<std::uint8_t> bytes;
  // A regular file's size saves the regrowth; pipes report 0 and grow.
  if (const auto file_size = regular_file_size(fd); file_size && *file_size > 0) {
    bytes.reserve(static_cast<std::size_t>(*file_size) + std::max(spare_capacity, kEndByte));
    advise_huge_pages(bytes.data(), bytes.capacity());
  }
  std::size_t size = 0;
  if (auto ok = read_into(fd, bytes, size); !ok) return std::unexpected(read_error(ok.error()));
  bytes.resize(size);
  return bytes;
}

}  // namespace vantrel_pdb
