#include "vantrel_pdb/validate.h"

#include <vector>

#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/format.h"

namespace vantrel_pdb {

namespace f = format;

namespace {
std::unexpected<PdbError> fail(const char* message) { return std::unexpected(PdbError(pdb_error::Invalid{message})); }
}  // namespace

std::expected<void, PdbError> validate_file_start(Bytes start, std::uint64_t file_size) {
  constexpr std::uint64_t kPageSize = f::kToolPageSize;
  static_assert(kFileStartSize == kPageSize);
  if (file_size < kPageSize || file_size % kPageSize != 0 || start.size() < kPageSize ||
      decode_fixed32(start.data() + f::kPageSizeOffset) != kPageSize) {
    return fail(kInvalidPageSize);
  }
  return {};
}

std::expected<void, PdbError> validate(Bytes image) {
  constexpr std::uint64_t kPageSize = f::kToolPageSize;
  const std::uint64_t length = image.size();
  if (length < kPageSize || length % kPageSize != 0 ||
      decode_fixed32(image.data() + f::kPageSizeOffset) != kPageSize) {
    return fail(kInvalidPageSize);
  }
  const std::uint32_t table_count = decode_fixed32(image.data() + f::kTableCountOffset);
  if (table_count > kMaxTableCount) return fail(kInvalidTableCount);
  // 200 entries end at byte 3228, inside page 0, so the directory is always
  // readable once the length check has passed.
  static_assert(f::kDirectoryOffset + f::kTableEntrySize * kMaxTableCount <= kPageSize);

  // visited[p] holds the number (1-based) of the last table whose chain
  // reached page p: one byte per page serves every table without clearing.
  static_assert(kMaxTableCount <= 255);
  const std::uint64_t page_count = length / kPageSize;
  std::vector<std::uint8_t> visited(page_count, 0);

  for (std::uint32_t i = 0; i < table_count; ++i) {
    const std::uint8_t* entry = image.data() + f::kDirectoryOffset + f::kTableEntrySize * i;
    const std::uint32_t kind = decode_fixed32(entry + f::kEntryKindOffset);
    const std::uint32_t last_page = decode_fixed32(entry + f::kEntryLastPageOffset);
    const auto mark = static_cast<std::uint8_t>(i + 1);
    std::uint32_t p = decode_fixed32(entry + f::kEntryFirstPageOffset);
    for (;;) {
      if (p == 0 || p >= page_count || visited[p] == mark) return fail(kInvalidPageChain);
      visited[p] = mark;
      const std::uint8_t* page = image.data() + std::uint64_t{p} * kPageSize;
      if (decode_fixed32(page + f::kPageIndexOffset) != p || decode_fixed32(page + f::kPageKindOffset) != kind) {
        return fail(kPageIdentityMismatch);
      }
      if (p == last_page) break;
      p = decode_fixed32(page + f::kNextPageOffset);
    }
  }
  return {};
}

}  // namespace vantrel_pdb
