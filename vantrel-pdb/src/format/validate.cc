#include "format/validate.h"

#include <vector>

#include "format/coding.h"
#include "format/directory.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_chain.h"

namespace vantrel_pdb {

namespace f = format;

namespace {
std::unexpected<PdbError> fail(const char* message) { return std::unexpected(errors::invalid(message)); }
}  // namespace

std::expected<void, PdbError> validate(Bytes image) {
  constexpr std::uint64_t kPageSize = f::kPageSize;
  const std::uint64_t length = image.size();
  if (length < kPageSize || length % kPageSize != 0) return fail(kInvalidPageSize);
  // A whole page holds the file header, so neither read below can fail.
  auto header = f::FileHeader::read(image);
  if (!header || header->page_size != kPageSize) return fail(kInvalidPageSize);
  if (header->table_count > kMaxTableCount) return fail(kInvalidTableCount);
  // 200 entries end at byte 3228, inside page 0.
  static_assert(f::entry_offset(kMaxTableCount) <= kPageSize);
  auto directory = f::Directory::read(image);
  if (!directory) return fail(kInvalidTableCount);

  // visited[p] holds the number (1-based) of the last table whose chain
  // reached page p: one byte per page serves every table without clearing.
  static_assert(kMaxTableCount <= 255);
  std::vector<std::uint8_t> visited(length / kPageSize, 0);

  for (std::uint32_t i = 0; i < directory->size(); ++i) {
    const TableEntry entry = directory->entry(i);
    const auto mark = static_cast<std::uint8_t>(i + 1);
    // The walk itself stops where the chain leaves the image; the rules of
    // this check add that it never passes page 0 nor revisits a page. With
    // those, the chain ends or breaks before the walk's step limit.
    f::PageChain chain(image, kPageSize, entry);
    while (chain.next()) {
      const std::uint32_t p = chain.index();
      if (p == 0 || visited[p] == mark) return fail(kInvalidPageChain);
      visited[p] = mark;
      const std::uint8_t* page = chain.page().data();
      if (decode_fixed32(page + f::kPageIndexOffset) != p || decode_fixed32(page + f::kPageKindOffset) != entry.kind) {
        return fail(kPageIdentityMismatch);
      }
    }
    if (!chain.status()) return fail(kInvalidPageChain);
  }
  return {};
}

}  // namespace vantrel_pdb
