#include "read/recover.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "format/coding.h"
#include "format/format.h"
#include "format/string_codec.h"
#include "read/directory_entries.h"
#include "read/page_layout.h"
#include "read/row_shape.h"
#include "read/track_check.h"
#include "util/side_by_side.h"

namespace vantrel_pdb::recovery {

namespace {

namespace f = format;
namespace k = table_kind;

constexpr std::uint64_t kPage = f::kPageSize;

bool is_decoded_kind(std::uint32_t kind) {
  switch (kind) {
    case k::tracks:
    case k::genres:
    case k::artists:
    case k::albums:
    case k::labels:
    case k::keys:
    case k::colors:
    case k::playlist_tree:
    case k::playlist_entries:
    case k::history_playlists:
    case k::history_entries:
    case k::artwork:
    case k::kind16_rows: return true;
    default: return false;
  }
}

// Which table each page belongs to, as far as the image still says.
class PageAssignment {
 public:
  explicit PageAssignment(Bytes image) : image_(image), pages_(image.size() / kPage), owner_(pages_) {}

  std::map<std::uint32_t, std::vector<std::uint32_t>> assign() {
    // Chains, as far as each holds: a page is taken by the first chain
    // that reaches it with its kind.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stops;  // (page, kind) where a chain met another kind
    std::vector<std::uint32_t> walked(pages_, 0);                // 1 + directory index of the last walk through
    for (const checker::DirectoryEntry& d : checker::directory_entries(image_)) {
      const std::uint32_t kind = d.entry.kind;
      std::uint32_t p = d.entry.first_page;
      while (p != 0 && p < pages_ && walked[p] != d.index + 1 && !owner_[p]) {
        walked[p] = d.index + 1;
        if (page_kind(p) != kind) {
          stops.emplace_back(p, kind);
          break;
        }
        take(p, kind, chain_pages_);
        if (p == d.entry.last_page) break;
        p = u32(std::uint64_t{p} * kPage + f::kNextPageOffset);
      }
    }
    // A page whose kind alone disagrees with the chain that reached it.
    for (const auto& [p, kind] : stops) {
      if (!owner_[p] && page_index(p) == p) take(p, kind, other_pages_);
    }
    // Pages no chain reached that still say what they are.
    for (std::uint32_t p = 1; p < pages_; ++p) {
      if (!owner_[p] && page_index(p) == p && is_decoded_kind(page_kind(p))) take(p, page_kind(p), other_pages_);
    }
    for (auto& [kind, pages] : other_pages_) {
      std::sort(pages.begin(), pages.end());
      auto& all = chain_pages_[kind];
      all.insert(all.end(), pages.begin(), pages.end());
    }
    return std::move(chain_pages_);
  }

 private:
  std::uint32_t u32(std::uint64_t pos) const { return decode_fixed32(image_.data() + pos); }
  std::uint32_t page_index(std::uint32_t p) const { return u32(std::uint64_t{p} * kPage + f::kPageIndexOffset); }
  std::uint32_t page_kind(std::uint32_t p) const { return u32(std::uint64_t{p} * kPage + f::kPageKindOffset); }
  void take(std::uint32_t p, std::uint32_t kind, std::map<std::uint32_t, std::vector<std::uint32_t>>& into) {
    owner_[p] = true;
    into[kind].push_back(p);
  }

  Bytes image_;
  std::uint64_t pages_;
  std::vector<bool> owner_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> chain_pages_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> other_pages_;
};

// A stretch of a page that one row's fixed fields or one of its strings
// take up.
struct Extent {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::size_t row = 0;  // index into the page's candidate rows
};

template <class Record>
void decode_into(std::vector<Recovered<Record>>& out, Bytes region, std::uint64_t row, std::uint32_t page,
                 std::uint64_t& unreadable) {
  auto record = Record::parse(region, row);
  if (!record) {
    ++unreadable;
    return;
  }
  out.push_back({std::move(*record), std::uint64_t{page} * kPage + row});
}

// A track is checked as it would parse, to learn that it decodes and how
// long its texts are; the record is made later (see TrackRow).
void decode_into(std::vector<Recovered<TrackRow>>& out, Bytes region, std::uint64_t row, std::uint32_t page,
                 std::uint64_t& unreadable) {
  auto sizes = check_track_row_text_sizes(region, row);
  if (!sizes) {
    ++unreadable;
    return;
  }
  const auto& s = *sizes;
  const std::uint64_t text_bytes = s[track_row::kTitleSlot] + s[track_row::kCommentSlot] +
                                   s[track_row::kAnalysisPathSlot] + 2 * s[track_row::kFilePathSlot];
  out.push_back({{region, row, text_bytes}, std::uint64_t{page} * kPage + row});
}

// The most room that recover_rows reserves for a table's rows, in bytes
// per byte of its pages: enough for the rows of most sound pages (a page
// full of playlist entries needs about 2.3); a list of more rows grows from
// there as it always did.
constexpr std::size_t kReservedBytesPerPageByte = 3;

class PageReader {
 public:
  explicit PageReader(RecoveredRows& out) : out_(out) {}

  void read(Bytes page, std::uint32_t p, std::uint32_t kind) {
    const checker::PageLayout layout = checker::read_page_layout(page);
    // Rows and strings stay below the row index; used_size is not trusted.
    const Bytes region = page.first(layout.index_start);
    std::uint64_t& unreadable = out_.unreadable[kind];
    candidates_.clear();
    extents_.clear();
    for (const checker::LiveSlot& live : layout.live) {
      const Bytes prefix = live.row < region.size() ? region.subspan(live.row) : Bytes();
      const std::uint64_t fixed = checker::fixed_size(kind, prefix);
      if (live.row + fixed > region.size()) {
        ++unreadable;
        continue;
      }
      const std::size_t index = candidates_.size();
      candidates_.push_back(live);
      good_.resize(candidates_.size());
      good_[index] = true;
      extents_.push_back({live.row, live.row + fixed, index});
      const checker::RowStrings strings = checker::row_strings(kind, region.subspan(live.row, fixed));
      for (std::size_t i = 0; i < strings.count; ++i) {
        if (std::find(strings.at.begin(), strings.at.begin() + i, strings.at[i]) != strings.at.begin() + i) continue;
        const std::uint64_t pos = live.row + strings.at[i];
        auto span = locate_string(region, pos);
        if (!span) {
          good_[index] = false;
          break;
        }
        extents_.push_back(
            {pos, static_cast<std::uint64_t>(span->text.data() - region.data()) + span->text.size(), index});
      }
    }
    // Whatever overlaps something else is not taken: a row whose slot was
    // moved lands inside another, a string whose offset was changed lands
    // on another row's bytes.
    std::sort(extents_.begin(), extents_.end(), [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
    std::optional<Extent> widest;
    for (const Extent& e : extents_) {
      if (widest && e.begin < widest->end) {
        good_[e.row] = false;
        good_[widest->row] = false;
      }
      if (!widest || e.end > widest->end) widest = e;
    }
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
      if (!good_[i]) {
        ++unreadable;
        continue;
      }
      decode(region, candidates_[i], p, kind, unreadable);
    }
  }

  // Makes room for `rows` more rows of `kind`, taking at most
  // kReservedBytesPerPageByte bytes for each byte of the `pages` pages they
  // are on: a damaged page may claim many slots whose rows are not there.
  void reserve(std::uint32_t kind, std::size_t rows, std::size_t pages) {
    const auto more = [&](auto& list) {
      const std::size_t most = pages * kPage * kReservedBytesPerPageByte / sizeof(list.front());
      try {
        list.reserve(list.size() + std::min(rows, most));
      } catch (const std::bad_alloc&) {
        // Only a hint: without the room the list grows as it always did.
      }
    };
    with_list(kind, more);
  }

 private:
  void decode(Bytes region, const checker::LiveSlot& live, std::uint32_t p, std::uint32_t kind,
              std::uint64_t& unreadable) {
    const std::uint64_t r = live.row;
    with_list(kind, [&](auto& list) { decode_into(list, region, r, p, unreadable); });
  }

  // Calls use(list) with the list of `kind`'s rows; nothing for a kind
  // that is not decoded.
  template <class Use>
  void with_list(std::uint32_t kind, Use&& use) {
    switch (kind) {
      case k::tracks: return use(out_.tracks);
      case k::genres: return use(out_.genres);
      case k::artists: return use(out_.artists);
      case k::albums: return use(out_.albums);
      case k::labels: return use(out_.labels);
      case k::keys: return use(out_.keys);
      case k::colors: return use(out_.colors);
      case k::playlist_tree: return use(out_.playlist_tree);
      case k::playlist_entries: return use(out_.playlist_entries);
      case k::history_playlists: return use(out_.history_playlists);
      case k::history_entries: return use(out_.history_entries);
      case k::artwork: return use(out_.artwork);
      case k::kind16_rows: return use(out_.kind16_rows);
      default: return;
    }
  }

  RecoveredRows& out_;
  std::vector<checker::LiveSlot> candidates_;
  std::vector<bool> good_;
  std::vector<Extent> extents_;
};

}  // namespace

RecoveredRows recover_rows(Bytes image) {
  RecoveredRows out;
  out.pages = PageAssignment(image).assign();
  // Reads the pages of the track table, or of every other decoded table,
  // into `into`.
  const auto read_tables = [&image, &pages_of = out.pages](RecoveredRows& into, bool tracks) {
    PageReader reader(into);
    for (const auto& [kind, pages] : pages_of) {
      if (!is_decoded_kind(kind) || (kind == k::tracks) != tracks) continue;
      // Room for the present slots first: the lists are held while the new
      // library is made, and grown by doubling they take up to twice their
      // rows' room.
      std::size_t present = 0;
      for (std::uint32_t p : pages) {
        present += checker::read_page_layout(image.subspan(std::uint64_t{p} * kPage, kPage)).present;
      }
      reader.reserve(kind, present, pages.size());
      for (std::uint32_t p : pages) reader.read(image.subspan(std::uint64_t{p} * kPage, kPage), p, kind);
    }
  };
  if (image.size() < kSideBySideImageBytes) {
    read_tables(out, true);
    read_tables(out, false);
    return out;
  }
  // The track rows are about half of a large image's reading: a helper
  // thread reads them into lists of its own while this one reads the rest.
  RecoveredRows tracks;
  side_by_side([&] { read_tables(out, false); }, [&] { read_tables(tracks, true); });
  out.tracks = std::move(tracks.tracks);
  out.unreadable.merge(tracks.unreadable);
  return out;
}

}  // namespace vantrel_pdb::recovery
