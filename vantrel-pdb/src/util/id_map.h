// IdMap: a map from u32 ids to values, and IdSet, the same without values:
// the one structure the library keeps ids in (names behind ids, the ids an
// edit has taken, the ids a patch keeps). The ids of a library run from small
// numbers upward with few gaps, so while they are dense the map is a table
// indexed by id, a presence bit and a value per id: one or two memory
// accesses per lookup, where a hash map of 100,000 ids costs a few cache
// misses. Ids past the table go to a hash map (seeded, IdHash: crafted
// sparse ids cannot pile into one bucket); either way it behaves as one map
// in which the first value stored for an id stays.
#ifndef VANTREL_PDB_UTIL_ID_MAP_H_
#define VANTREL_PDB_UTIL_ID_MAP_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "vantrel_pdb/id_hash.h"

namespace vantrel_pdb {

// The value of an IdSet's ids: none.
struct IdPresent {};

template <class Value>
class IdMap {
  static constexpr bool kSet = std::is_empty_v<Value>;

 public:
  // Where the ids past the table go.
  using Overflow = IdHashMap<Value>;

  // A map whose table grows with the ids as they arrive, as long as they
  // stay dense.
  IdMap() = default;

  // A map whose table holds the ids up to `table_bound` (none without one)
  // and does not grow; table_bound_for says when a bound is worth a table.
  explicit IdMap(std::optional<std::uint32_t> table_bound) : growing_(false) {
    if (table_bound) resize_table(std::uint64_t{*table_bound} + 1);
  }

  // The largest of `count` ids when a table up to it is worth keeping (at
  // most a few slots per id, plus some slack), else nullopt.
  static std::optional<std::uint32_t> table_bound_for(std::uint32_t largest, std::uint64_t count) {
    if (count == 0 || largest > kDenseSlack + kDenseFactor * count) return std::nullopt;
    return largest;
  }

  // Adds id -> value unless the id is present; returns whether it did.
  bool emplace(std::uint32_t id, Value value = {}) {
    if (growing_ && id >= table_size_ && id <= kDenseSlack + kDenseFactor * (std::uint64_t{size_} + 1)) grow(id);
    if (id < table_size_) {
      if (test(id)) return false;
      present_[id / 64] |= std::uint64_t{1} << (id % 64);
      if constexpr (!kSet) values_[id] = std::move(value);
    } else if (!others_.emplace(id, std::move(value)).second) {
      return false;
    }
    ++size_;
    return true;
  }

  bool contains(std::uint32_t id) const {
    if (id < table_size_) return test(id);
    return others_.find(id) != others_.end();
  }

  // The value stored for `id`, or null.
  const Value* find(std::uint32_t id) const requires(!kSet) {
    if (id < table_size_) return test(id) ? &values_[id] : nullptr;
    auto it = others_.find(id);
    return it == others_.end() ? nullptr : &it->second;
  }

  // The number of ids.
  std::size_t size() const { return size_; }

 private:
  // Dense: the largest id is at most this many times the count, plus the
  // slack. Eight, because ids that follow a sparser table's ids are common:
  // a library whose track ids step by 3 and where every other track has
  // artwork has artwork ids 6 apart, and a hash map of those costs a report
  // more than the table's memory (at most eight values per id). A set's slot
  // is one bit, so it stays a table over sparser ids.
  static constexpr std::uint64_t kDenseFactor = kSet ? 64 : 8;
  static constexpr std::uint64_t kDenseSlack = kSet ? 1 << 16 : 1024;

  bool test(std::uint32_t id) const { return (present_[id / 64] >> (id % 64)) & 1u; }

  void resize_table(std::uint64_t size) {
    table_size_ = size;
    present_.resize((size + 63) / 64, 0);
    if constexpr (!kSet) values_.resize(size);
  }

  // Widens the table to hold `id` (at least doubling it, so that growing
  // costs amortised O(1) per id) and moves the ids it now covers out of the
  // hash map: an id below the table's size is only ever in the table.
  void grow(std::uint32_t id) {
    resize_table(std::max<std::uint64_t>(std::uint64_t{id} + 1, 2 * table_size_));
    for (auto it = others_.begin(); it != others_.end();) {
      if (it->first < table_size_) {
        present_[it->first / 64] |= std::uint64_t{1} << (it->first % 64);
        if constexpr (!kSet) values_[it->first] = std::move(it->second);
        it = others_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::uint64_t table_size_ = 0;
  std::vector<std::uint64_t> present_;  // a bit per id below table_size_
  std::vector<Value> values_;           // the value of each present id below table_size_ (maps only)
  Overflow others_;
  std::size_t size_ = 0;
  bool growing_ = true;
};

using IdSet = IdMap<IdPresent>;

// A set of the ids in `ids`, a table when they are dense.
template <class Ids>
IdSet id_set_of(const Ids& ids) {
  std::uint32_t largest = 0;
  std::uint64_t count = 0;
  for (std::uint32_t id : ids) {
    largest = std::max(largest, id);
    ++count;
  }
  IdSet set(IdSet::table_bound_for(largest, count));
  for (std::uint32_t id : ids) set.emplace(id);
  return set;
}

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_UTIL_ID_MAP_H_
