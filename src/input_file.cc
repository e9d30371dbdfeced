#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os_error.h"

namespace dovrel {

namespace {

constexpr std::size_t kMinimumChunk = 64 * 1024;
// Room beyond a regular file's size: one byte to see its end without
// growing, and enough for a parser to read past the end of a request.
constexpr std::size_t kSpareBytes = 128;

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

Result<std::vector<std::uint8_t>> read_descriptor(int fd) {
  std::vector<std::uint8_t> bytes;
  // A regular file's size saves the regrowth; pipes report 0 and grow.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(info.st_size) + kSpareBytes);
  }
  std::size_t size = 0;
  for (;;) {
    if (size == bytes.size()) {
      // Use what was reserved first, then double.
      bytes.resize(std::max(bytes.capacity(), size + std::max(size, kMinimumChunk)));
    }
    ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_message(errno));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  bytes.resize(size);
  return bytes;
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail("file path contains a NUL byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_error_message(errno));
  FileCloser closer(fd);
  return read_descriptor(fd);
}

}  // namespace dovrel
