// validate: the structure check that every image the tool did not just
// make passes before anything decodes it.
#ifndef DOVREL_VALIDATE_H_
#define DOVREL_VALIDATE_H_

#include "error.h"
#include "vantrel_pdb/coding.h"

namespace dovrel {

inline constexpr char kInvalidPageSize[] = "Invalid PDB page size/length";
inline constexpr char kInvalidTableCount[] = "Invalid PDB table count";
inline constexpr char kInvalidPageChain[] = "Invalid PDB page chain";
inline constexpr char kPageIdentityMismatch[] = "PDB page identity mismatch";

// The largest table directory the tool accepts.
inline constexpr std::uint32_t kMaxTableCount = 200;

// Checks the file header, the table directory and every table's page chain:
// - the image is a non-zero whole number of 4096-byte pages and the header's
//   page_size is 4096, else kInvalidPageSize;
// - table_count is at most 200, else kInvalidTableCount;
// - each table's chain, from first_page until last_page, never reaches page
//   0, never revisits a page of the same table and never leaves the image,
//   else kInvalidPageChain;
// - each page of a chain carries its own index and its table's kind, else
//   kPageIdentityMismatch.
// Tables are checked in directory order; the first failure is the result.
// Tables may share pages. Runs in time linear in the pages walked.
Result<void> validate(vantrel_pdb::Bytes image);

}  // namespace dovrel

#endif  // DOVREL_VALIDATE_H_
