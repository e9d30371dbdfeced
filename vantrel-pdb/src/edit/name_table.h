// NameTable: the editor index's map from a name to the id of a row with
// that name. Every track insertion asks it for four names, in tables of tens
// of thousands, so it is laid out for few cache misses: open addressing over
// one array of slots that carry each name's hash, the names themselves back
// to back in one buffer. A lookup touches one slot, and the name's bytes
// only when the hashes agree.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_NAME_TABLE_H_
#define VANTREL_PDB_EDIT_NAME_TABLE_H_

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel_pdb {

class NameTable {
 public:
  // The id stored for `name` (compared byte for byte), or nullopt.
  std::optional<std::uint32_t> find(std::string_view name) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t hash = hash_of(name);
    for (std::size_t i = hash & mask(); slots_[i].used(); i = (i + 1) & mask()) {
      if (matches(slots_[i], hash, name)) return slots_[i].id;
    }
    return std::nullopt;
  }

  // Stores `id` for `name` unless the name is there already: the first row
  // with a name wins. Returns whether it stored.
  bool insert(std::string_view name, std::uint32_t id) {
    // At most half the slots in use, so that probe runs stay short.
    if (2 * (size_ + 1) > slots_.size()) grow();
    const std::uint64_t hash = hash_of(name);
    std::size_t i = hash & mask();
    for (; slots_[i].used(); i = (i + 1) & mask()) {
      if (matches(slots_[i], hash, name)) return false;
    }
    slots_[i] = Slot{hash, names_.size(), static_cast<std::uint32_t>(name.size()), id, true};
    names_.append(name);
    ++size_;
    return true;
  }

  void clear() {
    slots_.clear();
    names_.clear();
    size_ = 0;
  }
  std::size_t size() const { return size_; }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t offset = 0;  // of the name in names_
    std::uint32_t length = 0;
    std::uint32_t id = 0;
    bool in_use = false;
    bool used() const { return in_use; }
  };
  static constexpr std::size_t kFirstCapacity = 64;  // a power of two

  static std::uint64_t hash_of(std::string_view name) { return std::hash<std::string_view>{}(name); }
  std::size_t mask() const { return slots_.size() - 1; }
  bool matches(const Slot& slot, std::uint64_t hash, std::string_view name) const {
    return slot.hash == hash && slot.length == name.size() &&
           (name.empty() || std::memcmp(names_.data() + slot.offset, name.data(), name.size()) == 0);
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? kFirstCapacity : 2 * old.size(), Slot{});
    for (const Slot& slot : old) {
      if (!slot.used()) continue;
      std::size_t i = slot.hash & mask();
      while (slots_[i].used()) i = (i + 1) & mask();
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;  // empty, or a power of two of them
  std::string names_;        // every stored name, back to back
  std::size_t size_ = 0;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_NAME_TABLE_H_
