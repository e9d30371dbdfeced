// SHA-256 of a byte string: artwork files are named after their content, so
// that one image embedded in many tracks is written once and a second scan
// finds the file it wrote before.
#ifndef DOVREL_SCAN_SHA256_H_
#define DOVREL_SCAN_SHA256_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace dovrel::scan {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::span<const std::uint8_t> bytes);

// The first `digits` hexadecimal digits (lower case) of `digest`; at most 64.
std::string hex_prefix(const Sha256Digest& digest, std::size_t digits);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_SHA256_H_
