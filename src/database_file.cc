#include "database_file.h"

#include <utility>

#include "vantrel_pdb/files.h"

namespace dovrel {

Result<std::vector<std::uint8_t>> read_database_file(const std::string& path) {
  auto bytes = vantrel_pdb::read_database_file(path);
  if (!bytes) return std::unexpected(Error(bytes.error()));
  return std::move(*bytes);
}

}  // namespace dovrel
