// Test helper: runs the built dovrel binary as its driver would (request on
// standard input) and returns the exact standard output, standard error and
// exit status. Options set up the child between fork and exec, to inject
// failures the tool must survive: a file-size limit, or an unprivileged user
// when the tests run as root (for whom permission bits stop nothing).
#ifndef DOVREL_CLI_RUNNER_TEST_UTIL_H_
#define DOVREL_CLI_RUNNER_TEST_UTIL_H_

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace dovrel::cli_runner {

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
  // The child's largest resident set size, in KiB. It counts the pages the
  // child shared with this process between fork and exec, so it is at least
  // current_rss_kib() at the time of the run.
  long peak_rss_kib = 0;
};

// This process's resident set size now, in KiB (0 when it cannot be read).
inline long current_rss_kib() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct RunOptions {
  // RLIMIT_FSIZE for the child, with SIGXFSZ ignored so that a write past it
  // fails with EFBIG instead of killing the process; or, with
  // `default_file_size_signal`, left to kill it unless the tool ignores it.
  std::optional<rlim_t> file_size_limit;
  bool default_file_size_signal = false;
  // Runs the child as user and group "nobody" when the tests run as root.
  bool unprivileged = false;
  // Command-line arguments after the program name.
  std::vector<std::string> arguments;
  // Standard output goes to this file (such as /dev/full) instead of being
  // collected; or, with `stdout_reader_gone`, to a pipe whose reading end
  // is closed. Either way Outcome::out stays empty.
  std::optional<std::string> stdout_path;
  bool stdout_reader_gone = false;
  // Standard input comes from this file (such as a terminal) instead of
  // the request pipe, which then goes unused.
  std::optional<std::string> stdin_path;
  // Standard error goes to this file (such as a terminal's) instead of
  // being collected; Outcome::err then stays empty.
  std::optional<std::string> stderr_path;
};

inline constexpr uid_t kNobody = 65534;

namespace internal {

// Reports a failed child set-up on the child's standard error; only
// async-signal-safe calls, as the child of a fork must.
[[noreturn]] inline void child_fail(const char* what) {
  (void)!::write(STDERR_FILENO, what, std::strlen(what));
  ::_exit(127);
}

// When DOVREL_REPORT_DIR names a directory, every report a successful run
// prints is saved there, so that the published report schema can be checked
// against all the reports the tests produce.
inline void save_report(const Outcome& run) {
  const char* dir = std::getenv("DOVREL_REPORT_DIR");
  // --help and --version also succeed; only JSON reports are kept.
  if (dir == nullptr || run.status != 0 || !run.out.starts_with("{")) return;
  static int count = 0;
  std::string path =
      std::string(dir) + "/report-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + ".json";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!::write(fd, run.out.data(), run.out.size());
  ::close(fd);
}

}  // namespace internal

// Forks and execs DOVREL_BINARY with `input` on its standard input and
// collects both output streams until it exits. Writing and reading are
// interleaved with poll so that neither side can block the other on a full
// pipe.
inline Outcome run_dovrel(const std::string& input, const RunOptions& options = {}) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << errno;
    return {};
  }
  // Partial writes instead of a blocked writer; a tool that stops reading
  // early gives EPIPE here instead of killing the test.
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::signal(SIGPIPE, SIG_IGN);
  char binary[] = DOVREL_BINARY;
  std::vector<std::string> args = options.arguments;
  std::vector<char*> argv = {binary};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const bool drop_root = options.unprivileged && ::geteuid() == 0;
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::dup2(in[0], STDIN_FILENO) < 0 || ::dup2(out[1], STDOUT_FILENO) < 0 || ::dup2(err[1], STDERR_FILENO) < 0) {
      internal::child_fail("dup2 failed\n");
    }
    if (options.stdout_path) {
      int fd = ::open(options.stdout_path->c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) internal::child_fail("cannot open the standard output\n");
    }
    if (options.stdin_path) {
      int fd = ::open(options.stdin_path->c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0 || ::dup2(fd, STDIN_FILENO) < 0) internal::child_fail("cannot open the standard input\n");
    }
    if (options.stderr_path) {
      int fd = ::open(options.stderr_path->c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) internal::child_fail("cannot open the standard error\n");
    }
    if (options.stdout_reader_gone) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) internal::child_fail("pipe failed\n");
      ::close(ends[0]);
    }
    if (options.file_size_limit) {
      rlimit limit{*options.file_size_limit, *options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) internal::child_fail("setrlimit failed\n");
      ::signal(SIGXFSZ, options.default_file_size_signal ? SIG_DFL : SIG_IGN);
    }
    if (drop_root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      internal::child_fail("cannot drop privileges\n");
    }
    ::execve(binary, argv.data(), environ);
    internal::child_fail("execve failed\n");
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  Outcome run;
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << errno;
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return run;
  }
  std::size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  std::string* sinks[] = {&run.out, &run.err};
  int sources[] = {out[0], err[0]};
  int open_sources = 2;
  while (open_sources > 0 || in[1] >= 0) {
    pollfd fds[3] = {{sources[0], POLLIN, 0}, {sources[1], POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(sources[i]);
        sources[i] = -1;
        --open_sources;
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = ::write(in[1], input.data() + written, input.size() - written);
      // The tool may stop reading early; a broken pipe just ends the input.
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put < 0 && errno != EINTR && errno != EAGAIN) written = input.size();
      if (written == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  int wait_status = 0;
  rusage usage{};
  while (::wait4(pid, &wait_status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  run.peak_rss_kib = usage.ru_maxrss;
  internal::save_report(run);
  return run;
}

// A failure prints exactly one line on standard error and nothing else.
inline void expect_failure(const Outcome& run, const std::string& message) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, message + "\n");
}

}  // namespace dovrel::cli_runner

#endif  // DOVREL_CLI_RUNNER_TEST_UTIL_H_
