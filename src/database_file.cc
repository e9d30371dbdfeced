#include "database_file.h"

#include "input_file.h"
#include "vantrel_pdb/validate.h"

namespace dovrel {

Result<std::vector<std::uint8_t>> read_database_file(const std::string& path) {
  return read_file_checked(path, vantrel_pdb::kFileStartSize,
                           [](std::span<const std::uint8_t> head, std::uint64_t size) -> Result<void> {
                             if (auto ok = vantrel_pdb::validate_file_start(head, size); !ok) {
                               return std::unexpected(Error(ok.error()));
                             }
                             return {};
                           });
}

}  // namespace dovrel
