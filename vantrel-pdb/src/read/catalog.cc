#include "read/catalog.h"

#include <algorithm>
#include <limits>

#include "util/side_by_side.h"

namespace vantrel_pdb {

namespace {

// From this many rows up a catalog is made by two threads at once.
constexpr std::size_t kTwoThreadsRows = 20000;

struct Entry {
  std::uint32_t entry_index;
  std::uint32_t track_id;
};

}  // namespace

template <class Rows>
Catalog::NameIndex Catalog::index_names(const Rows& rows) {
  std::uint32_t largest = 0;
  for (const auto& row : rows) largest = std::max(largest, row.id);
  NameIndex names(NameIndex::table_bound_for(largest, rows.size()));
  for (const auto& row : rows) names.emplace(row.id, std::string_view(row.name));
  return names;
}

Catalog::Catalog(const Database& database) {
  auto names = [&] {
    artists_ = index_names(database.artists);
    albums_ = index_names(database.albums);
    genres_ = index_names(database.genres);
    keys_ = index_names(database.keys);
    labels_ = index_names(database.labels);
    artwork_ = index_names(database.artwork);
  };
  auto playlists = [&] { index_playlists(database); };
  // The names and the playlists are about equal work in a large library,
  // and neither reads what the other writes.
  const std::size_t rows = database.artists.size() + database.albums.size() + database.artwork.size() +
                           database.playlist_entries.size();
  if (rows >= kTwoThreadsRows) {
    side_by_side(names, playlists);
  } else {
    names();
    playlists();
  }
}

void Catalog::index_playlists(const Database& database) {
  for (const auto& node : database.playlist_tree) {
    group_of_.emplace(node.id, static_cast<std::uint32_t>(group_of_.size()));
  }
  constexpr std::size_t kNoGroup = std::numeric_limits<std::size_t>::max();

  // Counting sort by group keeps each group's entries in table order.
  const auto& entries = database.playlist_entries;
  std::vector<std::size_t> group_of_entry(entries.size(), kNoGroup);
  starts_.assign(group_of_.size() + 1, 0);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const std::uint32_t* group = group_of_.find(entries[e].playlist_id);
    if (!group) continue;
    group_of_entry[e] = *group;
    ++starts_[*group + 1];
  }
  for (std::size_t g = 1; g < starts_.size(); ++g) starts_[g] += starts_[g - 1];
  std::vector<Entry> grouped(starts_.back());
  std::vector<std::size_t> cursor(starts_.begin(), starts_.end() - 1);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (group_of_entry[e] == kNoGroup) continue;
    grouped[cursor[group_of_entry[e]]++] = {entries[e].entry_index, entries[e].track_id};
  }

  auto by_index = [](const Entry& a, const Entry& b) { return a.entry_index < b.entry_index; };
  for (std::size_t g = 0; g + 1 < starts_.size(); ++g) {
    auto first = grouped.begin() + static_cast<std::ptrdiff_t>(starts_[g]);
    auto last = grouped.begin() + static_cast<std::ptrdiff_t>(starts_[g + 1]);
    if (!std::is_sorted(first, last, by_index)) std::stable_sort(first, last, by_index);
  }
  track_ids_.reserve(grouped.size());
  for (const Entry& entry : grouped) track_ids_.push_back(entry.track_id);
}

std::span<const std::uint32_t> Catalog::playlist_tracks(std::uint32_t playlist_id) const {
  const std::uint32_t* group = group_of_.find(playlist_id);
  if (!group) return {};
  const std::size_t g = *group;
  return std::span<const std::uint32_t>(track_ids_).subspan(starts_[g], starts_[g + 1] - starts_[g]);
}

}  // namespace vantrel_pdb
