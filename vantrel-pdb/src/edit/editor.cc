#include "edit/editor.h"

#include <algorithm>
#include <string>

#include "edit/editor_lookup.h"
#include "format/directory.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_chain.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// Smallest page that holds the header, first_data_page and one row group;
// largest whose in-page offsets (used_size, slot offsets) fit a u16.
constexpr std::uint64_t kMinPageSize = f::kPageHeaderSize + f::kRowGroupSize;
constexpr std::uint64_t kMaxPageSize = 65536;

}  // namespace

PdbEditor PdbEditor::from_bytes(std::vector<std::uint8_t> image) {
  return editor_with_lookup(std::move(image), make_default_lookup());
}

PdbEditor editor_with_lookup(std::vector<std::uint8_t> image, std::unique_ptr<EditorLookup> lookup) {
  PdbEditor editor;
  editor.image_ = std::move(image);
  if (in_bounds(editor.image_, f::kPageSizeOffset, 4)) {
    editor.page_size_ = decode_fixed32(editor.image_.data() + f::kPageSizeOffset);
  }
  editor.lookup_ = std::move(lookup);
  return editor;
}

PdbEditor::PdbEditor(PdbEditor&&) noexcept = default;
PdbEditor& PdbEditor::operator=(PdbEditor&&) noexcept = default;
PdbEditor::~PdbEditor() = default;

std::expected<std::uint64_t, PdbError> PdbEditor::max_alloc() const {
  if (page_size_ < kMinPageSize || page_size_ > kMaxPageSize) {
    return std::unexpected(errors::damaged("page size " + std::to_string(page_size_) +
                                           " is outside the editor's range " + std::to_string(kMinPageSize) + " to " +
                                           std::to_string(kMaxPageSize)));
  }
  return page_size_ - f::kRowOverhead;
}

std::expected<std::uint64_t, PdbError> PdbEditor::page_start(std::uint32_t p) const {
  std::uint64_t start = std::uint64_t{p} * page_size_;
  if (p == 0 || page_size_ == 0 || !in_bounds(image_, start, page_size_)) {
    return std::unexpected(errors::damaged("page " + std::to_string(p) + " is not a table page inside the image"));
  }
  return start;
}

std::expected<std::uint64_t, PdbError> PdbEditor::table_entry_offset(Bytes image, std::uint32_t kind) {
  auto found = f::find_first_entry(image, kind);
  if (!found) return std::unexpected(found.error());
  return f::entry_offset(found->index);
}

std::expected<std::uint64_t, PdbError> PdbEditor::entry_offset_of(std::uint32_t kind) {
  if (kind < table_kind::kFormatBound && entry_offsets_[kind] != 0) return entry_offsets_[kind];
  auto offset = table_entry_offset(image_, kind);
  if (offset && kind < table_kind::kFormatBound) entry_offsets_[kind] = *offset;
  return offset;
}

std::expected<void, PdbError> PdbEditor::ensure_table_sequence(std::uint32_t kind) {
  if (kind < table_kind::kFormatBound ? (sequenced_kinds_ >> kind) & 1u : table_sequences_.contains(kind)) return {};
  auto found = f::find_first_entry(image_, kind);
  if (!found) return std::unexpected(found.error());
  std::uint32_t largest = 0;
  f::PageChain chain(image_, page_size_, found->entry);
  while (chain.next()) largest = std::max(largest, decode_fixed32(chain.page().data() + f::kPageSequenceOffset));
  if (auto walked = chain.status(); !walked) return walked;
  table_sequences_[kind] = largest + 1;  // wraps: 0xFFFFFFFF gives 0
  if (kind < table_kind::kFormatBound) sequenced_kinds_ |= std::uint32_t{1} << kind;
  return {};
}

std::expected<void, PdbError> PdbEditor::mark_table_touched(std::uint32_t kind, std::uint32_t page_index) {
  if (auto ok = ensure_table_sequence(kind); !ok) return ok;
  if (auto start = page_start(page_index); !start) return std::unexpected(start.error());
  touched_pages_[kind].insert(page_index);
  dirty_ = true;
  return {};
}

void PdbEditor::stamp() {
  // Kinds in ascending order, so that a page shared by two chains ends with
  // the same stamp on every run.
  std::vector<std::uint32_t> kinds;
  kinds.reserve(touched_pages_.size());
  for (const auto& [kind, pages] : touched_pages_) kinds.push_back(kind);
  std::sort(kinds.begin(), kinds.end());
  for (std::uint32_t kind : kinds) {
    auto stamp = table_sequences_.find(kind);
    if (stamp == table_sequences_.end()) continue;  // cannot happen: recorded before any page
    for (std::uint32_t p : touched_pages_[kind]) {
      // mark_table_touched only records pages inside the image, and the
      // image never shrinks.
      encode_fixed32(image_.data() + std::uint64_t{p} * page_size_ + f::kPageSequenceOffset, stamp->second);
    }
  }
  if (!dirty_ || !in_bounds(image_, f::kSequenceOffset, 4)) return;
  if (!new_sequence_) new_sequence_ = decode_fixed32(image_.data() + f::kSequenceOffset) + 1;
  encode_fixed32(image_.data() + f::kSequenceOffset, *new_sequence_);
}

std::vector<std::uint8_t> PdbEditor::to_bytes() {
  stamp();
  return image_;
}

std::vector<std::uint8_t> PdbEditor::into_bytes() && {
  stamp();
  return std::move(image_);
}

}  // namespace vantrel_pdb
