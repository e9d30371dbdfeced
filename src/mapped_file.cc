#include "mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "vantrel_pdb/files.h"

namespace dovrel {

namespace {

std::atomic<int> live_mappings{0};
// Standard input's mapping, [begin, end), or empty: a bus error there is the
// request's.
std::atomic<std::uintptr_t> request_begin{0};
std::atomic<std::uintptr_t> request_end{0};

void on_bus_error(int, siginfo_t* info, void*) {
  static constexpr char kInputLine[] = "input file was cut short while it was being read\n";
  static constexpr char kRequestLine[] = "standard input was cut short while it was being read\n";
  static_assert(sizeof kInputLine == sizeof kInputChangedWhileRead + 1);
  static_assert(sizeof kRequestLine == sizeof kRequestChangedWhileRead + 1);
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const bool request = at >= request_begin.load() && at < request_end.load();
  if (request) {
    (void)!::write(STDERR_FILENO, kRequestLine, sizeof kRequestLine - 1);
  } else {
    (void)!::write(STDERR_FILENO, kInputLine, sizeof kInputLine - 1);
  }
  ::_exit(1);
}

void set_bus_error_handler(bool watch) {
  struct sigaction action {};
  if (watch) {
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = SIG_DFL;
  }
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// The handler stands while any mapping lives.
void watch_bus_errors() {
  if (live_mappings.fetch_add(1) == 0) set_bus_error_handler(true);
}

void unwatch_bus_errors() {
  if (live_mappings.fetch_sub(1) == 1) set_bus_error_handler(false);
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

MappedFile::MappedFile(MappedFile&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      request_(other.request_) {}

MappedFile::~MappedFile() {
  if (base_ == nullptr) return;
  if (request_) {
    request_begin.store(0);
    request_end.store(0);
  }
  ::munmap(base_, length_);
  unwatch_bus_errors();
}

void MappedFile::release_resident() const {
  // On a read-only private mapping that was never written, no page is the
  // process's own copy: MADV_DONTNEED only unmaps pages of the file.
  if (base_ != nullptr) (void)::madvise(base_, length_, MADV_DONTNEED);
}

void MappedFile::release_resident_before(std::size_t bytes) const {
  if (base_ == nullptr) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(base_);
  // Whole pages only: the page holding the next byte to be read stays.
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data_) + std::min(bytes, size_)) & ~(page - 1);
  if (end > begin) (void)::madvise(base_, end - begin, MADV_DONTNEED);
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
  return std::optional<MappedFile>(MappedFile(data, static_cast<std::size_t>(size), static_cast<const std::uint8_t*>(data),
                                              static_cast<std::size_t>(size), false));
}

std::optional<MappedFile> map_rest_of_descriptor(int fd, std::size_t min_size, std::size_t padding) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0 || offset >= info.st_size) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(info.st_size - offset);
  if (size < min_size || size > SIZE_MAX / 2) return std::nullopt;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t skip = static_cast<std::uint64_t>(offset) % page;  // the offset's place in its page
  const std::uint64_t file_length = (skip + size + page - 1) / page * page;
  const std::uint64_t length = (skip + size + padding + page - 1) / page * page;
  // Anonymous zero pages first, then the file over their start: the bytes
  // after the file's end, in its last page and beyond, read as zeros.
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return std::nullopt;
  void* file = ::mmap(base, file_length, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, offset - static_cast<off_t>(skip));
  if (file == MAP_FAILED || ::lseek(fd, static_cast<off_t>(size), SEEK_CUR) < 0) {
    ::munmap(base, length);
    return std::nullopt;
  }
  const auto* data = static_cast<const std::uint8_t*>(base) + skip;
  request_begin.store(reinterpret_cast<std::uintptr_t>(base));
  request_end.store(reinterpret_cast<std::uintptr_t>(base) + length);
  watch_bus_errors();
  return std::optional<MappedFile>(MappedFile(base, length, data, size, true));
}

}  // namespace dovrel
