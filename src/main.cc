// dovrel: one JSON request on standard input, one line out. On success the
// report goes to standard output and the exit status is 0; on failure the
// error's message goes to standard error, nothing to standard output, and
// the exit status is 1.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>

#include "actions.h"
#include "input_file.h"
#include "os_error.h"

namespace {

// Writes all of `text` to `fd`; returns errno on failure, 0 on success.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

// Prints the message and a line feed on standard error, any line break in
// it turned into a space so that it stays one line. Allocates nothing, so it
// serves after an allocation failure too.
void print_error(std::string_view message, std::string_view detail = {}) {
  char buffer[512];
  std::size_t used = 0;
  auto flush = [&] {
    write_all(STDERR_FILENO, std::string_view(buffer, used));
    used = 0;
  };
  for (std::string_view part : {message, detail}) {
    for (char c : part) {
      if (used == sizeof buffer) flush();
      buffer[used++] = (c == '\n' || c == '\r') ? ' ' : c;
    }
  }
  if (used == sizeof buffer) flush();
  buffer[used++] = '\n';
  flush();
}

int run() {
  auto input = dovrel::read_descriptor(STDIN_FILENO);
  if (!input) {
    print_error(input.error().message);
    return 1;
  }
  std::string_view text(reinterpret_cast<const char*>(input->data()), input->size());
  auto report = dovrel::run_request_text(text);
  if (!report) {
    print_error(report.error().message);
    return 1;
  }
  if (int error_number = write_all(STDOUT_FILENO, *report); error_number != 0) {
    print_error("cannot write the report: ", dovrel::os_error_message(error_number));
    return 1;
  }
  return 0;
}

}  // namespace

int main() {
  // A closed standard output must fail the write (EPIPE), not kill the run
  // before it can say so.
  std::signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit must fail the output write (EFBIG), so that
  // the temporary file is removed and the old output stays as it was.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return run();
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& e) {
    print_error("internal error: ", e.what());
  } catch (...) {
    print_error("internal error");
  }
  return 1;
}
