// Views of bytes: how the library takes a page image or a row it only reads,
// and a part of an image it may change.
#ifndef VANTREL_PDB_BYTES_H_
#define VANTREL_PDB_BYTES_H_

#include <cstdint>
#include <span>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_BYTES_H_
