#include "vantrel_pdb/error.h"

#include <cstdio>
#include <string>

namespace vantrel_pdb {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string hex(std::uint64_t v, int min_digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llx", min_digits, static_cast<unsigned long long>(v));
  return buf;
}

// Quotes a field name: backslash before '"' and '\', control characters as escapes.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u{%x}", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string PdbError::message() const {
  using namespace pdb_error;
  return std::visit(
      Overloaded{
          [](const Io& e) { return "io error: " + e.message; },
          [](const UnknownString& e) {
            return "unknown PDB string kind " + hex(e.kind, 2) + " at offset " + hex(e.offset, 1);
          },
          [](const NoTable& e) { return "no table of type " + std::to_string(e.kind); },
          [](const UnknownField& e) { return "unknown or non-fixed track field " + quoted(e.field); },
          [](const TrackNotFound& e) { return "no track with id " + std::to_string(e.id); },
          [](const PlaylistNotFound& e) { return "no playlist with id " + std::to_string(e.id); },
          [](const RowTooLarge& e) {
            return "row allocation " + std::to_string(e.alloc) + " exceeds page capacity " + std::to_string(e.max);
          },
          [](const ValueOutOfRange& e) {
            return e.field + "=" + std::to_string(e.value) + " does not fit in " + std::to_string(e.size) + " byte(s)";
          },
          [](const TooManySlots&) { return std::string("slot count encoding caps at 511 per page"); },
          [](const StringTooLong&) { return std::string("string too long for PDB encoding"); },
          [](const Invalid& e) { return e.message; },
          [](const File& e) { return e.message; },
          [](const Damaged& e) { return "io error: " + e.detail; },
          [](const Refused& e) { return e.message; },
          [](const UnreadableChange& e) {
            return "Changed image would not read back (rows of the input overlap what the change rewrites): " +
                   e.reason;
          },
          [](const Misuse& e) { return "invalid call: " + e.message; },
          [](const Internal& e) { return "internal error: " + e.message; },
      },
      value_);
}

}  // namespace vantrel_pdb
