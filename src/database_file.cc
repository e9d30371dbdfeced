#include "database_file.h"

#include "input_file.h"
#include "validate.h"
#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/format.h"

namespace dovrel {

namespace f = vantrel_pdb::format;

Result<std::vector<std::uint8_t>> read_database_file(const std::string& path) {
  constexpr std::uint64_t kPageSize = f::kToolPageSize;
  return read_file_checked(path, kPageSize, [](std::span<const std::uint8_t> head, std::uint64_t size) -> Result<void> {
    // The first test of validate(), made before the file is in memory.
    if (size < kPageSize || size % kPageSize != 0 || head.size() < kPageSize ||
        vantrel_pdb::decode_fixed32(head.data() + f::kPageSizeOffset) != kPageSize) {
      return fail(kInvalidPageSize);
    }
    return {};
  });
}

}  // namespace dovrel
