#include "testing/blank_image.h"

#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/format.h"

namespace vantrel_pdb::testing {

namespace f = format;

namespace {
constexpr std::uint32_t kTables = 20;
constexpr std::uint32_t kPages = 2 * kTables + 1;
}  // namespace

std::vector<std::uint8_t> blank_image() {
  constexpr std::uint64_t ps = f::kToolPageSize;
  std::vector<std::uint8_t> image(kPages * ps, 0);
  std::uint8_t* h = image.data();
  encode_fixed32(h + f::kPageSizeOffset, f::kToolPageSize);
  encode_fixed32(h + f::kTableCountOffset, kTables);
  encode_fixed32(h + f::kNextUnusedPageOffset, kPages);
  encode_fixed32(h + f::kSequenceOffset, 1);
  for (std::uint32_t k = 0; k < kTables; ++k) {
    const std::uint32_t p = 2 * k + 1;
    std::uint8_t* e = h + f::kDirectoryOffset + f::kTableEntrySize * k;
    encode_fixed32(e + f::kEntryKindOffset, k);
    encode_fixed32(e + f::kEntryEmptyCandidateOffset, p + 1);
    encode_fixed32(e + f::kEntryFirstPageOffset, p);
    encode_fixed32(e + f::kEntryLastPageOffset, p);

    std::uint8_t* page = h + p * ps;
    encode_fixed32(page + f::kPageIndexOffset, p);
    encode_fixed32(page + f::kPageKindOffset, k);
    encode_fixed32(page + f::kNextPageOffset, p + 1);
    encode_fixed32(page + f::kPageSequenceOffset, 1);
    page[f::kPageFlagsOffset] = f::kHeaderPageFlags;
    encode_fixed16(page + f::kEditRowCountOffset, f::kHeaderPageEditMarker);
    encode_fixed16(page + f::kEditFirstSlotOffset, f::kHeaderPageEditMarker);
    encode_fixed16(page + f::kHeaderPageReservedCountOffset, f::kHeaderPageReservedCount);
    encode_fixed32(page + f::kHeaderPageIndexAgainOffset, p);
    encode_fixed32(page + f::kFirstDataPageOffset, f::kNoDataPage);
    encode_fixed32(page + f::kHeaderPageReserved48Offset, f::kNoDataPage);
    encode_fixed16(page + f::kHeaderPageReserved58Offset, f::kHeaderPageEditMarker);
    for (std::uint64_t o = f::kHeaderPageFillStart; o < f::kHeaderPageFillEnd; o += 4) {
      encode_fixed32(page + o, f::kHeaderPageFillWord);
    }
  }
  return image;
}

}  // namespace vantrel_pdb::testing
