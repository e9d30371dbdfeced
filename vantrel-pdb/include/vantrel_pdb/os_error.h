// The operating system's text for an errno value, as file and stream errors
// show it to the user: "No such file or directory (os error 2)".
#ifndef VANTREL_PDB_OS_ERROR_H_
#define VANTREL_PDB_OS_ERROR_H_

#include <string>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

// Returns strerror's text for `error_number` followed by " (os error N)".
std::string os_error_message(int error_number);

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_OS_ERROR_H_
