#include "format/blank_image.h"

#include "format/coding.h"
#include "format/format.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// Fills the table header page `p` of table kind `kind`.
void write_header_page(std::uint8_t* page, std::uint32_t p, std::uint32_t kind) {
  encode_fixed32(page + f::kPageIndexOffset, p);
  encode_fixed32(page + f::kPageKindOffset, kind);
  encode_fixed32(page + f::kNextPageOffset, p + 1);  // the table's empty_candidate
  encode_fixed32(page + f::kPageSequenceOffset, 1);
  page[f::kPageFlagsOffset] = f::kHeaderPageFlags;
  encode_fixed16(page + f::kEditRowCountOffset, f::kHeaderPageEditMarker);
  encode_fixed16(page + f::kEditFirstSlotOffset, f::kHeaderPageEditMarker);
  encode_fixed16(page + f::kHeaderPageReservedCountOffset, f::kHeaderPageReservedCount);
  encode_fixed32(page + f::kHeaderPageIndexAgainOffset, p);
  encode_fixed32(page + f::kFirstDataPageOffset, f::kNoDataPage);
  encode_fixed32(page + f::kHeaderPageReserved48Offset, f::kNoDataPage);
  encode_fixed16(page + f::kHeaderPageReserved58Offset, f::kHeaderPageEditMarker);
  for (std::uint64_t off = f::kHeaderPageFillStart; off < f::kHeaderPageFillEnd; off += 4) {
    encode_fixed32(page + off, f::kHeaderPageFillWord);
  }
}

}  // namespace

std::vector<std::uint8_t> make_blank_image() {
  constexpr std::uint64_t page_size = f::kPageSize;
  std::vector<std::uint8_t> image(page_size * kBlankPageCount, 0);
  std::uint8_t* header = image.data();
  encode_fixed32(header + f::kPageSizeOffset, static_cast<std::uint32_t>(page_size));
  encode_fixed32(header + f::kTableCountOffset, kBlankTableCount);
  encode_fixed32(header + f::kNextUnusedPageOffset, kBlankPageCount);
  encode_fixed32(header + f::kSequenceOffset, 1);
  for (std::uint32_t k = 0; k < kBlankTableCount; ++k) {
    std::uint8_t* entry = header + f::kDirectoryOffset + f::kTableEntrySize * k;
    std::uint32_t header_page = 2 * k + 1;
    encode_fixed32(entry + f::kEntryKindOffset, k);
    encode_fixed32(entry + f::kEntryEmptyCandidateOffset, header_page + 1);
    encode_fixed32(entry + f::kEntryFirstPageOffset, header_page);
    encode_fixed32(entry + f::kEntryLastPageOffset, header_page);
    write_header_page(image.data() + page_size * header_page, header_page, k);
  }
  return image;
}

}  // namespace vantrel_pdb
