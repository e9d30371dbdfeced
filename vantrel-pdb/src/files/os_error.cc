#include <cstring>

#include "vantrel_pdb/files.h"

namespace vantrel_pdb {

std::string os_error_message(int error_number) {
  // The GNU strerror_r returns its text instead of filling the buffer in
  // every case; both forms are handled by taking what it returns.
  char buffer[256];
  std::string text;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  text = strerror_r(error_number, buffer, sizeof buffer);
#else
  if (strerror_r(error_number, buffer, sizeof buffer) == 0) {
    text = buffer;
  } else {
    text = "Unknown error " + std::to_string(error_number);
  }
#endif
  return text + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace vantrel_pdb
