// A hint to the processor that bytes of an image will soon be read.
#ifndef VANTREL_PDB_UTIL_PREFETCH_H_
#define VANTREL_PDB_UTIL_PREFETCH_H_

#include <cstdint>

#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb {

inline constexpr std::uint64_t kCacheLine = 64;

// Starts loading the `size` bytes of `image` from `at`, as far as the image
// goes, into the cache; changes nothing. For a reader that goes through the
// rows of a large image and calls it some rows ahead of the one it reads:
// the rows are far from the cache, and the processor does not fetch ahead
// across the image's pages by itself.
inline void prefetch_bytes(Bytes image, std::uint64_t at, std::uint64_t size) {
  for (std::uint64_t offset = 0; offset < size && at + offset < image.size(); offset += kCacheLine) {
    __builtin_prefetch(image.data() + at + offset);
  }
}

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_UTIL_PREFETCH_H_
