#include "files/temp_file_cleanup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "vantrel_pdb/files.h"

namespace vantrel_pdb {

namespace {

constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kMaxName = 63;

// Written only with the signals blocked, read only by the handler; so a
// handler never sees a half-written name.
int g_directory_fd = -1;
char g_name[kMaxName + 1] = {};
volatile std::sig_atomic_t g_registered = 0;

sigset_t cleanup_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCleanupSignals) sigaddset(&set, sig);
  return set;
}

// Only async-signal-safe calls: unlinkat, signal, sigprocmask, raise.
extern "C" void remove_temp_file_and_die(int sig) {
  const int saved_errno = errno;
  if (g_registered) (void)unlinkat(g_directory_fd, g_name, 0);
  g_registered = 0;
  // Dies of the signal itself, so that the parent sees what stopped the run.
  std::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
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
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void register_temp_file(int directory_fd, std::string_view name) {
  const std::size_t n = std::min(name.size(), kMaxName);
  std::copy_n(name.data(), n, g_name);
  g_name[n] = '\0';
  g_directory_fd = directory_fd;
  g_registered = 1;
}

void forget_temp_file() { g_registered = 0; }

}  // namespace vantrel_pdb
