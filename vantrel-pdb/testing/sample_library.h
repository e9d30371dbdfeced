// Test helper: libraries made by the library's own builder (Library), with
// every kind of row the builder writes, deterministic by seed: tracks whose
// names mix ASCII with accented, CJK and emoji text, some with labels and
// artwork, spread over several pages per table; folders holding
// playlists; entries in order; a play history.
#ifndef VANTREL_PDB_TESTING_SAMPLE_LIBRARY_H_
#define VANTREL_PDB_TESTING_SAMPLE_LIBRARY_H_

#include <cstdint>
#include <vector>

#include "vantrel_pdb/library.h"

namespace vantrel_pdb::testing {

struct SampleShape {
  std::uint32_t tracks = 80;
  std::uint32_t playlists = 6;  // under two folders, each with entries
  std::uint32_t history = 2;    // history playlists, each with entries
  std::uint64_t seed = 1;
};

// The library, its edit committed.
Library sample_library(const SampleShape& shape = {});

// Its image.
std::vector<std::uint8_t> sample_image(const SampleShape& shape = {});

}  // namespace vantrel_pdb::testing

#endif  // VANTREL_PDB_TESTING_SAMPLE_LIBRARY_H_
