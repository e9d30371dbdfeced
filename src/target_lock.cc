#include "target_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "vantrel_pdb/files.h"

namespace dovrel {

namespace {

// Rounds of lock, check and retry before going on unlocked: each round is
// lost only to a writer that replaced the file meanwhile.
constexpr int kLockAttempts = 1000;

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool lock_exclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

TargetLock::TargetLock(const std::optional<std::string>& output) {
  if (!output || output->empty() || output->find('\0') != std::string::npos) return;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    auto target = vantrel_pdb::output_target(*output);
    if (!target) return;
    struct stat before;
    const bool exists = ::stat(target->c_str(), &before) == 0;
    if (!exists && errno != ENOENT) return;
    if (exists && !S_ISREG(before.st_mode)) return;  // the write refuses it anyway
    int fd = exists ? ::open(target->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                    : ::open(directory_of(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // replaced or removed between the two looks
      return;
    }
    if (!lock_exclusive(fd)) {
      ::close(fd);
      return;
    }
    // Is the lock still on what a write would replace?
    auto now_target = vantrel_pdb::output_target(*output);
    struct stat now, held_file;
    bool current = false;
    if (now_target && *now_target == *target) {
      if (!exists) {
        current = ::stat(target->c_str(), &now) != 0 && errno == ENOENT;
      } else {
        current = ::stat(target->c_str(), &now) == 0 && ::fstat(fd, &held_file) == 0 &&
                  now.st_dev == held_file.st_dev && now.st_ino == held_file.st_ino;
      }
    }
    if (current) {
      fd_ = fd;
      return;
    }
    ::close(fd);
  }
}

TargetLock::~TargetLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace dovrel
