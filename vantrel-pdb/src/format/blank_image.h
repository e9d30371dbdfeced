// The blank database that every new database starts from: 41 pages of 4096 bytes,
// 20 tables of kinds 0 to 19, table k owning only its table header page
// 2k + 1 and taking page 2k + 2 when it first needs a data page.
#ifndef VANTREL_PDB_FORMAT_BLANK_IMAGE_H_
#define VANTREL_PDB_FORMAT_BLANK_IMAGE_H_

#include <cstdint>
#include <vector>

namespace vantrel_pdb {

inline constexpr std::uint32_t kBlankPageCount = 41;
inline constexpr std::uint32_t kBlankTableCount = 20;

// Returns the blank image, byte for byte (167,936 bytes, sequence 1).
std::vector<std::uint8_t> make_blank_image();

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_BLANK_IMAGE_H_
