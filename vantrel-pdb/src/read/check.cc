// The check: the file, the directory, every chain and page, every row, and
// what the rows refer to, in that order. One pass walks the image; the
// checks of ids and references that follow read again only the fixed
// fields of the rows it kept, from where it found them.
//
// Bounds. Each page is examined once at most: a chain stops where it would
// enter a page that it or another chain has entered. Within a page, each
// heap byte belongs to one row or string at most (HeapMap): a row or string
// that would claim a byte twice is reported and examined no further. So a
// hostile image costs no more than a sound one of its size, whatever its
// links, slots and string offsets say.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/coding.h"
#include "format/format.h"
#include "format/page_writer.h"
#include "format/string_codec.h"
#include "format/strings.h"
#include "format/validate.h"
#include "read/directory_entries.h"
#include "read/finding_sink.h"
#include "read/heap_map.h"
#include "read/named_rows.h"
#include "read/page_layout.h"
#include "read/playlist_rows.h"
#include "read/row_shape.h"
#include "read/track.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

namespace {

using checker::Code;
using checker::FindingSink;
using checker::Place;
using checker::str;
namespace f = format;
namespace k = table_kind;

constexpr std::uint64_t kPage = f::kPageSize;
// Every database holds the tables of kinds 0 to 19 (the blank image's).
constexpr std::uint32_t kEveryDatabaseKinds = 20;
// Table kinds whose rows carry an id or are playlist or history entries,
// indexed up to this bound.
constexpr std::uint32_t kIdKinds = k::kind16_rows + 1;

// A row of the image: its page, its slot and its position in the page. The
// checker keeps one per row of the large tables, so it is eight bytes: the
// position in the file follows from the page.
struct RowAt {
  std::uint32_t page = 0;
  std::uint16_t slot = 0;
  std::uint16_t in_page = 0;  // below kPage

  std::uint64_t offset() const { return std::uint64_t{page} * kPage + in_page; }
  Place place(std::uint32_t table, std::optional<std::uint32_t> id = std::nullopt) const {
    return {page, table, slot, offset(), id};
  }
};
static_assert(kPage <= std::numeric_limits<std::uint16_t>::max() + 1, "a position in a page fits RowAt::in_page");

// Where a slot's offset word lies in its page.
std::uint64_t slot_word(std::uint32_t slot) {
  return f::group_end(kPage, slot / f::kSlotsPerGroup) - f::kSlotOffsetsFromGroupEnd - 2 * (slot % f::kSlotsPerGroup);
}

// Where the kept rows of one table lie, in the order the walk met them: two
// bytes a row (its slot), and the page once for each run of rows on it. A
// kept row lies where its slot's offset word says (that is where the walk
// found it, within the page), so its position is read again from the page's
// row index rather than kept. The slots sit in a deque's blocks rather than
// one vector, so growing never holds two copies: this is the one record the
// checker keeps per row of the large tables, and it is small beside the
// image.
class RowPlaces {
 public:
  // Requires a row the walk kept: it starts within its page, where its
  // slot's offset word says.
  void add(const RowAt& at) {
    if (runs_.empty() || runs_.back().page != at.page) runs_.push_back({at.page, slots_.size()});
    slots_.push_back(at.slot);
  }
  std::size_t size() const { return slots_.size(); }
  // The place of row i in image, the image the rows were found in; requires
  // i < size().
  RowAt at(Bytes image, std::size_t i) const {
    const auto run =
        std::upper_bound(runs_.begin(), runs_.end(), i, [](std::size_t row, const Run& r) { return row < r.first; });
    return place(image, std::prev(run)->page, slots_[i]);
  }
  // Calls f(i, place) for every row, in order.
  template <class F>
  void for_each(Bytes image, F&& f) const {
    for (std::size_t r = 0; r < runs_.size(); ++r) {
      const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].first : slots_.size();
      for (std::size_t i = runs_[r].first; i < end; ++i) f(i, place(image, runs_[r].page, slots_[i]));
    }
  }

 private:
  struct Run {
    std::uint32_t page;
    std::size_t first;  // index of the run's first row
  };
  static RowAt place(Bytes image, std::uint32_t page, std::uint16_t slot) {
    const Bytes bytes = image.subspan(std::uint64_t{page} * kPage, kPage);
    return {page, slot, static_cast<std::uint16_t>(f::kPageHeaderSize + f::slot_row_offset(bytes, slot))};
  }
  std::vector<Run> runs_;
  std::deque<std::uint16_t> slots_;
};

struct NodeRef {
  std::uint32_t id = 0, parent = 0;
  bool folder = false;
  RowAt at;
};

// The id of a row of a table whose rows have one, read from the row's fixed
// fields (which the caller has checked lie in the page); none for other
// tables.
std::optional<std::uint32_t> row_id(std::uint32_t kind, const std::uint8_t* r) {
  switch (kind) {
    case k::tracks: return decode_fixed32(r + track_row::kIdOffset);
    case k::artists: return decode_fixed32(r + artist_row::kIdOffset);
    case k::albums: return decode_fixed32(r + album_row::kIdOffset);
    case k::genres:
    case k::labels:
    case k::artwork:
    case k::history_playlists: return decode_fixed32(r + id_name_row::kIdOffset);
    case k::keys: return decode_fixed32(r + key_row::kIdOffset);
    case k::colors: return decode_fixed16(r + color_row::kIdOffset);
    case k::kind16_rows: return decode_fixed16(r + kind16_row::kIdOffset);
    case k::playlist_tree: return decode_fixed32(r + playlist_tree_row::kIdOffset);
    default: return std::nullopt;
  }
}

bool is_entry_table(std::uint32_t kind) { return kind == k::playlist_entries || kind == k::history_entries; }

// Whether count ids up to largest are kept as a bit per id: when that takes
// no more memory than a list of the ids (32 bits each) would.
bool ids_fit_bits(std::uint64_t largest, std::size_t count) { return count != 0 && largest / 32 <= count; }

// The ids of one table, for lookups: a bit per id up to the largest, or the
// ids sorted.
class IdSet {
 public:
  IdSet() = default;
  explicit IdSet(std::vector<bool> bits) : bits_(std::move(bits)) {}
  explicit IdSet(std::vector<std::uint32_t> ids) : ids_(std::move(ids)) {
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
  }
  bool contains(std::uint32_t id) const {
    if (!bits_.empty()) return id < bits_.size() && bits_[id];
    return std::binary_search(ids_.begin(), ids_.end(), id);
  }

 private:
  std::vector<bool> bits_;
  std::vector<std::uint32_t> ids_;
};

class Checker {
 public:
  Checker(Bytes image, std::size_t limit, Findings& out) : image_(image), out_(out), sink_(out, limit) {}

  void run() {
    if (!check_file()) return;
    read_directory();
    owner_.assign(pages_, 0);
    for (const checker::DirectoryEntry& d : entries_) {
      rows_[d.entry.kind];  // every table of the directory is counted, rows or not
      walk_chain(d);
    }
    check_candidates();
    check_unreachable();
    check_ids();
    check_references();
    check_tree();
    for (const auto& [kind, rows] : rows_) out_.rows.push_back({kind, rows.present, rows.absent});
  }

 private:
  std::uint32_t u32(std::uint64_t pos) const { return decode_fixed32(image_.data() + pos); }
  Bytes page_bytes(std::uint32_t p) const { return image_.subspan(std::uint64_t{p} * kPage, kPage); }
  bool in_file(std::uint32_t p) const { return p != 0 && p < pages_; }

  // Length and file header. False when the image is too short to hold one.
  bool check_file() {
    const std::uint64_t length = image_.size();
    pages_ = length / kPage;
    out_.pages = pages_;
    if (length == 0 || length % kPage != 0) {
      sink_.add(Code::kFileLength, {.offset = pages_ * kPage}, [&] {
        return length == 0 ? std::string("the file is empty")
                           : str("the file is ", length, " bytes, not a whole number of ", kPage,
                                 "-byte pages: the last ", length % kPage, " bytes are cut off");
      });
    }
    if (length < f::kFileHeaderSize) return false;
    const std::uint32_t page_size = u32(f::kPageSizeOffset);
    if (page_size != kPage) {
      sink_.add(Code::kPageSize, {.page = 0, .offset = f::kPageSizeOffset}, [&] {
        return str("the file header gives a page size of ", page_size, "; the pages are read as ", kPage, " bytes");
      });
    }
    return true;
  }

  void read_directory() {
    const std::uint32_t count = u32(f::kTableCountOffset);
    const bool out_of_range = count > kMaxTableCount;
    if (out_of_range) {
      sink_.add(Code::kTableCount, {.page = 0, .offset = f::kTableCountOffset}, [&] {
        return str("the file header lists ", count, " tables; at most ", kMaxTableCount, " are allowed");
      });
    }
    entries_ = checker::directory_entries(image_);
    std::map<std::uint32_t, std::uint32_t> first_of_kind;  // kind -> directory index
    for (const checker::DirectoryEntry& d : entries_) {
      auto [it, fresh] = first_of_kind.try_emplace(d.entry.kind, d.index);
      if (fresh) continue;
      sink_.add(Code::kTableDuplicate, {.page = 0, .table = d.entry.kind, .offset = entry_offset(d)}, [&] {
        return str("directory entries ", it->second, " and ", d.index, " both hold table ", table_name(d.entry.kind),
                   "; the reader lists the later, the editor appends to the earlier");
      });
    }
    for (std::uint32_t kind = 0; kind < kEveryDatabaseKinds; ++kind) {
      if (first_of_kind.contains(kind)) continue;
      sink_.add(Code::kTableMissing, {.page = 0, .table = kind},
                [&] { return str("the directory has no table ", table_name(kind), " (kind ", kind, ")"); });
    }
  }

  static std::uint64_t entry_offset(const checker::DirectoryEntry& d) {
    return checker::directory_entry_offset(d.index);
  }

  // Walks one table's chain from first_page to last_page, checking each
  // page and the rows of its data pages.
  void walk_chain(const checker::DirectoryEntry& d) {
    const TableEntry& e = d.entry;
    const std::uint32_t kind = e.kind;
    const auto mark = static_cast<std::uint16_t>(d.index + 1);
    std::optional<std::uint32_t> previous;
    std::uint64_t link_at = entry_offset(d) + f::kEntryFirstPageOffset;
    std::optional<std::uint32_t> header_page;
    std::optional<std::uint32_t> first_data;
    std::uint32_t p = e.first_page;
    bool reached_last = false;
    for (;;) {
      if (!in_file(p)) {
        sink_.add(Code::kChainLink, {.page = previous.value_or(0), .table = kind, .offset = link_at}, [&] {
          return str("the chain of table ", table_name(kind),
                     previous ? str(" links from page ", *previous, " to page ") : std::string(" starts at page "), p,
                     ", ", p == 0 ? std::string("the file header") : "past the end of the file");
        });
        break;
      }
      if (owner_[p] == mark) {
        sink_.add(Code::kChainLoop, {.page = p, .table = kind, .offset = link_at}, [&] {
          return str("the chain of table ", table_name(kind), " comes back to page ", p,
                     previous ? str(" from page ", *previous) : "");
        });
        break;
      }
      if (owner_[p] != 0) {
        const std::uint32_t other = entries_kind(owner_[p]);
        sink_.add(Code::kPageShared, {.page = p, .table = kind, .offset = link_at}, [&] {
          return str("page ", p, " lies on the chains of both table ", table_name(other), " and table ",
                     table_name(kind));
        });
        break;
      }
      owner_[p] = mark;
      const std::uint64_t start = std::uint64_t{p} * kPage;
      const std::uint32_t index = u32(start + f::kPageIndexOffset);
      if (index != p) {
        sink_.add(Code::kPageIdentity, {.page = p, .table = kind, .offset = start + f::kPageIndexOffset},
                  [&] { return str("page ", p, " of table ", table_name(kind), " carries the index ", index); });
      }
      const std::uint32_t page_kind = u32(start + f::kPageKindOffset);
      if (page_kind != kind) {
        sink_.add(Code::kPageTable, {.page = p, .table = kind, .offset = start + f::kPageKindOffset}, [&] {
          return str("page ", p, " of table ", table_name(kind), "'s chain carries the kind of table ",
                     table_name(page_kind));
        });
        break;  // not this table's page: neither its rows nor its link are this table's
      }
      const bool is_header = (image_[start + f::kPageFlagsOffset] & f::kPageFlagNoRows) != 0;
      if (!previous && !is_header) {
        sink_.add(Code::kPageType, {.page = p, .table = kind, .offset = start + f::kPageFlagsOffset}, [&] {
          return str("page ", p, ", the first page of table ", table_name(kind), ", is not a table header page");
        });
      } else if (previous && is_header) {
        sink_.add(Code::kPageType, {.page = p, .table = kind, .offset = start + f::kPageFlagsOffset}, [&] {
          return str("page ", p, " of table ", table_name(kind),
                     " is marked as a table header page, which hides its rows from the reader");
        });
      }
      if (!previous && is_header) header_page = p;
      if (previous && !first_data) first_data = p;
      if (!is_header) check_page_rows(p, kind);
      if (p == e.last_page) {
        reached_last = true;
        break;
      }
      previous = p;
      link_at = start + f::kNextPageOffset;
      p = u32(link_at);
    }
    if (!reached_last) return;
    const std::uint64_t last_start = std::uint64_t{e.last_page} * kPage;
    const std::uint32_t next = u32(last_start + f::kNextPageOffset);
    if (next != e.empty_candidate) {
      sink_.add(Code::kEmptyCandidate, {.page = e.last_page, .table = kind, .offset = last_start + f::kNextPageOffset},
                [&] {
                  return str("the last page ", e.last_page, " of table ", table_name(kind), " links to page ", next,
                             ", not to the page the table takes next, ", e.empty_candidate);
                });
    }
    if (header_page) {
      const std::uint64_t at = std::uint64_t{*header_page} * kPage + f::kFirstDataPageOffset;
      const std::uint32_t named = u32(at);
      const std::uint32_t expected = first_data ? *first_data : f::kNoDataPage;
      if (named != expected) {
        sink_.add(Code::kFirstDataPage, {.page = *header_page, .table = kind, .offset = at}, [&] {
          return str("the header page ", *header_page, " of table ", table_name(kind), " names page ", named,
                     " as its first data page; the chain's is ",
                     first_data ? str("page ", *first_data) : std::string("none (") + checker::hex(expected) + ")");
        });
      }
    }
  }

  std::uint32_t entries_kind(std::uint16_t mark) const {
    for (const checker::DirectoryEntry& d : entries_) {
      if (d.index + 1u == mark) return d.entry.kind;
    }
    return 0;
  }

  void check_page_rows(std::uint32_t p, std::uint32_t kind) {
    const Bytes page = page_bytes(p);
    const std::uint64_t start = std::uint64_t{p} * kPage;
    const checker::PageLayout layout = checker::read_page_layout(page);
    TableRows& counts = rows_[kind];
    counts.present += layout.present;
    counts.absent += layout.slots - layout.present;
    const Place at_counts{.page = p, .table = kind, .offset = start + f::kPackedCountsOffset};
    if (layout.slot_field > f::kMaxSlotsPerPage) {
      sink_.add(Code::kRowDirectory, at_counts, [&] {
        return str("page ", p, " of table ", table_name(kind), " claims ", layout.slot_field, " row slots; at most ",
                   f::kMaxSlotsPerPage, " fit, and the reader lists ", layout.slots);
      });
    }
    if (layout.present_field != layout.present) {
      sink_.add(Code::kRowCount, at_counts, [&] {
        return str("page ", p, " of table ", table_name(kind), " counts ", layout.present_field,
                   " present rows; its present flags mark ", layout.present);
      });
    }
    if (layout.heap_overflows) {
      sink_.add(Code::kHeapOverflow, {.page = p, .table = kind, .offset = start + f::kUsedSizeOffset}, [&] {
        return str("page ", p, " of table ", table_name(kind), " has ", layout.used_size,
                   " heap bytes and a row index of ", layout.slots, " slots: more than its ", kPage, " bytes");
      });
    } else if (layout.free_size != checker::expected_free_size(layout)) {
      sink_.add(Code::kFreeSize, {.page = p, .table = kind, .offset = start + f::kFreeSizeOffset}, [&] {
        return str("page ", p, " of table ", table_name(kind), " records ", layout.free_size,
                   " free bytes; its heap and row index leave ", checker::expected_free_size(layout));
      });
    }
    heap_.clear();
    const Bytes heap = page.first(layout.heap_end);
    for (const checker::LiveSlot& live : layout.live) check_row(p, kind, live, heap);
  }

  void check_row(std::uint32_t p, std::uint32_t kind, const checker::LiveSlot& live, Bytes heap) {
    const std::uint64_t row = live.row;
    // A row that starts past its page is placed at its slot's offset word.
    const std::uint64_t start = std::uint64_t{p} * kPage;
    const RowAt at{p, live.slot, static_cast<std::uint16_t>(row < kPage ? row : slot_word(live.slot))};
    const Bytes prefix = row < heap.size() ? heap.subspan(row) : Bytes();
    const std::uint64_t fixed = checker::fixed_size(kind, prefix);
    if (row + fixed > heap.size()) {
      sink_.add(Code::kRowOutsideHeap, at.place(kind), [&] {
        return str("row ", live.slot, " of page ", p, " (table ", table_name(kind), ") lies at page offset ", row,
                   ", outside the page's heap, which ends at ", heap.size());
      });
      return;
    }
    const Bytes fields = heap.subspan(row, fixed);
    if (!heap_.claim(row, row + fixed)) {
      sink_.add(Code::kRowOverlap, at.place(kind), [&] {
        return str("row ", live.slot, " of page ", p, " (table ", table_name(kind), ") overlaps another row");
      });
      return;
    }
    const std::optional<std::uint32_t> id = record(kind, fields, at);
    const checker::RowStrings strings = checker::row_strings(kind, fields);
    for (std::size_t i = 0; i < strings.count; ++i) {
      // Slots that share one string read it once.
      const auto seen = std::find(strings.at.begin(), strings.at.begin() + i, strings.at[i]);
      if (seen != strings.at.begin() + i) continue;
      const std::uint64_t pos = row + strings.at[i];
      const auto what = [&] {
        return str("row ", live.slot, " of page ", p, " (table ", table_name(kind), "): the ",
                   checker::string_name(kind, i), " string");
      };
      // A string that would start past its page is placed at its row.
      const Place string_place{p, kind, live.slot, pos < kPage ? start + pos : at.offset(), id};
      auto span = locate_string(heap, pos);
      if (!span) {
        if (span.error().is<pdb_error::UnknownString>()) {
          const auto byte = span.error().as<pdb_error::UnknownString>().kind;
          sink_.add(Code::kStringKind, string_place,
                    [&] { return str(what(), " has the unknown kind ", checker::hex(byte)); });
        } else {
          sink_.add(Code::kStringCut, string_place, [&] {
            return str(what(), " at page offset ", pos, " runs past the page's heap, which ends at ", heap.size());
          });
        }
        return;
      }
      const std::uint64_t end = static_cast<std::uint64_t>(span->text.data() - heap.data()) + span->text.size();
      if (!heap_.claim(pos, end)) {
        sink_.add(Code::kRowOverlap, string_place,
                  [&] { return str(what(), " at page offset ", pos, " overlaps another row or string"); });
        return;
      }
      if (text_needs_replacement(*span)) {
        sink_.add(Code::kTextReplaced, string_place, [&] {
          return str(what(), span->kind == kUtf16Kind ? " holds unpaired surrogates" : " holds invalid UTF-8",
                     ", which read as U+FFFD");
        });
      }
    }
  }

  // Keeps where the row lies for the id and reference checks, and the
  // playlist tree's nodes whole; returns the row's id when its table has one.
  std::optional<std::uint32_t> record(std::uint32_t kind, Bytes fields, const RowAt& at) {
    const std::optional<std::uint32_t> id = row_id(kind, fields.data());
    if (id || is_entry_table(kind)) places_[kind].add(at);
    if (kind == k::playlist_tree) {
      namespace t = playlist_tree_row;
      nodes_.push_back({*id, decode_fixed32(fields.data() + t::kParentIdOffset),
                        decode_fixed32(fields.data() + t::kFolderFlagOffset) != 0, at});
    }
    return id;
  }

  // A fixed field of a kept row: the walk checked that the row's fixed
  // fields lie within its page's heap, and the image has not changed since.
  std::uint32_t field32(const RowAt& at, std::uint64_t offset) const { return u32(at.offset() + offset); }
  std::uint32_t id_at(std::uint32_t kind, const RowAt& at) const { return *row_id(kind, image_.data() + at.offset()); }
  // The page each table takes next, and the file header's next unused page.
  void check_candidates() {
    const std::uint32_t next_unused = u32(f::kNextUnusedPageOffset);
    candidate_.assign(pages_, false);
    std::map<std::uint32_t, std::uint32_t> taken;  // candidate page -> kind of the first table taking it
    std::uint64_t largest_used = 0;
    for (std::uint32_t p = 1; p < pages_; ++p) {
      if (owner_[p] != 0) largest_used = p;
    }
    for (const checker::DirectoryEntry& d : entries_) {
      const TableEntry& e = d.entry;
      const std::uint32_t c = e.empty_candidate;
      const Place place{.page = 0, .table = e.kind, .offset = entry_offset(d) + f::kEntryEmptyCandidateOffset};
      const auto problem = [&](std::string why) {
        sink_.add(Code::kEmptyCandidate, place,
                  [&] { return str("page ", c, ", which table ", table_name(e.kind), " takes next, ", why); });
      };
      if (c < pages_) candidate_[c] = true;
      if (c != 0) largest_used = std::max<std::uint64_t>(largest_used, c);
      auto [it, fresh] = taken.try_emplace(c, e.kind);
      if (c == 0) {
        problem("is the file header");
      } else if (c < pages_ && owner_[c] != 0) {
        problem(str("already lies on the chain of table ", table_name(entries_kind(owner_[c]))));
      } else if (!fresh) {
        problem(str("is the page table ", table_name(it->second), " takes next too"));
      } else if (c >= next_unused) {
        problem(str("is not below the next unused page, ", next_unused));
      }
    }
    if (next_unused <= largest_used) {
      sink_.add(Code::kNextUnusedPage, {.page = 0, .offset = f::kNextUnusedPageOffset}, [&] {
        return str("the file header's next unused page is ", next_unused, ", but page ", largest_used,
                   " is in use or taken next");
      });
    }
  }

  // Runs of pages that no chain reaches and no table takes next.
  void check_unreachable() {
    std::uint32_t p = 1;
    while (p < pages_) {
      if (owner_[p] != 0 || candidate_[p]) {
        ++p;
        continue;
      }
      const std::uint32_t first = p;
      while (p < pages_ && owner_[p] == 0 && !candidate_[p]) ++p;
      const std::uint32_t last = p - 1;
      sink_.add(Code::kPageUnreachable, {.page = first, .offset = std::uint64_t{first} * kPage}, [&] {
        return first == last ? str("page ", first, " is reached by no chain")
                             : str("pages ", first, " to ", last, " are reached by no chain");
      });
    }
  }

  // Rows that repeat an earlier row's id, in table order, table by table;
  // and each table's ids for the reference checks. While the ids are close
  // together, the bits of the ids seen so far find the repeats in one pass
  // and are then the table's set; else the ids are listed and sorted.
  void check_ids() {
    for (std::uint32_t kind = 0; kind < kIdKinds; ++kind) {
      const RowPlaces& rows = places_[kind];
      if (rows.size() == 0 || is_entry_table(kind)) continue;
      std::uint32_t largest = 0;
      rows.for_each(image_, [&](std::size_t, const RowAt& at) { largest = std::max(largest, id_at(kind, at)); });
      std::vector<std::size_t> repeated;
      if (ids_fit_bits(largest, rows.size())) {
        std::vector<bool> seen(std::size_t{largest} + 1, false);
        rows.for_each(image_, [&](std::size_t i, const RowAt& at) {
          const std::uint32_t id = id_at(kind, at);
          if (seen[id]) repeated.push_back(i);
          seen[id] = true;
        });
        id_sets_[kind] = IdSet(std::move(seen));
      } else {
        std::vector<std::uint32_t> ids;
        ids.reserve(rows.size());
        rows.for_each(image_, [&](std::size_t, const RowAt& at) { ids.push_back(id_at(kind, at)); });
        repeated = repeated_ids(ids);
        id_sets_[kind] = IdSet(std::move(ids));
      }
      for (std::size_t i : repeated) {
        const RowAt at = rows.at(image_, i);
        const std::uint32_t id = id_at(kind, at);
        sink_.add(Code::kDuplicateId, at.place(kind, id), [&] {
          return str("row ", at.slot, " of page ", at.page, " (table ", table_name(kind), ") has the id ", id,
                     ", which an earlier row of the table has");
        });
      }
    }
  }

  // The indexes (ascending) of the ids that repeat an earlier one.
  static std::vector<std::size_t> repeated_ids(const std::vector<std::uint32_t>& ids) {
    std::vector<std::size_t> order(ids.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
    std::vector<std::size_t> repeated;
    for (std::size_t i = 1; i < order.size(); ++i) {
      if (ids[order[i]] == ids[order[i - 1]]) repeated.push_back(order[i]);
    }
    std::sort(repeated.begin(), repeated.end());
    return repeated;
  }

  void check_references() {
    const IdSet &artists = id_sets_[k::artists], &albums = id_sets_[k::albums], &genres = id_sets_[k::genres],
                &keys = id_sets_[k::keys], &labels = id_sets_[k::labels], &artwork = id_sets_[k::artwork],
                &tracks = id_sets_[k::tracks], &history = id_sets_[k::history_playlists];
    const auto missing = [&](Code code, const IdSet& set, std::uint32_t ref, const Place& place, std::string_view who,
                             std::string_view what) {
      if (ref == 0 || set.contains(ref)) return;
      sink_.add(code, place, [&] { return str(who, " names ", what, " ", ref, ", which no ", what, " row has"); });
    };
    places_[k::tracks].for_each(image_, [&](std::size_t, const RowAt& at) {
      namespace t = track_row;
      const std::uint32_t id = field32(at, t::kIdOffset);
      const Place place = at.place(k::tracks, id);
      const std::string who = str("track ", id);
      missing(Code::kMissingArtist, artists, field32(at, t::kArtistIdOffset), place, who, "artist");
      missing(Code::kMissingAlbum, albums, field32(at, t::kAlbumIdOffset), place, who, "album");
      missing(Code::kMissingGenre, genres, field32(at, t::kGenreIdOffset), place, who, "genre");
      missing(Code::kMissingKey, keys, field32(at, t::kKeyIdOffset), place, who, "key");
      missing(Code::kMissingLabel, labels, field32(at, t::kLabelIdOffset), place, who, "label");
      missing(Code::kMissingArtwork, artwork, field32(at, t::kArtworkIdOffset), place, who, "artwork");
    });
    places_[k::albums].for_each(image_, [&](std::size_t, const RowAt& at) {
      const std::uint32_t id = field32(at, album_row::kIdOffset);
      missing(Code::kMissingArtist, artists, field32(at, album_row::kArtistIdOffset), at.place(k::albums, id),
              str("album ", id), "artist");
    });
    const std::vector<std::pair<std::uint32_t, std::size_t>> first = first_nodes();
    places_[k::playlist_entries].for_each(image_, [&](std::size_t, const RowAt& at) {
      const std::uint32_t track = field32(at, entry_row::kTrackIdOffset);
      const std::uint32_t playlist = field32(at, entry_row::kPlaylistIdOffset);
      const Place place = at.place(k::playlist_entries);
      if (!tracks.contains(track)) {
        sink_.add(Code::kMissingTrack, place, [&] {
          return str("an entry of playlist ", playlist, " names track ", track, ", which no track row has");
        });
      }
      const std::optional<std::size_t> node = find_node(first, playlist);
      if (!node) {
        sink_.add(Code::kMissingPlaylist, place,
                  [&] { return str("an entry names playlist ", playlist, ", which is not in the playlist tree"); });
      } else if (nodes_[*node].folder) {
        sink_.add(Code::kEntryInFolder, place,
                  [&] { return str("an entry names folder ", playlist, "; folders hold no tracks"); });
      }
    });
    places_[k::history_entries].for_each(image_, [&](std::size_t, const RowAt& at) {
      const std::uint32_t track = field32(at, entry_row::kTrackIdOffset);
      const std::uint32_t playlist = field32(at, entry_row::kPlaylistIdOffset);
      const Place place = at.place(k::history_entries);
      if (!tracks.contains(track)) {
        sink_.add(Code::kMissingTrack, place, [&] {
          return str("an entry of history playlist ", playlist, " names track ", track, ", which no track row has");
        });
      }
      if (!history.contains(playlist)) {
        sink_.add(Code::kMissingPlaylist, place, [&] {
          return str("a history entry names history playlist ", playlist, ", which no history playlist row has");
        });
      }
    });
  }

  // (id, index of the first node with it), sorted by id.
  std::vector<std::pair<std::uint32_t, std::size_t>> first_nodes() const {
    std::vector<std::pair<std::uint32_t, std::size_t>> first;
    first.reserve(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) first.emplace_back(nodes_[i].id, i);
    std::sort(first.begin(), first.end());
    first.erase(
        std::unique(first.begin(), first.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        first.end());
    return first;
  }

  static std::optional<std::size_t> find_node(const std::vector<std::pair<std::uint32_t, std::size_t>>& first,
                                              std::uint32_t id) {
    auto it = std::lower_bound(first.begin(), first.end(), std::pair<std::uint32_t, std::size_t>{id, 0});
    if (it == first.end() || it->first != id) return std::nullopt;
    return it->second;
  }

  // Parents: missing, not folders, or never reaching the top level.
  void check_tree() {
    const auto first = first_nodes();
    // The node each node's parent id leads to; none for the top level or a
    // parent that is not in the tree.
    std::vector<std::optional<std::size_t>> parent(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      const NodeRef& n = nodes_[i];
      if (n.parent == 0) continue;
      parent[i] = find_node(first, n.parent);
      const Place place = n.at.place(k::playlist_tree, n.id);
      if (!parent[i]) {
        sink_.add(Code::kOrphanPlaylist, place, [&] {
          return str(n.folder ? "folder " : "playlist ", n.id, " names the parent ", n.parent,
                     ", which is not in the tree");
        });
      } else if (!nodes_[*parent[i]].folder) {
        sink_.add(Code::kParentNotFolder, place, [&] {
          return str(n.folder ? "folder " : "playlist ", n.id, " names the parent ", n.parent,
                     ", which is a playlist, not a folder");
        });
      }
    }
    // Each walk up the tree stops at a node already settled, so every node
    // is passed once. kOnPath marks the walk in progress.
    enum State : std::uint8_t { kNew, kOnPath, kReachesTop, kNeverReaches };
    std::vector<State> state(nodes_.size(), kNew);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      path.clear();
      std::optional<std::size_t> j = i;
      while (j && state[*j] == kNew) {
        state[*j] = kOnPath;
        path.push_back(*j);
        j = parent[*j];
      }
      const State end = !j ? kReachesTop : state[*j] == kOnPath ? kNeverReaches : state[*j];
      for (std::size_t node : path) state[node] = end;
    }
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (state[i] != kNeverReaches) continue;
      const NodeRef& n = nodes_[i];
      sink_.add(Code::kPlaylistCycle, n.at.place(k::playlist_tree, n.id), [&] {
        return str(n.folder ? "folder " : "playlist ", n.id,
                   ": its chain of parents never reaches the top level (it loops)");
      });
    }
  }

  Bytes image_;
  Findings& out_;
  FindingSink sink_;
  std::uint64_t pages_ = 0;
  std::vector<checker::DirectoryEntry> entries_;
  // owner_[p]: 1 + the directory index of the table whose chain entered page p, or 0.
  std::vector<std::uint16_t> owner_;
  std::vector<bool> candidate_;
  std::map<std::uint32_t, TableRows> rows_;
  checker::HeapMap heap_;
  // Where the kept rows of each table lie: the rows with ids and the
  // playlist and history entries.
  RowPlaces places_[kIdKinds];
  IdSet id_sets_[kIdKinds];  // made by check_ids
  std::vector<NodeRef> nodes_;
};

}  // namespace

Findings check(Bytes image, std::size_t limit) {
  Findings out;
  Checker(image, limit, out).run();
  return out;
}

}  // namespace vantrel_pdb
