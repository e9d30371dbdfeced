#include "files/temp_file_cleanup.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "vantrel_pdb/files.h"

namespace vantrel_pdb {

namespace {

constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kMaxName = 63;

// One registered name. `state` is what a handler reads: a name is written
// only while its slot is claimed (kWriting) and read only once published
// (kRegistered), so that a handler never sees a half-written name.
enum SlotState : int { kFree = 0, kWriting = 1, kRegistered = 2 };
struct Slot {
  int directory_fd = -1;
  char name[kMaxName + 1] = {};
  std::atomic<int> state{kFree};
};
Slot g_slots[kMaxTempFiles];
// Threads inside a CleanupSignalsBlocked section: their names may be in
// the making, so a handler waits for them.
std::atomic<int> g_busy{0};
// Bounds the handler's wait: a section makes a few system calls, far less
// than this many rounds of a pause.
constexpr long kBusyWaitRounds = 1L << 28;

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads these");

sigset_t cleanup_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCleanupSignals) sigaddset(&set, sig);
  return set;
}

// Only async-signal-safe calls: unlinkat, signal, sigprocmask, raise, and
// lock-free atomics. The signals are blocked in this thread here (the
// handler's mask), and another thread holding a section ends it soon.
extern "C" void remove_temp_file_and_die(int sig) {
  const int saved_errno = errno;
  for (long round = 0; g_busy.load() > 0 && round < kBusyWaitRounds; ++round) {
  }
  for (Slot& slot : g_slots) {
    if (slot.state.load() == kRegistered) (void)unlinkat(slot.directory_fd, slot.name, 0);
    slot.state.store(kFree);
  }
  // Dies of the signal itself, so that the parent sees what stopped the run.
  std::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  errno = saved_errno;
}

}  // namespace

void install_temp_file_cleanup() {
  for (int sig : kCleanupSignals) {
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temp_file_and_die;
    action.sa_mask = cleanup_signal_set();
    sigaction(sig, &action, nullptr);
  }
}

CleanupSignalsBlocked::CleanupSignalsBlocked() {
  sigset_t set = cleanup_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
  g_busy.fetch_add(1);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() {
  g_busy.fetch_sub(1);
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int register_temp_file(int directory_fd, std::string_view name) {
  for (int i = 0; i < kMaxTempFiles; ++i) {
    Slot& slot = g_slots[i];
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kWriting)) continue;
    const std::size_t n = std::min(name.size(), kMaxName);
    std::copy_n(name.data(), n, slot.name);
    slot.name[n] = '\0';
    slot.directory_fd = directory_fd;
    slot.state.store(kRegistered);
    return i;
  }
  return -1;
}

void forget_temp_file(int slot) {
  if (slot >= 0 && slot < kMaxTempFiles) g_slots[slot].state.store(kFree);
}

}  // namespace vantrel_pdb
