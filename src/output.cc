#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace dovrel {

Result<void> write_output(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (path.find('\0') != std::string::npos) return fail("file path contains a NUL byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_error_message(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      int error_number = errno;
      ::close(fd);
      return fail(os_error_message(error_number));
    }
    done += static_cast<std::size_t>(put);
  }
  // A delayed write error (full disk, network file system) shows up here.
  if (::close(fd) != 0) return fail(os_error_message(errno));
  return {};
}

}  // namespace dovrel
