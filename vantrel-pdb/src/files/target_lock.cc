#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vantrel_pdb/files.h"

namespace vantrel_pdb {

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

// How long a poll for a lock sleeps between tries, at first and at most.
constexpr auto kFirstPoll = std::chrono::milliseconds(5);
constexpr auto kLongestPoll = std::chrono::milliseconds(50);

// The process that holds a flock of the file `info` describes, as "process
// N (NAME)", from /proc/locks; "another process" when it cannot be told.
std::string lock_holder(const struct stat& info) {
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" after the number.
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, mode, pid, file;
    if (!(fields >> number >> kind >> advisory >> mode >> pid >> file) || kind != "FLOCK" || file != wanted) continue;
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
  }
  return "another process";
}

// The files and directories that TargetLocks of this process hold, and the
// thread of each: a thread that holds one already (a program that locks its
// file from before it reads it until after save()) does not wait for
// itself, while other threads wait as other processes do.
struct HeldLock {
  dev_t device;
  ino_t inode;
  std::thread::id owner;
};
std::mutex g_held_mutex;
std::vector<HeldLock> g_held;

bool held_by_this_thread(const struct stat& info) {
  std::lock_guard guard(g_held_mutex);
  return std::any_of(g_held.begin(), g_held.end(), [&](const HeldLock& held) {
    return held.device == info.st_dev && held.inode == info.st_ino && held.owner == std::this_thread::get_id();
  });
}

void note_held(const struct stat& info) {
  std::lock_guard guard(g_held_mutex);
  g_held.push_back({info.st_dev, info.st_ino, std::this_thread::get_id()});
}

void forget_held(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return;
  std::lock_guard guard(g_held_mutex);
  for (auto it = g_held.begin(); it != g_held.end(); ++it) {
    if (it->device == info.st_dev && it->inode == info.st_ino) {
      g_held.erase(it);
      return;
    }
  }
}

// The time and the notice of one TargetLock's wait, over its rounds.
struct Waiting {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  bool noticed = false;
};

// Takes the flock of `fd` (the lock of `target`) as `wait` says: without end
// and without a word when it asks for neither, else by polling, saying once
// that it waits and failing when the wait runs out. False when the lock
// cannot be had at all (a file system without flock).

std::expected<bool, PdbError> take_lock(int fd, const std::string& target, const LockWait& wait, Waiting& waited) {
  if (!wait.on_wait && !wait.limit) return lock_exclusive(fd);
  for (auto pause = kFirstPoll;; pause = std::min(pause * 2, kLongestPoll)) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    const auto waited_for = std::chrono::steady_clock::now() - waited.start;
    if (!waited.noticed && wait.on_wait && waited_for >= wait.notice_after) {
      waited.noticed = true;
      struct stat info;
      wait.on_wait("waiting for the lock of " + target + ", held by " +
                   (::fstat(fd, &info) == 0 ? lock_holder(info) : std::string("another process")));
    }
    if (wait.limit && waited_for >= *wait.limit) {
      struct stat info;
      const auto seconds = std::chrono::duration_cast<std::chrono::duration<double>>(*wait.limit).count();
      char shown[32];
      std::snprintf(shown, sizeof shown, "%g", seconds);
      return std::unexpected(
          PdbError(pdb_error::File{"gave up waiting for the lock of " + target + " after " + shown + " s, held by " +
                                   (::fstat(fd, &info) == 0 ? lock_holder(info) : std::string("another process"))}));
    }
    auto sleep = pause;
    if (wait.limit) sleep = std::min(sleep, std::chrono::ceil<std::chrono::milliseconds>(*wait.limit - waited_for));
    std::this_thread::sleep_for(sleep);
  }
}

}  // namespace

TargetLock::TargetLock(const std::optional<std::string>& output, Missing missing, const LockWait& wait) {
  Waiting waited;
  if (!output || output->empty() || output->find('\0') != std::string::npos) return;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    auto target = output_target(*output);
    if (!target) return;
    struct stat before;
    const bool exists = ::stat(target->c_str(), &before) == 0;
    if (!exists && errno != ENOENT) return;
    if (exists && !S_ISREG(before.st_mode)) return;  // the write refuses it anyway
    if (!exists && missing != Missing::kLockDirectory) return;
    int fd = exists ? ::open(target->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                    : ::open(directory_of(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // replaced or removed between the two looks
      return;
    }
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || held_by_this_thread(opened)) {
      // Held by this thread already, for the whole of this one's life.
      ::close(fd);
      return;
    }
    auto taken = take_lock(fd, *target, wait, waited);
    if (!taken || !*taken) {
      if (!taken) failure_ = std::move(taken.error());
      ::close(fd);
      return;
    }
    // Is the lock still on what a write would replace?
    auto now_target = output_target(*output);
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
      note_held(opened);
      return;
    }
    ::close(fd);
  }
}

TargetLock::~TargetLock() {
  if (fd_ < 0) return;
  forget_held(fd_);
  ::close(fd_);
}

std::vector<DirectoryLock> DirectoryLock::lock_all(const std::vector<std::string>& directories) {
  struct Open {
    dev_t device;
    ino_t inode;
    int fd;
  };
  std::vector<Open> open;
  for (const std::string& directory : directories) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0) continue;
    if (::fstat(fd, &info) != 0) {
      ::close(fd);
      continue;
    }
    open.push_back({info.st_dev, info.st_ino, fd});
  }
  std::sort(open.begin(), open.end(), [](const Open& a, const Open& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
  });
  std::vector<DirectoryLock> locks;
  for (std::size_t i = 0; i < open.size(); ++i) {
    // The same directory under two names is locked once: a second flock of
    // it through another descriptor would wait for the first.
    if (i > 0 && open[i].device == open[i - 1].device && open[i].inode == open[i - 1].inode) {
      ::close(open[i].fd);
      continue;
    }
    if (lock_exclusive(open[i].fd)) {
      locks.push_back(DirectoryLock(open[i].fd));
    } else {
      ::close(open[i].fd);
    }
  }
  return locks;
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace vantrel_pdb
