#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "os_error.h"

namespace dovrel {

namespace {

// How many symbolic links a path may pass through before we give up, as the kernel does.
constexpr int kMaxSymlinkHops = 40;
// The temporary file's name carries at most this much of the target's name,
// so that it stays within NAME_MAX (255) whatever the target's length.
constexpr std::size_t kMaxTempStem = 200;

Error output_error(const std::string& path, const std::string& reason) {
  return Error("cannot write output " + path + ": " + reason);
}
Error output_error(const std::string& path, int error_number) {
  return output_error(path, os_error_message(error_number));
}

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

// Follows `path` through symbolic links to the file that a write through it
// would replace (which need not exist yet). Fails with an errno value.
std::expected<std::string, int> final_target(const std::string& path) {
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

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

mode_t creation_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

Result<void> write_output(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (path.find('\0') != std::string::npos) return fail("file path contains a NUL byte");
  if (path.empty()) return std::unexpected(output_error(path, ENOENT));
  auto target = final_target(path);
  if (!target) return std::unexpected(output_error(path, target.error()));

  // An existing file keeps its mode; a new one gets what an ordinary create gives.
  mode_t mode = creation_mode();
  struct stat existing;
  bool exists = stat(target->c_str(), &existing) == 0;
  if (exists) {
    if (S_ISDIR(existing.st_mode)) return std::unexpected(output_error(path, EISDIR));
    // A rename would put a regular file in the place of a device, FIFO or
    // socket (as root even of /dev/null); such a target is left alone.
    if (!S_ISREG(existing.st_mode)) return std::unexpected(output_error(path, "not a regular file"));
    mode = existing.st_mode & 07777;
  }

  // The new bytes go to a fresh file beside the target and replace it by rename.
  std::string temp =
      directory_of(*target) + "/." + base_name_of(*target).substr(0, kMaxTempStem) + ".dovrel-XXXXXX";
  int fd = mkstemp(temp.data());  // O_CREAT | O_EXCL: never follows an existing name
  if (fd < 0) return std::unexpected(output_error(path, errno));
  auto abandon = [&](int err) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return std::unexpected(output_error(path, err));
  };
  if (fchmod(fd, mode) != 0) return abandon(errno);
  if (exists) {
    // Keeps the owner when we may; an ordinary user cannot give files away, which is fine.
    (void)!fchown(fd, existing.st_uid, existing.st_gid);
  }
  if (!write_all(fd, bytes)) return abandon(errno);
  if (fsync(fd) != 0) return abandon(errno);
  int closing = ::close(fd);
  fd = -1;
  if (closing != 0) return abandon(errno);
  if (rename(temp.c_str(), target->c_str()) != 0) return abandon(errno);

  // Makes the rename itself durable.
  int dir = ::open(directory_of(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace dovrel
