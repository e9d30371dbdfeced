// Test helper: the 41-page blank image that a build starts from, made byte
// by byte so that editor tests begin from exactly the file the tool writes.
#ifndef VANTREL_PDB_TESTING_BLANK_IMAGE_H_
#define VANTREL_PDB_TESTING_BLANK_IMAGE_H_

#include <cstdint>
#include <vector>

namespace vantrel_pdb::testing {

// 41 pages of 4096 bytes: 20 tables of kinds 0 to 19, table k owning only its
// header page 2k + 1 with page 2k + 2 (all zero) as its empty_candidate;
// next_unused_page 41, sequence 1.
std::vector<std::uint8_t> blank_image();

}  // namespace vantrel_pdb::testing

#endif  // VANTREL_PDB_TESTING_BLANK_IMAGE_H_
