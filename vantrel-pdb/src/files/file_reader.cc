#include "vantrel_pdb/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "vantrel_pdb/memory_hints.h"
#include "vantrel_pdb/os_error.h"

namespace vantrel_pdb {

namespace {

// The first read's size when the file's size is unknown (a pipe); the
// buffer then doubles.
constexpr std::size_t kFirstChunk = 64 * 1024;
// Room beyond a regular file's size, so that its end is seen without
// growing the buffer.
constexpr std::size_t kSpareBytes = 1;
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

}  // namespace

std::expected<std::vector<std::uint8_t>, PdbError> read_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(PdbError(pdb_error::File{kNulInPath}));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(read_error(errno));
  FileCloser closer(fd);

  std::vector<std::uint8_t> bytes;
  struct stat info {};
  // A regular file's size spares the regrowth; pipes and devices grow.
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(info.st_size) + kSpareBytes);
    advise_huge_pages(bytes.data(), bytes.capacity());
    bytes.resize(bytes.capacity());
  }
  std::size_t size = 0;
  for (;;) {
    if (size == bytes.size()) bytes.resize(size + std::max(size, kFirstChunk));
    const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(read_error(errno));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace vantrel_pdb
