// Test helper: a small deterministic pseudo-random generator (xorshift64),
// so that randomized tests draw the same cases with every standard library.
#ifndef VANTREL_PDB_TESTING_XORSHIFT_H_
#define VANTREL_PDB_TESTING_XORSHIFT_H_

#include <cstdint>

namespace vantrel_pdb::testing {

class XorShift64 {
 public:
  // Requires: seed != 0 (zero is the generator's fixed point).
  explicit XorShift64(std::uint64_t seed = 0x9E3779B97F4A7C15u) : state_(seed) {}

  // The next value of the sequence.
  std::uint64_t operator()() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  std::uint64_t state_;
};

}  // namespace vantrel_pdb::testing

#endif  // VANTREL_PDB_TESTING_XORSHIFT_H_
