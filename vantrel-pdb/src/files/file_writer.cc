#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "files/metadata_calls_for_testing.h"
#include "files/temp_file_cleanup.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

namespace {

// How many symbolic links a path may pass through before we give up, as the kernel does.
constexpr int kMaxSymlinkHops = 40;
// Fresh names tried before giving up on finding one that is free.
constexpr int kNameAttempts = 100;
// Temporary names are the caller's prefix and random letters and digits:
// short, so that they fit in any directory whatever the target's name.
constexpr int kTempRandomChars = 8;
constexpr std::size_t kMaxTempPrefix = 55;  // with the random part, what temp_file_cleanup keeps

ScopedMetadataCallsForTesting::Fchmod g_fchmod = ::fchmod;
ScopedMetadataCallsForTesting::Fchown g_fchown = ::fchown;
ScopedDirectorySyncForTesting::Fsync g_directory_fsync = ::fsync;

// Syncs the directory after the rename; returns 0 or errno. A file system
// that cannot sync a directory at all (EINVAL, ENOTSUP) has nothing more to
// make durable: that is no failure.
int sync_directory(int fd) {
  int result;
  do {
    result = g_directory_fsync(fd);
  } while (result != 0 && errno == EINTR);
  if (result == 0 || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP) return 0;
  return errno;
}

// A failure of the write of a path, in the caller's words.
class WriteFailure {
 public:
  explicit WriteFailure(const WriteOptions& options) : prefix_(options.failure_prefix) {}
  PdbError operator()(const std::string& path, const std::string& reason) const {
    return PdbError(pdb_error::File{prefix_ + path + ": " + reason});
  }
  PdbError operator()(const std::string& path, int error_number) const {
    return (*this)(path, os_error_message(error_number));
  }

 private:
  const std::string& prefix_;
};

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes `parts` one after another with as few calls as the kernel allows:
// a file made of many small parts (a playlist of entries) costs one writev
// per kIoVectors parts, not one write each.
constexpr std::size_t kIoVectors = IOV_MAX < 1024 ? IOV_MAX : 1024;

bool write_parts(int fd, std::span<const Bytes> parts) {
  iovec vectors[kIoVectors];
  std::size_t next = 0;  // the first part not yet in a vector
  std::size_t skip = 0;  // bytes of that part already written
  while (next < parts.size()) {
    std::size_t count = 0;
    for (std::size_t i = next; i < parts.size() && count < kIoVectors; ++i) {
      const std::size_t from = i == next ? skip : 0;
      if (parts[i].size() == from) continue;
      vectors[count++] = {const_cast<std::uint8_t*>(parts[i].data() + from), parts[i].size() - from};
    }
    if (count == 0) return true;
    const ssize_t n = ::writev(fd, vectors, static_cast<int>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    // Step over what was written: whole parts, then into the next one.
    auto left = static_cast<std::size_t>(n);
    while (next < parts.size() && left >= parts[next].size() - skip) {
      left -= parts[next].size() - skip;
      skip = 0;
      ++next;
    }
    skip += left;
  }
  return true;
}

// The umask can only be read by setting it; writers in several threads take
// turns, or one would read the 0 that another set for a moment.
mode_t creation_mode() {
  static std::mutex reading;
  std::lock_guard<std::mutex> lock(reading);
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// A file system without Unix modes and owners (FAT, exFAT, some network
// shares) refuses to change them in these ways; the file is still written.
bool is_metadata_refusal(int error_number) {
  return error_number == EPERM || error_number == ENOTSUP || error_number == EOPNOTSUPP || error_number == ENOSYS;
}

// Gives the new file `mode`, and the owner of `existing` when there is one.
// Returns 0 or the errno of a failure that is not a refusal.
int set_metadata(int fd, mode_t mode, const struct stat* existing) {
  if (g_fchmod(fd, mode) != 0 && !is_metadata_refusal(errno)) return errno;
  // An ordinary user cannot give files away (EPERM), which is fine.
  if (existing != nullptr && g_fchown(fd, existing->st_uid, existing->st_gid) != 0 && !is_metadata_refusal(errno)) {
    return errno;
  }
  return 0;
}

std::string fresh_temp_name(const std::string& prefix) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[kTempRandomChars] = {};
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    // Without the kernel's randomness the names only need to differ between tries.
    static std::atomic<unsigned> counter{0};
    unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + (counter.fetch_add(1) + 1) * 40503u;
    for (auto& r : random) {
      seed = seed * 1103515245u + 12345u;
      r = static_cast<unsigned char>(seed >> 16);
    }
  }
  std::string name = prefix;
  for (unsigned char r : random) name.push_back(kAlphabet[r % (sizeof kAlphabet - 1)]);
  return name;
}

// Closes the descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; returns the errno of a failed close, else 0.
  int reset() {
    int error_number = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) error_number = errno;
    fd_ = -1;
    return error_number;
  }
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }

 private:
  int fd_;
};

// The new file while it is written, in the directory open as `dir`.
//
// The preferred way is an unnamed file (O_TMPFILE): until it is complete it
// has no name, so no kill can leave it behind. linkat gives it a name but
// cannot replace an existing file, so publishing is two steps: link it to
// a fresh short temporary name, then rename that over the target, which is
// atomic. Both steps run with SIGTERM, SIGINT and SIGHUP blocked and the
// name registered for removal, so only a SIGKILL in the instant between two
// system calls can leave a name behind. Where O_TMPFILE or the link is not
// available the file is created under a temporary name from the start
// (O_CREAT | O_EXCL, never following an existing name), registered at once.
class NewFile {
 public:
  NewFile(int dir, const std::string& prefix) : dir_(dir), prefix_(prefix) {}
  ~NewFile() { discard(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Opens an unnamed file when `unnamed` and the file system allows it,
  // else a named one. Returns 0 or errno.
  int open(bool unnamed) {
    if (unnamed) {
      int fd = ::openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_.adopt(fd);
        return 0;
      }
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = fresh_temp_name(prefix_);
      CleanupSignalsBlocked blocked;
      int fd = ::openat(dir_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return errno;
      }
      fd_.adopt(fd);
      name_ = std::move(name);
      registration_ = register_temp_file(dir_, name_);
      return 0;
    }
    return EEXIST;
  }

  int fd() const { return fd_.get(); }
  bool is_unnamed() const { return name_.empty(); }

  // Gives the finished file the name `target` in the directory. Returns 0,
  // or errno; kCannotLink when an unnamed file cannot be given a name here.
  static constexpr int kCannotLink = -1;
  int publish(const std::string& target) {
    CleanupSignalsBlocked blocked;
    if (name_.empty()) {
      if (int error_number = link_unnamed(); error_number != 0) return error_number;
    }
    // A close can report a late write error (network file systems do).
    if (int error_number = fd_.reset(); error_number != 0) return error_number;
    if (::renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0) return errno;
    forget_temp_file(registration_);
    registration_ = -1;
    name_.clear();
    published_ = true;
    return 0;
  }

 private:
  // Links the unnamed file to a fresh temporary name and registers it.
  // Requires: the signals are blocked.
  int link_unnamed() {
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = fresh_temp_name(prefix_);
      // AT_EMPTY_PATH needs a capability that root has; /proc serves everyone else.
      int linked = ::linkat(fd_.get(), "", dir_, name.c_str(), AT_EMPTY_PATH);
      if (linked != 0 && errno != EEXIST) {
        linked = ::linkat(AT_FDCWD, by_descriptor.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW);
      }
      if (linked == 0) {
        name_ = std::move(name);
        registration_ = register_temp_file(dir_, name_);
        return 0;
      }
      if (errno == EEXIST) continue;
      if (errno == ENOENT || errno == EPERM || errno == EINVAL || errno == EOPNOTSUPP || errno == EXDEV) {
        return kCannotLink;
      }
      return errno;
    }
    return EEXIST;
  }

  void discard() {
    fd_.reset();
    if (!name_.empty() && !published_) {
      CleanupSignalsBlocked blocked;
      ::unlinkat(dir_, name_.c_str(), 0);
      forget_temp_file(registration_);
      registration_ = -1;
      name_.clear();
    }
  }

  int dir_;
  const std::string& prefix_;
  Descriptor fd_;
  std::string name_;       // empty while the file is unnamed
  int registration_ = -1;  // of name_ for removal on a signal
  bool published_ = false;
};

// output_target, failing with an errno value.
std::expected<std::string, int> resolve_target(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT) return current;  // a new file
      return std::unexpected(errno);
    }
    if (!S_ISLNK(st.st_mode)) return current;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    ssize_t n = readlink(current.c_str(), link.data(), link.size());
    if (n < 0) return std::unexpected(errno);
    link.resize(static_cast<std::size_t>(n));
    current = (!link.empty() && link[0] == '/') ? link : directory_of(current) + "/" + link;
  }
  return std::unexpected(ELOOP);
}

}  // namespace

std::expected<std::string, PdbError> output_target(const std::string& path) {
  auto target = resolve_target(path);
  if (!target) return std::unexpected(PdbError(pdb_error::File{os_error_message(target.error())}));
  return std::move(*target);
}

std::expected<void, PdbError> write_file(const std::string& path, std::span<const std::uint8_t> bytes,
                                         const WriteOptions& options) {
  const Bytes parts[] = {bytes};
  return write_file(path, std::span<const Bytes>(parts), options);
}

namespace {

// write_file's steps, the new file's bytes being what fill(fd, failure)
// writes: it returns the write's error, worded by `failure`, or its own.
template <class Fill>
std::expected<void, PdbError> write_file_with(const std::string& path, const WriteOptions& options, Fill&& fill) {
  if (options.temp_prefix.size() > kMaxTempPrefix ||
      options.temp_prefix.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return std::unexpected(PdbError(pdb_error::Misuse{"a temporary-file prefix holds at most " +
                                                      std::to_string(kMaxTempPrefix) + " bytes and no '/' or NUL"}));
  }
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(PdbError(pdb_error::File{"file path contains a NUL byte"}));
  }
  const WriteFailure output_error(options);
  if (path.empty()) return std::unexpected(output_error(path, ENOENT));
  auto target = resolve_target(path);
  if (!target) return std::unexpected(output_error(path, target.error()));

  // What the path names when the kernel follows it: this also sees through
  // links such as /dev/stdout and /proc/self/fd/N, whose text names no file.
  struct stat named;
  const bool named_exists = ::stat(path.c_str(), &named) == 0;
  if (named_exists && S_ISDIR(named.st_mode)) return std::unexpected(output_error(path, EISDIR));
  // A rename would put a regular file in the place of a device, FIFO or
  // socket (as root even of /dev/null); such a target is left alone.
  if (named_exists && !S_ISREG(named.st_mode)) return std::unexpected(output_error(path, "not a regular file"));

  // An existing file keeps its mode; a new one gets what an ordinary create gives.
  mode_t mode = creation_mode();
  struct stat existing;
  const bool exists = ::stat(target->c_str(), &existing) == 0;
  if (exists) {
    if (S_ISDIR(existing.st_mode)) return std::unexpected(output_error(path, EISDIR));
    if (!S_ISREG(existing.st_mode)) return std::unexpected(output_error(path, "not a regular file"));
    mode = existing.st_mode & 07777;
  } else if (named_exists) {
    // A link to an open file that has no path (a deleted file behind /proc/self/fd/N).
    return std::unexpected(output_error(path, "names an open file that has no path to replace"));
  }

  const std::string dir_path = directory_of(*target);
  const std::string name = base_name_of(*target);
  Descriptor dir(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return std::unexpected(output_error(path, errno));
  if (name.empty()) return std::unexpected(output_error(path, ENOENT));

  // The second round, with a named file, is for a file system that made an
  // unnamed file but cannot give it a name.
  for (bool unnamed : {true, false}) {
    NewFile file(dir.get(), options.temp_prefix);
    if (int error_number = file.open(unnamed); error_number != 0) {
      // The directory is open, so "No such file" means that it takes no new files.
      if (error_number == ENOENT) return std::unexpected(output_error(path, dir_path + " does not accept new files"));
      return std::unexpected(output_error(path, error_number));
    }
    if (int error_number = set_metadata(file.fd(), mode, exists ? &existing : nullptr); error_number != 0) {
      return std::unexpected(output_error(path, error_number));
    }
    if (auto filled = fill(file.fd(), output_error); !filled) return filled;
    if (::fsync(file.fd()) != 0) return std::unexpected(output_error(path, errno));
    if (options.before_replace) {
      if (auto ready = options.before_replace(); !ready) return ready;
    }
    const int published = file.publish(name);
    if (published == NewFile::kCannotLink && file.is_unnamed()) continue;
    if (published != 0) return std::unexpected(output_error(path, published));
    // Makes the rename itself durable. The new file is in place whatever
    // this says, but exit 0 promises it is on disk: a failure says which.
    if (int error_number = sync_directory(dir.get()); error_number != 0) {
      return std::unexpected(PdbError(pdb_error::File{
          options.replaced_prefix + path + ": syncing its directory failed: " + os_error_message(error_number)}));
    }
    return {};
  }
  return std::unexpected(output_error(path, EOPNOTSUPP));
}

}  // namespace

std::expected<void, PdbError> write_file(const std::string& path, std::span<const Bytes> parts,
                                         const WriteOptions& options) {
  return write_file_with(path, options, [&](int fd, const WriteFailure& failure) -> std::expected<void, PdbError> {
    if (!write_parts(fd, parts)) return std::unexpected(failure(path, errno));
    return {};
  });
}

std::expected<void, PdbError> write_file_produced(const std::string& path, const BlockProducer& produce,
                                                  const WriteOptions& options) {
  if (!produce) return std::unexpected(PdbError(pdb_error::Misuse{"a produced file needs a producer"}));
  return write_file_with(path, options, [&](int fd, const WriteFailure& failure) -> std::expected<void, PdbError> {
    const PutBlock put = [&](Bytes block) -> std::expected<void, PdbError> {
      const Bytes parts[] = {block};
      if (!write_parts(fd, parts)) return std::unexpected(failure(path, errno));
      return {};
    };
    return produce(put);
  });
}

ScopedMetadataCallsForTesting::ScopedMetadataCallsForTesting(Fchmod fchmod_call, Fchown fchown_call) {
  g_fchmod = fchmod_call;
  g_fchown = fchown_call;
}

ScopedMetadataCallsForTesting::~ScopedMetadataCallsForTesting() {
  g_fchmod = ::fchmod;
  g_fchown = ::fchown;
}

ScopedDirectorySyncForTesting::ScopedDirectorySyncForTesting(Fsync fsync_call) { g_directory_fsync = fsync_call; }

ScopedDirectorySyncForTesting::~ScopedDirectorySyncForTesting() { g_directory_fsync = ::fsync; }

std::expected<void, PdbError> save(Library& library, const std::string& path) {
  const TargetLock lock(path);
  auto bytes = library.bytes();
  if (!bytes) return std::unexpected(bytes.error());
  return write_file(path, *bytes);
}

}  // namespace vantrel_pdb
