#include "vantrel_pdb/id_hash.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <random>

namespace vantrel_pdb {

namespace {

std::uint64_t fresh_seed() noexcept {
  // The clock and an address of this process: different from run to run
  // where the system gives no random numbers.
  static const int here = 0;
  std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                       (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)) << 16);
  try {
    std::random_device source;
    seed ^= (std::uint64_t{source()} << 32) | source();
  } catch (const std::exception&) {
    // No random source: the clock and the address alone.
  }
  return seed;
}

}  // namespace

std::uint64_t id_hash_seed() noexcept {
  static const std::uint64_t seed = fresh_seed();
  return seed;
}

}  // namespace vantrel_pdb
