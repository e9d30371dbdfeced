// An advisory lock that makes runs writing the same output take turns, so
// that concurrent in-place patches apply one after another instead of the
// last one undoing the others.
#ifndef DOVREL_TARGET_LOCK_H_
#define DOVREL_TARGET_LOCK_H_

#include <optional>
#include <string>
#include <vector>

namespace dovrel {

// Holds an exclusive flock for the file that vantrel_pdb::write_file(*output) would
// replace, from construction until destruction (or the process's end, even
// by a kill). The rename of a write replaces the file's inode, and a
// waiter may hold the old one; so after each wait the lock is checked to
// be on the file the path names now, and taken again when it is not. A
// target that does not exist yet is locked through its directory (any new
// file there then waits too). Does nothing when `output` is absent or the
// target is not a regular file, and goes on unlocked when the lock cannot
// be had (an unreadable file, a file system without flock): it is
// advisory, and other programs do not take it.
class TargetLock {
 public:
  // What is locked for a target that does not exist yet: its directory,
  // or nothing, for a caller that holds a DirectoryLock on it already.
  enum class Missing { kLockDirectory, kHeldByCaller };

  explicit TargetLock(const std::optional<std::string>& output, Missing missing = Missing::kLockDirectory);
  ~TargetLock();
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The lock that TargetLock takes for a new file in `directory`, held for a
// whole run that writes many new files there (an export), so that they
// need not take turns with each other. Goes on unlocked when the directory
// cannot be opened or locked.
class DirectoryLock {
 public:
  // Takes the locks of `directories` in the order of their device and inode
  // numbers, whatever order or spelling they are given in, so that runs
  // that lock some of the same directories cannot wait on each other in a
  // circle.
  static std::vector<DirectoryLock> lock_all(const std::vector<std::string>& directories);

  DirectoryLock(DirectoryLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  ~DirectoryLock();

  bool held() const { return fd_ >= 0; }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace dovrel

#endif  // DOVREL_TARGET_LOCK_H_
