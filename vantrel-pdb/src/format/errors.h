// The one way to make each kind of PdbError inside the library, so that
// every unit raises a failure of one kind alike.
#ifndef VANTREL_PDB_FORMAT_ERRORS_H_
#define VANTREL_PDB_FORMAT_ERRORS_H_

#include <string>
#include <utility>

#include "vantrel_pdb/error.h"

namespace vantrel_pdb::errors {

// The image is damaged where a read or an append meets it (Damaged).
inline PdbError damaged(std::string detail) { return PdbError(pdb_error::Damaged{std::move(detail)}); }
// The image breaks a rule of the format's structure (Invalid).
inline PdbError invalid(std::string message) { return PdbError(pdb_error::Invalid{std::move(message)}); }
// A requested change breaks a rule of the database (Refused).
inline PdbError refused(std::string message) { return PdbError(pdb_error::Refused{std::move(message)}); }
// The caller broke a requirement of the call (Misuse).
inline PdbError misuse(std::string message) { return PdbError(pdb_error::Misuse{std::move(message)}); }
// A fault inside the library (Internal).
inline PdbError internal(std::string message) { return PdbError(pdb_error::Internal{std::move(message)}); }

}  // namespace vantrel_pdb::errors

#endif  // VANTREL_PDB_FORMAT_ERRORS_H_
