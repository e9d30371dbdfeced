// The front end's one error value: a message line, whatever the failure's
// source (request, file system, library, action). main prints it and exits 1.
#ifndef DOVREL_ERROR_H_
#define DOVREL_ERROR_H_

#include <expected>
#include <string>
#include <utility>

#include "vantrel_pdb/error.h"

namespace dovrel {

struct Error {
  std::string message;

  explicit Error(std::string m) : message(std::move(m)) {}
  // A library failure keeps the library's message.
  Error(const vantrel_pdb::PdbError& e) : message(e.message()) {}  // NOLINT: implicit by design
};

template <class T>
using Result = std::expected<T, Error>;

// Returns the failure of a library result as a front-end error.
inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }

}  // namespace dovrel

#endif  // DOVREL_ERROR_H_
