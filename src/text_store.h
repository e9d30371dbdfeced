// Texts kept whole for as long as their store lives, packed into blocks
// that never move, so that a view of a kept text stays valid: a large
// export keeps one short path per track so, without a string (and an
// allocation) of its own for each.
#ifndef DOVREL_TEXT_STORE_H_
#define DOVREL_TEXT_STORE_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace dovrel {

class TextStore {
 public:
  // Bytes of one block; a longer text gets a block of its own.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

  // A copy of `text` that lasts as long as the store.
  std::string_view keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > left_) {
      const std::size_t size = text.size() > kBlockBytes ? text.size() : kBlockBytes;
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      free_ = blocks_.back().get();
      left_ = size;
    }
    char* at = free_;
    std::memcpy(at, text.data(), text.size());
    free_ += text.size();
    left_ -= text.size();
    return {at, text.size()};
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace dovrel

#endif  // DOVREL_TEXT_STORE_H_
