// IdMap: maps from one id to another (the caller's id -> the editor's, and
// back). The ids of a library run from small numbers upward with few
// gaps, so a map whose keys are known to be dense is a table indexed by key:
// one memory access per lookup, where a hash map of 100,000 ids costs a few
// cache misses. Keys past the table go to a hash map; either way it behaves
// as one map. A map made without a bound grows its table as keys arrive, as
// long as they stay dense.
#ifndef VANTREL_PDB_EDIT_ID_MAP_H_
#define VANTREL_PDB_EDIT_ID_MAP_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vantrel_pdb {

class IdMap {
 public:
  // Keys up to `dense_bound` go to a table of dense_bound + 1 entries.
  // Requires: the caller has checked that the bound is worth a table
  // (dense_bound_for below). Without a bound the table grows with the keys.
  explicit IdMap(std::optional<std::uint32_t> dense_bound = std::nullopt) : growing_(!dense_bound) {
    if (dense_bound) table_.assign(std::size_t{*dense_bound} + 1, kAbsent);
  }

  // Adds key -> value unless the key is present; returns whether it did.
  bool emplace(std::uint32_t key, std::uint32_t value) {
    if (growing_ && key >= table_.size() && key <= kDenseSlack + kDenseFactor * (std::uint64_t{size_} + 1)) grow(key);
    if (key < table_.size()) {
      if (table_[key] != kAbsent) return false;
      table_[key] = value;
    } else if (!others_.emplace(key, value).second) {
      return false;
    }
    ++size_;
    return true;
  }

  std::optional<std::uint32_t> find(std::uint32_t key) const {
    if (key < table_.size()) {
      if (table_[key] == kAbsent) return std::nullopt;
      return static_cast<std::uint32_t>(table_[key]);
    }
    auto it = others_.find(key);
    if (it == others_.end()) return std::nullopt;
    return it->second;
  }
  bool contains(std::uint32_t key) const { return find(key).has_value(); }
  std::size_t size() const { return size_; }

  // Calls f(key, value) for every pair, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t key = 0; key < table_.size(); ++key) {
      if (table_[key] != kAbsent) f(static_cast<std::uint32_t>(key), static_cast<std::uint32_t>(table_[key]));
    }
    for (const auto& [key, value] : others_) f(key, value);
  }

  // The map from each value back to its key (the values must be distinct,
  // as the build's are), as a table when the values are dense.
  IdMap inverted() const {
    std::vector<std::uint32_t> values;
    values.reserve(size_);
    for_each([&values](std::uint32_t, std::uint32_t value) { values.push_back(value); });
    IdMap out(dense_bound_for(values));
    for_each([&out](std::uint32_t key, std::uint32_t value) { out.emplace(value, key); });
    return out;
  }

  // The largest of `ids` when a table up to it is worth keeping (at most a
  // few entries per id, plus some slack), else nullopt.
  template <class Ids>
  static std::optional<std::uint32_t> dense_bound_for(const Ids& ids) {
    std::uint64_t largest = 0;
    std::uint64_t count = 0;
    for (std::uint32_t id : ids) {
      largest = std::max<std::uint64_t>(largest, id);
      ++count;
    }
    if (count == 0 || largest > kDenseSlack + kDenseFactor * count) return std::nullopt;
    return static_cast<std::uint32_t>(largest);
  }

 private:
  // Widens the table to hold `key` (at least doubling it, so that growing
  // costs amortised O(1) per key) and moves the keys it now covers out of
  // the hash map: a key below the table's size is only ever in the table.
  void grow(std::uint32_t key) {
    const std::size_t size = std::max<std::size_t>(std::size_t{key} + 1, 2 * table_.size());
    table_.resize(size, kAbsent);
    for (auto it = others_.begin(); it != others_.end();) {
      if (it->first < size) {
        table_[it->first] = it->second;
        it = others_.erase(it);
      } else {
        ++it;
      }
    }
  }

  static constexpr std::uint64_t kAbsent = std::numeric_limits<std::uint64_t>::max();
  static constexpr std::uint64_t kDenseFactor = 4;
  static constexpr std::uint64_t kDenseSlack = 1024;

  std::vector<std::uint64_t> table_;  // value of each key below its size, or kAbsent
  std::unordered_map<std::uint32_t, std::uint32_t> others_;
  std::size_t size_ = 0;
  bool growing_ = false;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_ID_MAP_H_
