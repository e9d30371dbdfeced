// PdbError: the one error value of the library. Every fallible operation
// returns std::expected<T, PdbError>; nothing in the library prints, exits or
// throws across its API.
#ifndef VANTREL_PDB_ERROR_H_
#define VANTREL_PDB_ERROR_H_

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

namespace pdb_error {
// An input/output failure, carried with its own message. The library raises
// it for an image that is cut short: a read that would leave the image.
struct Io {
  std::string message;
};
// The first byte of a string is even and neither 0x40 nor 0x90.
struct UnknownString {
  std::uint8_t kind;
  std::uint64_t offset;
};
struct NoTable {
  std::uint32_t kind;
};
struct UnknownField {
  std::string field;
};
struct TrackNotFound {
  std::uint32_t id;
};
struct PlaylistNotFound {
  std::uint32_t id;
};
struct RowTooLarge {
  std::uint64_t alloc;
  std::uint64_t max;
};
struct ValueOutOfRange {
  std::string field;
  std::uint64_t value;
  std::uint64_t size;
};
struct TooManySlots {};
struct StringTooLong {};
// The image breaks a structural rule, or a requested change breaks a rule of
// the database (a duplicate id, a missing parent, ...). The message is shown
// as it stands.
struct Invalid {
  std::string message;
};
// A file could not be read or written; the message names the file and
// carries the operating system's text.
struct File {
  std::string message;
};
}  // namespace pdb_error

class PdbError {
 public:
  // The alternatives, in their fixed order (index() gives 0 … 11).
  using Variant = std::variant<pdb_error::Io, pdb_error::UnknownString, pdb_error::NoTable, pdb_error::UnknownField,
                               pdb_error::TrackNotFound, pdb_error::PlaylistNotFound, pdb_error::RowTooLarge,
                               pdb_error::ValueOutOfRange, pdb_error::TooManySlots, pdb_error::StringTooLong,
                               pdb_error::Invalid, pdb_error::File>;

  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative> PdbError(Alternative value)
      : value_(std::move(value)) {}  // NOLINT: implicit by design

  const Variant& value() const { return value_; }

  // True when this error holds the alternative T.
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value_);
  }
  // Requires: is<T>().
  template <class T>
  const T& as() const {
    return std::get<T>(value_);
  }

  // The error's one-line message, without a trailing line feed.
  std::string message() const;

  friend bool operator==(const PdbError& a, const PdbError& b) { return a.message() == b.message(); }

 private:
  Variant value_;
};

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_ERROR_H_
