#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "vantrel_pdb/memory_hints.h"
#include "vantrel_pdb/os_error.h"

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

// Reads from `fd` into `bytes` after its first `size` bytes, until end of
// file (or, with a `limit`, until `bytes` holds that many). Fails with errno.
int read_into(int fd, std::vector<std::uint8_t>& bytes, std::size_t& size,
              std::size_t limit = static_cast<std::size_t>(-1)) {
  while (size < limit) {
    if (size == bytes.size()) {
      // Use what was reserved first, then double.
      bytes.resize(std::min(limit, std::max(bytes.capacity(), size + std::max(size, kMinimumChunk))));
    }
    ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  return 0;
}

// The size of a regular file open as `fd`, or nothing for other kinds.
std::optional<std::uint64_t> regular_file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

Result<int> open_for_reading(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail("file path contains a NUL byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(vantrel_pdb::os_error_message(errno));
  return fd;
}

}  // namespace

Result<std::vector<std::uint8_t>> read_descriptor(int fd) {
  std::vector<std::uint8_t> bytes;
  // A regular file's size saves the regrowth; pipes report 0 and grow.
  if (auto file_size = regular_file_size(fd); file_size && *file_size > 0) {
    bytes.reserve(static_cast<std::size_t>(*file_size) + kSpareBytes);
    vantrel_pdb::advise_huge_pages(bytes.data(), bytes.capacity());
  }
  std::size_t size = 0;
  if (int error_number = read_into(fd, bytes, size); error_number != 0) return fail(vantrel_pdb::os_error_message(error_number));
  bytes.resize(size);
  return bytes;
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  FileCloser closer(*fd);
  return read_descriptor(*fd);
}

Result<std::vector<std::uint8_t>> read_file_checked(const std::string& path, std::size_t head_size,
                                                    const HeadCheck& check) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  FileCloser closer(*fd);
  const auto file_size = regular_file_size(*fd);
  if (!file_size) return read_descriptor(*fd);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(head_size);
  std::size_t size = 0;
  if (int error_number = read_into(*fd, bytes, size, head_size); error_number != 0) {
    return fail(vantrel_pdb::os_error_message(error_number));
  }
  if (auto checked = check(std::span<const std::uint8_t>(bytes.data(), size), *file_size); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  bytes.resize(size);
  bytes.reserve(static_cast<std::size_t>(*file_size) + kSpareBytes);
  vantrel_pdb::advise_huge_pages(bytes.data(), bytes.capacity());
  if (int error_number = read_into(*fd, bytes, size); error_number != 0) return fail(vantrel_pdb::os_error_message(error_number));
  bytes.resize(size);
  return bytes;
}

}  // namespace dovrel
