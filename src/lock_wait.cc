#include "lock_wait.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace dovrel {

namespace {

void print_notice(const std::string& notice) {
  std::string line = "dovrel: " + notice + "\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t put = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // a notice that cannot be shown is no failure
    rest.remove_prefix(static_cast<std::size_t>(put));
  }
}

// Seconds, as strtod reads them, whole: 0 or more and finite.
std::optional<double> seconds_of(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0) return std::nullopt;
  return seconds;
}

Result<vantrel_pdb::LockWait> read_lock_wait() {
  vantrel_pdb::LockWait wait;
  wait.on_wait = print_notice;
  if (const char* timeout = std::getenv(kLockTimeoutVariable)) {
    const auto seconds = seconds_of(timeout);
    if (!seconds) {
      return fail(std::string(kLockTimeoutVariable) + ": expected a number of seconds, got \"" + timeout + "\"");
    }
    wait.limit = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(*seconds));
  }
  return wait;
}

}  // namespace

Result<vantrel_pdb::LockWait> lock_wait() {
  static const Result<vantrel_pdb::LockWait> wait = read_lock_wait();
  return wait;
}

}  // namespace dovrel
