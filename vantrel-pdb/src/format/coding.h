// Fixed-width little-endian integers, the only way this library turns bytes
// into numbers and back.
//
// The raw forms (decode_fixed*, encode_fixed*) require the caller to have
// checked that the bytes exist. The checked forms (load_u*) take the whole
// image and an absolute position and fail instead of reading past its end.
#ifndef VANTREL_PDB_FORMAT_CODING_H_
#define VANTREL_PDB_FORMAT_CODING_H_

#include <cstddef>
#include <cstdint>
#include <expected>

#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Requires: p points at 2 readable bytes.
inline std::uint16_t decode_fixed16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Requires: p points at 3 readable bytes. Returns the 24-bit value.
inline std::uint32_t decode_fixed24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16);
}

// Requires: p points at 4 readable bytes.
inline std::uint32_t decode_fixed32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Requires: p points at 2 writable bytes.
inline void encode_fixed16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

// Requires: p points at 3 writable bytes; only the low 24 bits of v are kept.
inline void encode_fixed24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}

// Requires: p points at 4 writable bytes.
inline void encode_fixed32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// True when the len bytes starting at pos lie inside bytes. Safe against
// overflow for any pos and len.
inline bool in_bounds(Bytes bytes, std::uint64_t pos, std::uint64_t len) {
  return pos <= bytes.size() && len <= bytes.size() - pos;
}

// Returns Ok when len bytes at pos lie inside image, else the error that the
// reader reports for a row or field that runs past the end of the image.
std::expected<void, PdbError> require_bytes(Bytes image, std::uint64_t pos, std::uint64_t len);

// Checked reads at an absolute position of the image.
inline std::expected<std::uint16_t, PdbError> load_u16(Bytes image, std::uint64_t pos) {
  if (auto ok = require_bytes(image, pos, 2); !ok) return std::unexpected(ok.error());
  return decode_fixed16(image.data() + pos);
}
inline std::expected<std::uint32_t, PdbError> load_u32(Bytes image, std::uint64_t pos) {
  if (auto ok = require_bytes(image, pos, 4); !ok) return std::unexpected(ok.error());
  return decode_fixed32(image.data() + pos);
}

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_CODING_H_
