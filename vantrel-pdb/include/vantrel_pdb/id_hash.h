// IdHash: the hash of every hash map and set keyed by ids, in the library and
// in the programs that hand it ids (a patch's tempos). Ids come from requests
// and files that anyone can craft: with the identity hash that the standard
// library gives integers, ids that are all multiples of a table's bucket
// count land in one bucket, and every insert and lookup walks them all (a
// build of 40,000 such ids took 20 times as long). IdHash mixes the id with
// a seed drawn once per process, so that no one who does not know the seed
// can choose ids that collide more than random ones.
#ifndef VANTREL_PDB_ID_HASH_H_
#define VANTREL_PDB_ID_HASH_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "vantrel_pdb/api.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

// The seed of this process: drawn from the system's random source the
// first time it is asked for (from the clock and an address where that
// source fails), the same for every later call from any thread.
std::uint64_t id_hash_seed() noexcept;

// A hash of u32 ids whose every bit depends on every bit of the id and of
// the seed. The seed is kept in the hash object, so that a map filled in
// one part of a program and searched in another (or in a shared library)
// always hashes alike.
struct IdHash {
  std::uint64_t seed = id_hash_seed();

  std::size_t operator()(std::uint32_t id) const noexcept {
    // The finaliser of MurmurHash3: a bijection of 64 bits that spreads
    // each input bit over the whole word.
    std::uint64_t x = seed ^ (std::uint64_t{id} * 0x9E3779B97F4A7C15ull);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
  }
};

template <class Value>
using IdHashMap = std::unordered_map<std::uint32_t, Value, IdHash>;
using IdHashSet = std::unordered_set<std::uint32_t, IdHash>;

// A patch's new tempos: track id -> tempo in hundredths of a beat per minute.
using TempoMap = IdHashMap<std::uint32_t>;

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_ID_HASH_H_
