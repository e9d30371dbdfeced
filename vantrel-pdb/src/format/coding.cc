#include "format/coding.h"

#include <cstdio>
#include <string>

#include "format/errors.h"

namespace vantrel_pdb {

std::expected<void, PdbError> require_bytes(Bytes image, std::uint64_t pos, std::uint64_t len) {
  if (in_bounds(image, pos, len)) return {};
  char buf[160];
  std::snprintf(buf, sizeof buf, "%llu byte(s) at offset 0x%llx lie past the end of the image (%zu bytes)",
                static_cast<unsigned long long>(len), static_cast<unsigned long long>(pos), image.size());
  return std::unexpected(errors::damaged(buf));
}

}  // namespace vantrel_pdb
