#include "mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "vantrel_pdb/files.h"

namespace dovrel {

namespace {

std::atomic<int> live_mappings{0};

void on_bus_error(int) {
  static constexpr char kLine[] = "input file was cut short while it was being read\n";
  static_assert(sizeof kLine == sizeof kInputChangedWhileRead + 1);
  (void)!::write(STDERR_FILENO, kLine, sizeof kLine - 1);
  ::_exit(1);
}

void set_bus_error_handler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// The handler stands while any mapping lives.
void watch_bus_errors() {
  if (live_mappings.fetch_add(1) == 0) set_bus_error_handler(on_bus_error);
}

void unwatch_bus_errors() {
  if (live_mappings.fetch_sub(1) == 1) set_bus_error_handler(SIG_DFL);
}

// Reads up to `size` bytes at offset 0; returns the count or -errno.
ssize_t read_head(int fd, std::uint8_t* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

MappedFile::MappedFile(MappedFile&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MappedFile::~MappedFile() {
  if (data_ == nullptr) return;
  ::munmap(const_cast<std::uint8_t*>(data_), size_);
  unwatch_bus_errors();
}

Result<std::optional<MappedFile>> map_database_file(const std::string& path) { return map_file(path, true); }

Result<std::optional<MappedFile>> map_file(const std::string& path, bool check_start) {
  if (path.find('\0') != std::string::npos) return std::optional<MappedFile>();
  // Only a regular file is opened here: opening a FIFO takes its writer's
  // data stream, which the reader that follows would then miss.
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return std::optional<MappedFile>();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::optional<MappedFile>();  // read_database_file reports why
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::optional<MappedFile>();
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (check_start) {
    std::vector<std::uint8_t> head(vantrel_pdb::kFileStartSize);
    const ssize_t got = read_head(fd, head.data(), head.size());
    if (got < 0) {
      ::close(fd);
      return std::optional<MappedFile>();
    }
    head.resize(static_cast<std::size_t>(got));
    if (auto ok = vantrel_pdb::validate_file_start(head, size); !ok) {
      ::close(fd);
      return std::unexpected(Error(ok.error()));
    }
  } else if (size == 0) {
    ::close(fd);
    return std::optional<MappedFile>();  // nothing to map: the caller reads it
  }
  // The file is not empty. MAP_POPULATE maps the page cache's pages now,
  // in one call, instead of one fault at a time.
  void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  ::close(fd);
  if (data == MAP_FAILED) return std::optional<MappedFile>();
  watch_bus_errors();
  return std::optional<MappedFile>(MappedFile(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
}

}  // namespace dovrel
