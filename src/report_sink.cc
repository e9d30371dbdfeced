#include "report_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "vantrel_pdb/files.h"

namespace dovrel {

Result<void> check_report_sink() {
  auto refused = [](int error_number) {
    return fail(std::string(kCannotWriteReport) + vantrel_pdb::os_error_message(error_number));
  };
  const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
  if (flags < 0) return refused(errno);
  // A write to a descriptor open only for reading fails with EBADF.
  if ((flags & O_ACCMODE) == O_RDONLY) return refused(EBADF);
  // A pipe or socket whose reader has gone shows POLLERR at once.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&out, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0 && (out.revents & POLLNVAL)) return refused(EBADF);
  if (ready > 0 && (out.revents & POLLERR)) return refused(EPIPE);
  return {};
}

}  // namespace dovrel
