// validate: the structure check of a whole image. An image that a program
// did not make itself should pass it before anything decodes it: the reader
// is bounds-checked everywhere, but only this check rejects an image whose
// page chains are unsound as a whole.
#ifndef VANTREL_PDB_FORMAT_VALIDATE_H_
#define VANTREL_PDB_FORMAT_VALIDATE_H_

#include <cstdint>
#include <expected>

#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

inline constexpr char kInvalidPageSize[] = "Invalid PDB page size/length";
inline constexpr char kInvalidTableCount[] = "Invalid PDB table count";
inline constexpr char kInvalidPageChain[] = "Invalid PDB page chain";
inline constexpr char kPageIdentityMismatch[] = "PDB page identity mismatch";

// The largest table directory the check accepts.
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
// Tables are checked in directory order; the first failure is the result,
// as pdb_error::Invalid with one of the four messages above.
// Tables may share pages. Runs in time linear in the pages walked.
std::expected<void, PdbError> validate(Bytes image);

// validate's first test for a file whose rest is not read yet,
// validate_file_start, is declared with the files that use it (files.h).

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_VALIDATE_H_
