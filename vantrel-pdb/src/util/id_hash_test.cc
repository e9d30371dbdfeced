#include "vantrel_pdb/id_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "util/id_map.h"

namespace vantrel_pdb {
namespace {

constexpr std::uint32_t kIds = 40000;

// The bucket count an identity-hashed table of `count` ids ends with: ids
// that are all its multiples meet in one bucket of such a table.
std::uint32_t final_bucket_count(std::uint32_t count = kIds) {
  std::unordered_map<std::uint32_t, int> table;
  for (std::uint32_t i = 0; i < count; ++i) table.emplace(i, 0);
  return static_cast<std::uint32_t>(table.bucket_count());
}

struct Adversary {
  std::string name;
  std::uint32_t stride;  // the ids are 0, stride, 2 * stride, ...
};

std::vector<std::uint32_t> ids_of(const Adversary& adversary, std::uint32_t count = kIds) {
  std::vector<std::uint32_t> ids(count);
  for (std::uint32_t i = 0; i < count; ++i) ids[i] = i * adversary.stride;
  return ids;
}

// The probes that finding every key of `table` once takes: a bucket of k
// keys costs 1 + 2 + ... + k.
template <class Table>
double probes_per_lookup(const Table& table) {
  std::uint64_t probes = 0;
  for (std::size_t b = 0; b < table.bucket_count(); ++b) {
    const std::uint64_t k = table.bucket_size(b);
    probes += k * (k + 1) / 2;
  }
  return static_cast<double>(probes) / static_cast<double>(table.size());
}

template <class Table>
std::size_t largest_bucket(const Table& table) {
  std::size_t largest = 0;
  for (std::size_t b = 0; b < table.bucket_count(); ++b) largest = std::max(largest, table.bucket_size(b));
  return largest;
}

class CraftedIds : public ::testing::TestWithParam<Adversary> {};

// Ids that are multiples of a power of two or of the table's own size
// cost about one probe per lookup, as random ids do (about 1.5 at the
// table's load), and no bucket holds more than a handful.
TEST_P(CraftedIds, CostAboutOneProbe) {
  IdHashMap<std::uint32_t> seeded;
  for (std::uint32_t id : ids_of(GetParam())) seeded.emplace(id, id);
  ASSERT_EQ(seeded.size(), kIds);
  EXPECT_LT(probes_per_lookup(seeded), 2.0);
  EXPECT_LE(largest_bucket(seeded), 16u);
}

// The same ids under the standard library's identity hash: the shape the
// seeded hash guards against, so that the ids above are the hard ones
// (fewer of them: each insert walks all the others).
TEST(CraftedIds, PileUpUnderTheIdentityHash) {
  constexpr std::uint32_t kFew = 4000;
  std::unordered_map<std::uint32_t, std::uint32_t> identity;
  for (std::uint32_t id : ids_of({"table", final_bucket_count(kFew)}, kFew)) identity.emplace(id, id);
  EXPECT_GT(probes_per_lookup(identity), kFew / 4.0);
}

INSTANTIATE_TEST_SUITE_P(Strides, CraftedIds,
                         ::testing::Values(Adversary{"one", 1}, Adversary{"pow2_10", 1u << 10},
                                           Adversary{"pow2_16", 1u << 16}, Adversary{"table", final_bucket_count()},
                                           Adversary{"table_times_pow2", final_bucket_count() * 2}),
                         [](const ::testing::TestParamInfo<Adversary>& p) { return p.param.name; });

// Hashes made at different places in one process agree; the seed is the
// process's, so a map filled by one part of a program finds its ids in another.
TEST(IdHash, OneSeedPerProcess) {
  EXPECT_EQ(id_hash_seed(), id_hash_seed());
  EXPECT_EQ(IdHash{}(12345), IdHash{}(12345));
  EXPECT_NE(IdHash{}(1), IdHash{}(2));
  // Another seed, another spread of the same ids.
  EXPECT_NE(IdHash{}(7), (IdHash{id_hash_seed() ^ 1})(7));
}

// The maps that hold ids past an IdMap's table hash them with the seed.
static_assert(std::is_same_v<IdMap<std::uint32_t>::Overflow::hasher, IdHash>);
static_assert(std::is_same_v<IdSet::Overflow::hasher, IdHash>);
static_assert(std::is_same_v<TempoMap::hasher, IdHash>);

}  // namespace
}  // namespace vantrel_pdb
