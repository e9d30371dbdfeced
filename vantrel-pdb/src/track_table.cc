#include <string>
#include <utility>

#include "format/format.h"
#include "track_table_state.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/reading.h"

namespace vantrel_pdb {

namespace {

// A Database holding only what a Catalog needs for a track's names.
Database name_tables(const Database& decoding) {
  Database names;
  names.page_size = decoding.page_size;
  names.genres = decoding.genres;
  names.artists = decoding.artists;
  names.albums = decoding.albums;
  names.labels = decoding.labels;
  names.keys = decoding.keys;
  names.artwork = decoding.artwork;
  return names;
}

std::vector<std::uint8_t> copy_of(Bytes image) {
  std::vector<std::uint8_t> copy;
  copy.reserve(image.size());
  advise_huge_pages(copy.data(), copy.capacity());
  copy.assign(image.begin(), image.end());
  return copy;
}

}  // namespace

TrackTableState::TrackTableState(Bytes image_bytes, const Database& decoding)
    : image(copy_of(image_bytes)),
      names(name_tables(decoding)),
      locations(decoding.row_locations(table_kind::tracks).begin(), decoding.row_locations(table_kind::tracks).end()),
      catalog(names) {}

TrackTable::TrackTable(std::unique_ptr<const TrackTableState> state) : state_(std::move(state)) {}
TrackTable::~TrackTable() = default;

TrackRows TrackTable::rows() const { return TrackRows(state_->image, state_->locations, &state_->catalog); }

std::size_t TrackTable::size() const { return state_->locations.size(); }

std::expected<TrackInfo, PdbError> TrackTable::info(std::size_t index) const {
  auto track = rows().at(index);
  if (!track) return std::unexpected(track.error());
  return track->info();
}

std::expected<TrackInfo, PdbError> TrackTable::numbers(std::size_t index) const {
  auto track = rows().at(index);
  if (!track) return std::unexpected(track.error());
  return numbers_of(track->numbers());
}

std::expected<std::string, PdbError> TrackTable::text(std::size_t index, TrackText field) const {
  auto track = rows().at(index);
  if (!track) return std::unexpected(track.error());
  std::string text;
  if (auto ok = track->append_text(field, text); !ok) return std::unexpected(ok.error());
  return text;
}

}  // namespace vantrel_pdb
