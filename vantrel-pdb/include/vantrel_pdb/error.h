// PdbError: the one error value of the library. Every fallible operation
// returns std::expected<T, PdbError>; nothing in the library prints, exits or
// throws across its API, but for std::bad_alloc when memory runs out (the
// caller that owns the process reports it: dovrel says "out of memory").
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

// The kinds of failure. Each means one thing; the first ten and their
// messages are fixed, and new kinds only ever join at the end.
namespace pdb_error {
// An input/output failure of the platform, carried with its own message.
// No operation of the library raises it: files fail with File.
struct Io {
  std::string message;
};
// A string's first byte is even and neither 0x40 nor 0x90; `offset` is the
// string's position in the image.
struct UnknownString {
  std::uint8_t kind;
  std::uint64_t offset;
};
// The image has no table of this kind.
struct NoTable {
  std::uint32_t kind;
};
// A name that is not a fixed field of a track row.
struct UnknownField {
  std::string field;
};
// No track of the database has this id.
struct TrackNotFound {
  std::uint32_t id;
};
// No playlist has this id, or the first node with it is a folder.
struct PlaylistNotFound {
  std::uint32_t id;
};
// A row's allocation exceeds what a page holds.
struct RowTooLarge {
  std::uint64_t alloc;
  std::uint64_t max;
};
// A number the format stores in `size` bytes would not fit them.
struct ValueOutOfRange {
  std::string field;
  std::uint64_t value;
  std::uint64_t size;
};
// A page would need its 512th row slot.
struct TooManySlots {};
// A text is too long for the format's strings.
struct StringTooLong {};
// The image breaks a rule of the format's structure (page size, table
// count, page chains, page identities, a row index that reaches into its
// page's header). The message is shown as it stands.
struct Invalid {
  std::string message;
};
// A file could not be read or written; the message carries the operating
// system's text (and, for a write, the path).
struct File {
  std::string message;
};
// The image is damaged where a read or an append meets it: a row, string or
// page chain that runs past the end of the image, a length that cannot be,
// a table layout that an append would break, or a decoding that would take
// memory out of all proportion to the image. Its message reads "io error: "
// and the detail, as such failures have always read.
struct Damaged {
  std::string detail;
};
// A requested change breaks a rule of the database (a taken id, a missing
// parent, a track that is not there, an audio extension or artwork that the
// format cannot hold); nothing of it is kept. The message is shown as it
// stands.
struct Refused {
  std::string message;
};
// An in-place change would leave an image that does not read back, because
// rows of the damaged image overlap the bytes it rewrites; it is undone.
// `reason` is the error of reading the changed image.
struct UnreadableChange {
  std::string reason;
};
// The caller broke a requirement of the call (a table kind or a text slot
// the call does not take, a row larger than its allocation).
struct Misuse {
  std::string message;
};
// A fault inside the library, which no input can cause.
struct Internal {
  std::string message;
};
}  // namespace pdb_error

class PdbError {
 public:
  // The alternatives, in their fixed order (index() gives 0 … 16).
  using Variant = std::variant<pdb_error::Io, pdb_error::UnknownString, pdb_error::NoTable, pdb_error::UnknownField,
                               pdb_error::TrackNotFound, pdb_error::PlaylistNotFound, pdb_error::RowTooLarge,
                               pdb_error::ValueOutOfRange, pdb_error::TooManySlots, pdb_error::StringTooLong,
                               pdb_error::Invalid, pdb_error::File, pdb_error::Damaged, pdb_error::Refused,
                               pdb_error::UnreadableChange, pdb_error::Misuse, pdb_error::Internal>;

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

  // The error's one-line message, without a trailing line feed: for the
  // first ten kinds their fixed texts; Invalid, File and Refused as they
  // stand; "io error: " + detail (Damaged); "Changed image would not read
  // back (rows of the input overlap what the change rewrites): " + reason
  // (UnreadableChange); "invalid call: " + message (Misuse); "internal
  // error: " + message (Internal).
  std::string message() const;

  friend bool operator==(const PdbError& a, const PdbError& b) { return a.message() == b.message(); }

 private:
  Variant value_;
};

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_ERROR_H_
